// Schedule texts and instants.  A text is five or six blank-separated fields
// (minute, hour, day of month, month, weekday[, year]); a field is '*' or a
// comma list of numbers and hyphen ranges.  Weekly and monthly texts come due
// again and again, so their next instant is searched; a special day names one
// date.  All matching is on the local wall clock.
#include "ea/ea_sched.h"

#include "agent/sysclock.h"
#include "ea/ea_log.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

ea_sched_state ea_sched_st;

void ea_sched_init(void)
{
    ea_sched_st = ea_sched_state{};
}

namespace
{

// The years a search for a weekly or monthly text may look ahead: 29
// February with a fixed weekday can be this far off (across a century that
// is not a leap year), and anything later can never match.
constexpr int search_days = 8 * 366 + 1;

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

bool digit(char c)
{
    return c >= '0' && c <= '9';
}

// One number of an item, checked against its bounds.
bool read_bounded(const char **p, int lower, int upper)
{
    if (!digit(**p))
        return false;
    int v = num(p);
    return v >= lower && v <= upper;
}

// The fields of a text, each a copy from next_field, freed with the set.
struct fields {
    char *f[6] = {};
    int n = 0;
    fields() = default;
    fields(const fields &) = delete;
    fields &operator=(const fields &) = delete;
    ~fields()
    {
        for (char *p : f)
            free(p);
    }
};

struct bound {
    int lower, upper;
};

// Reads n fields of str with their bounds, the last one ending the text.
// False when a field is missing or invalid.
bool read_fields(const char *str, const bound *b, int n, fields &out)
{
    if (str == nullptr)
        return false;
    ea_sched_st.cursor = str;
    bool ok = true;
    for (int i = 0; i < n && ok; i++) {
        out.f[i] = next_field(str, b[i].lower, b[i].upper, i == n - 1);
        ok = out.f[i] != nullptr;
        out.n += ok;
    }
    ea_sched_st.cursor = nullptr;
    return ok;
}

// The first number of a field; '*' reads as 0.
int first_value(const char *field)
{
    const char *p = field;
    return digit(*p) ? num(&p) : 0;
}

bool is_star(const char *field)
{
    return field[0] == '*' && field[1] == '\0';
}

// The values lower..upper a field covers, one bit each from bit 0.
uint64_t mask_of(const char *field, int lower, int upper)
{
    uint64_t m = 0;
    for (int v = lower; v <= upper; v++) {
        if (next_ge(v, field) == v)
            m |= uint64_t{1} << (v - lower);
    }
    return m;
}

bool has(uint64_t mask, int v, int lower)
{
    return (mask >> (v - lower)) & 1;
}

// What a weekly or monthly text matches.
struct pattern {
    uint64_t minute, hour, mday, month, wday;
    bool mday_any, wday_any;
};

bool day_matches(const pattern &p, int mday, int wday)
{
    bool md = has(p.mday, mday, 1), wd = has(p.wday, wday, 0);
    if (p.mday_any && p.wday_any)
        return true;
    if (p.mday_any)
        return wd;
    if (p.wday_any)
        return md;
    return md || wd;
}

// The instant of a local wall-clock time, when the clock shows it at all: a
// time skipped by a change to summer time is never shown, and a time shown
// twice when the clock goes back gives its earlier showing after floor.
// 0 when no showing lies after floor.
time_t wall_instant(int y, int mon, int mday, int h, int mi, time_t floor)
{
    time_t best = 0;
    for (int dst = 0; dst <= 1; dst++) {
        struct tm tm {
        };
        tm.tm_year = y;
        tm.tm_mon = mon;
        tm.tm_mday = mday;
        tm.tm_hour = h;
        tm.tm_min = mi;
        tm.tm_isdst = dst;
        time_t t = mktime(&tm);
        struct tm back {
        };
        if (t == static_cast<time_t>(-1) || localtime_r(&t, &back) == nullptr)
            continue;
        if (back.tm_year != y || back.tm_mon != mon || back.tm_mday != mday || back.tm_hour != h ||
            back.tm_min != mi || back.tm_sec != 0)
            continue;
        if (t > floor && (best == 0 || t < best))
            best = t;
    }
    return best;
}

// Whether the clock's offset changes during the day: then its wall times do
// not follow each other in the order of their instants.
bool offset_changes(int y, int mon, int mday)
{
    long off[2];
    for (int i = 0; i < 2; i++) {
        struct tm tm {
        };
        tm.tm_year = y;
        tm.tm_mon = mon;
        tm.tm_mday = mday;
        tm.tm_hour = i ? 23 : 0;
        tm.tm_min = i ? 59 : 0;
        tm.tm_isdst = -1;
        time_t t = mktime(&tm);
        struct tm back {
        };
        if (t == static_cast<time_t>(-1) || localtime_r(&t, &back) == nullptr)
            return true;
        off[i] = back.tm_gmtoff;
    }
    return off[0] != off[1];
}

// The earliest instant after floor on one day that the time fields match;
// from (h0, m0) on when the day's wall times keep their order, else the
// whole day.  0 when none.
time_t search_day(const pattern &p, int y, int mon, int mday, int h0, int m0, time_t floor)
{
    bool reorder = offset_changes(y, mon, mday);
    if (reorder)
        h0 = m0 = 0;
    time_t best = 0;
    for (int h = h0; h < 24; h++) {
        if (!has(p.hour, h, 0))
            continue;
        for (int mi = h == h0 ? m0 : 0; mi < 60; mi++) {
            if (!has(p.minute, mi, 0))
                continue;
            time_t t = wall_instant(y, mon, mday, h, mi, floor);
            if (t != 0 && (best == 0 || t < best))
                best = t;
            if (best != 0 && !reorder)
                return best;
        }
    }
    return best;
}

} // namespace

int num(const char **ptr)
{
    long v = 0;
    while (digit(**ptr)) {
        // A number too large for any field reads as the largest int, which
        // no bound admits.
        if (v <= INT_MAX)
            v = v * 10 + (**ptr - '0');
        (*ptr)++;
    }
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

char *next_field(const char *line, int lower, int upper, int last)
{
    if (ea_sched_st.cursor == nullptr)
        ea_sched_st.cursor = line;
    const char *p = ea_sched_st.cursor;
    if (p == nullptr)
        return nullptr;
    while (blank(*p))
        p++;
    ea_sched_st.cursor = p;
    if (*p == '\0')
        return nullptr;
    const char *start = p;
    if (*p == '*') {
        p++;
        if (!(blank(*p) || (last && *p == '\0')))
            return nullptr;
    } else {
        for (;;) {
            if (!read_bounded(&p, lower, upper))
                return nullptr;
            if (*p == '-') {
                p++;
                if (!read_bounded(&p, lower, upper))
                    return nullptr;
            }
            if (last)
                break;
            if (blank(*p))
                break;
            if (*p != ',')
                return nullptr;
            p++;
        }
    }
    if (last && *p != '\0')
        return nullptr;
    size_t len = static_cast<size_t>(p - start);
    char *copy = static_cast<char *>(xmalloc(len + 1));
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, start, len);
    copy[len] = '\0';
    ea_sched_st.cursor = p;
    return copy;
}

int next_ge(int current, const char *list)
{
    if (list == nullptr || is_star(list))
        return current;
    const char *p = list;
    bool above = false, any = false;
    int least_above = 0, least = 0;
    while (digit(*p)) {
        int a = num(&p);
        int b = a;
        bool range = *p == '-';
        if (range) {
            p++;
            b = num(&p);
        }
        if (current == a ||
            (range && (a <= b ? current >= a && current <= b : current >= a || current <= b)))
            return current;
        if (a > current && (!above || a < least_above)) {
            least_above = a;
            above = true;
        }
        if (!any || a < least) {
            least = a;
            any = true;
        }
        if (*p != ',')
            break;
        p++;
    }
    if (above)
        return least_above;
    return any ? least : current;
}

int days_in_mon(int m, int y)
{
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 0 || m > 11)
        return 0;
    if (m != 1)
        return days[m];
    long year = 1900L + y;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return leap ? 29 : 28;
}

time_t autod(const char *str)
{
    static const bound b[5] = {{0, 59}, {0, 23}, {1, 31}, {1, 12}, {0, 6}};
    fields f;
    if (!read_fields(str, b, 5, f))
        return 0;
    pattern p;
    p.minute = mask_of(f.f[0], 0, 59);
    p.hour = mask_of(f.f[1], 0, 23);
    p.mday = mask_of(f.f[2], 1, 31);
    p.month = mask_of(f.f[3], 1, 12);
    p.wday = mask_of(f.f[4], 0, 6);
    p.mday_any = is_star(f.f[2]);
    p.wday_any = is_star(f.f[4]);

    time_t now = sysclock_time();
    struct tm tm {
    };
    if (localtime_r(&now, &tm) == nullptr)
        return 0;
    // Due at the earliest in the minute after the current one.
    time_t floor = now - tm.tm_sec;
    int y = tm.tm_year, mon = tm.tm_mon, mday = tm.tm_mday, wday = tm.tm_wday;
    int h0 = tm.tm_hour, m0 = tm.tm_min + 1;
    if (m0 == 60) {
        m0 = 0;
        h0++;
    }
    for (int day = 0; day < search_days; day++) {
        if (has(p.month, mon + 1, 1) && day_matches(p, mday, wday) && h0 < 24) {
            time_t t = search_day(p, y, mon, mday, h0, m0, floor);
            if (t != 0)
                return t;
        }
        h0 = m0 = 0;
        wday = (wday + 1) % 7;
        if (++mday > days_in_mon(mon, y)) {
            mday = 1;
            if (++mon == 12) {
                mon = 0;
                y++;
            }
        }
    }
    return 0;
}

time_t specialdayautod(const char *str)
{
    static const bound b[6] = {{0, 59}, {0, 23}, {1, 31}, {0, 11}, {0, 6}, {0, 300}};
    fields f;
    if (!read_fields(str, b, 6, f))
        return 0;
    struct tm tm {
    };
    tm.tm_min = first_value(f.f[0]);
    tm.tm_hour = first_value(f.f[1]);
    tm.tm_mday = first_value(f.f[2]);
    tm.tm_mon = first_value(f.f[3]);
    tm.tm_year = first_value(f.f[5]);
    tm.tm_isdst = -1;
    int y = tm.tm_year, mon = tm.tm_mon, mday = tm.tm_mday;
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1))
        return 0;
    // A date the calendar does not have (30 February) is not moved to
    // another day: such an entry is not kept at all.
    if (tm.tm_year != y || tm.tm_mon != mon || tm.tm_mday != mday)
        return 0;
    return t > sysclock_time() ? t : 0;
}

int timetoinfo(const char *str, UPS_TIMEINFO *time, int id)
{
    static const bound b[6] = {{0, 59}, {0, 23}, {1, 31}, {0, 11}, {0, 6}, {0, 200}};
    int n = id == SCH_SPECIAL ? 6 : 5;
    fields f;
    if (time == nullptr || !read_fields(str, b, n, f))
        return 1;
    switch (id) {
    case SCH_SPECIAL:
        time->year = static_cast<uint8_t>(first_value(f.f[5]));
        time->month = static_cast<int8_t>(first_value(f.f[3]));
        time->day = static_cast<int8_t>(first_value(f.f[2]));
        break;
    case SCH_MONTHLY:
        time->month = static_cast<int8_t>(first_value(f.f[3]));
        time->day = static_cast<int8_t>(first_value(f.f[2]));
        break;
    case SCH_WEEKLY:
        time->day = static_cast<int8_t>(first_value(f.f[4]));
        break;
    default:
        break;
    }
    time->hour = static_cast<int8_t>(first_value(f.f[1]));
    time->minute = static_cast<int8_t>(first_value(f.f[0]));
    time->second = 0;
    return 0;
}

char *infototime(const UPS_TIMEINFO *time, int id)
{
    char *buf = ea_sched_st.infobuf;
    size_t size = sizeof ea_sched_st.infobuf;
    if (time == nullptr) {
        buf[0] = '\0';
        return buf;
    }
    int n = snprintf(buf, size, "%i %i", time->minute, time->hour);
    if (n < 0 || static_cast<size_t>(n) >= size)
        return buf;
    char *rest = buf + n;
    size_t left = size - static_cast<size_t>(n);
    switch (id) {
    case SCH_SPECIAL:
        snprintf(rest, left, " %i %i * %u", time->day, time->month,
                 static_cast<unsigned>(time->year));
        break;
    case SCH_WEEKLY:
        snprintf(rest, left, " * * %i", time->day);
        break;
    case SCH_MONTHLY:
        snprintf(rest, left, " %i * *", time->day);
        break;
    default:
        break;
    }
    return buf;
}

void *xmalloc(size_t size)
{
    if (size == 0)
        return nullptr;
    void *p = malloc(size);
    if (p == nullptr)
        Ea_log("Not enough memory");
    return p;
}

int time2duration(const UPS_TIMEINFO *stp, const UPS_TIMEINFO *etp, long *dp, int sch_type,
                  int action)
{
    long minutes;
    if (action == SCH_ACT_TEST) {
        minutes = 10;
    } else {
        if (stp == nullptr || etp == nullptr || (sch_type != SCH_WEEKLY && sch_type != SCH_MONTHLY))
            return -1;
        time_t now = sysclock_time();
        struct tm today {
        };
        if (localtime_r(&now, &today) == nullptr)
            return -1;
        time_t at[2];
        const UPS_TIMEINFO *rec[2] = {stp, etp};
        for (int i = 0; i < 2; i++) {
            struct tm tm {
            };
            tm.tm_year = today.tm_year;
            tm.tm_mon = today.tm_mon;
            tm.tm_mday =
                sch_type == SCH_WEEKLY ? today.tm_mday - today.tm_wday + rec[i]->day : rec[i]->day;
            tm.tm_hour = rec[i]->hour;
            tm.tm_min = rec[i]->minute;
            tm.tm_sec = rec[i]->second;
            tm.tm_isdst = -1;
            at[i] = mktime(&tm);
            if (at[i] == static_cast<time_t>(-1))
                return -1;
        }
        long diff = static_cast<long>(at[1] - at[0]);
        if (diff <= 0)
            diff += sch_type == SCH_WEEKLY ? 604800L : 2678400L;
        minutes = diff / 60;
    }
    if (dp != nullptr)
        *dp = minutes;
    return static_cast<int>(minutes);
}
