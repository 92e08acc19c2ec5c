// Schedule settings.  Shutdown entries live in "ScheShutDown", self-test
// entries in "ScheTest", numbered from 1 within each kind (special day,
// weekly, monthly).  Reading them sets the instants the tick acts on: the
// earliest shutdown start, the earliest end that switches the UPS on again,
// and the earliest self-test.
#include "ea/ea_schlist.h"

#include "agent/sysclock.h"
#include "ea/ea_action.h"
#include "ea/ea_config.h"
#include "ea/ea_log.h"
#include "ea/ea_sched.h"
#include "ea/ea_state.h"
#include "ea/filehandle.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

ea_schlist_state ea_schlist_st;

void ea_schlist_init(void)
{
    ea_schlist_st = ea_schlist_state{};
}

namespace
{

const char *const S_DOWN = "ScheShutDown";
const char *const S_TEST = "ScheTest";

enum { EV_SCHEDULESET = 10 };

constexpr time_t week_s = 604800;
// An entry less than this much later than the running earliest does not
// replace it: the kind read first keeps a near tie.
constexpr time_t near_tie_s = 20;
// A special day wins over a weekly shutdown unless that one is this much
// earlier.
constexpr time_t special_margin_s = 30;
// Entries read or stored per kind and section.  A monitor has no use for
// more, and a count beyond this (hand-edited, or a corrupted list) must not
// make every reading of the schedule walk the file for ever.
constexpr int max_entries = 100;
// The longest a monthly shutdown can keep the UPS off: a month of 31 days.
constexpr long max_month_minutes = 31L * 24 * 60;

struct kind_keys {
    int sid;
    const char *count, *start, *end, *on;
};

const kind_keys kinds[3] = {
    {SCH_SPECIAL, "SPECIALNO", "SPECIALDAYSTART%i", "SPECIALDAYEND%i", "SpecScheduleOn%i"},
    {SCH_WEEKLY, "WEEKLYNO", "WEEKLYSTART%i", "WEEKLYEND%i", "WeekScheduleOn%i"},
    {SCH_MONTHLY, "MONTHLYNO", "MONTHLYSTART%i", "MONTHLYEND%i", "MonthScheduleOn%i"},
};

const char *const duration_key = "MONTHLYDUR%i";

struct keyname {
    char text[32];
    keyname(const char *fmt, int i) { snprintf(text, sizeof text, fmt, i); }
};

// A decimal key as a long within lower..upper (out-of-range values are
// pulled to the nearer end); def when missing, 0 when empty or not a number.
long read_clamped(const char *section, const char *key, long def, long lower, long upper)
{
    char text[FILEHANDLE_LINE_MAX];
    if (!ea_readstr(section, key, text, sizeof text, nullptr))
        return def;
    errno = 0;
    long v = strtol(text, nullptr, 10);
    if (errno == ERANGE)
        v = v < 0 ? lower : upper;
    return v < lower ? lower : v > upper ? upper : v;
}

// The instant and the record of the text under key, by entry kind; false
// when the key is missing, the text invalid or (special day) past.
bool read_instant(const char *section, const char *key, int sid, time_t *t, UPS_TIMEINFO *rec)
{
    char text[FILEHANDLE_LINE_MAX];
    if (!ea_readstr(section, key, text, sizeof text, nullptr))
        return false;
    *t = sid == SCH_SPECIAL ? specialdayautod(text) : autod(text);
    return *t != 0 && timetoinfo(text, rec, sid) == 0;
}

// The list as fetch leaves it: nodes allocated one by one.
struct chain {
    SCHEDULELIST *head = nullptr, *tail = nullptr;
    int n = 0;
    void add(SCHEDULELIST *node)
    {
        if (head == nullptr)
            head = node;
        tail = node;
        n++;
    }
    void release()
    {
        while (head != nullptr) {
            SCHEDULELIST *next = head->next;
            free(head);
            head = next;
        }
        tail = nullptr;
        n = 0;
    }
};

// The chain as one block, linked in order, so that the whole list is
// released by one free; null when empty or when memory is short.
SCHEDULELIST *pack(chain &c)
{
    SCHEDULELIST *block =
        c.n > 0 ? static_cast<SCHEDULELIST *>(xmalloc(c.n * sizeof *block)) : nullptr;
    if (block != nullptr) {
        int i = 0;
        for (SCHEDULELIST *s = c.head; s != nullptr; s = s->next, i++) {
            block[i].info = s->info;
            block[i].next = i + 1 < c.n ? &block[i + 1] : nullptr;
        }
    }
    c.release();
    return block;
}

void earliest(time_t *cand, time_t t)
{
    if (*cand == 0 || t < *cand)
        *cand = t;
}

// A weekly end read before its start falls in the following week.
void after_start(time_t start, time_t *end)
{
    if (*end <= start)
        *end += week_s;
}

// The shutdown entries of every kind: the earliest start per kind and the
// earliest end that switches the UPS on again.
void read_shutdowns(chain &c, time_t now, time_t cand[3], time_t *boot)
{
    for (int k = 0; k < 3; k++) {
        const kind_keys &kk = kinds[k];
        long n = read_clamped(S_DOWN, kk.count, 0, 0, max_entries);
        time_t cand_end = 0;
        int reason = NONE;
        for (int i = 1; i <= n; i++) {
            if (kk.sid == SCH_SPECIAL)
                ea_schlist_st.index_fetch = i;
            keyname s(kk.start, i), e(kk.end, i), d(duration_key, i);
            SCHEDULELIST *node =
                fetch(c.tail, SCH_ACT_SHUTDOWN, kk.sid, S_DOWN, s.text, e.text,
                      kk.sid == SCH_MONTHLY ? d.text : nullptr, &cand[k], &cand_end, &reason);
            if (node == nullptr)
                continue;
            c.add(node);
            keyname on(kk.on, i);
            long scheduleon = read_clamped(S_DOWN, on.text, 1, -1, 1) != 0;
            if (ea_st.sche_on == 1)
                scheduleon = 1;
            else if (ea_st.sche_on == -1)
                scheduleon = 0;
            node->info.ScheduleOn = static_cast<int16_t>(scheduleon);
            time_t start = ea_schlist_st.index_for_fetch_off;
            time_t end = ea_schlist_st.index_for_fetch_on;
            if (kk.sid == SCH_WEEKLY) {
                after_start(cand[k], &cand_end);
                after_start(start, &end);
            }
            if (scheduleon && start >= now)
                earliest(boot, end);
        }
    }
}

// The self-test entries: the earliest start of all kinds (the kind read
// first keeps a near tie) with its end and kind.
void read_tests(chain &c)
{
    for (const kind_keys &kk : kinds) {
        long n = read_clamped(S_TEST, kk.count, 0, 0, max_entries);
        for (int i = 1; i <= n; i++) {
            if (kk.sid == SCH_SPECIAL)
                ea_schlist_st.index_fetch = i;
            keyname s(kk.start, i), e(kk.end, i);
            SCHEDULELIST *node =
                fetch(c.tail, SCH_ACT_TEST, kk.sid, S_TEST, s.text, e.text, nullptr,
                      &ea_st.next_test, &ea_st.next_testend, &ea_st.schtestreason);
            if (node == nullptr)
                continue;
            c.add(node);
            if (ea_st.schtestreason == WEEKLY)
                after_start(ea_st.next_test, &ea_st.next_testend);
        }
    }
}

// Of the earliest monthly, weekly and special-day starts: the monthly one
// when strictly first, else the weekly one unless a special day follows it
// within the margin (a weekly one wins a tie with a monthly one), else the
// special day.
void choose_shutdown(const time_t cand[3])
{
    time_t S = cand[0], W = cand[1], M = cand[2];
    if (M && (M < W || !W) && (M < S || !S)) {
        ea_st.SCH_off = M;
        ea_st.schdownreason = MONTHLY;
    } else if (W && (W < S - special_margin_s || !S) && (W <= M || !M)) {
        ea_st.SCH_off = W;
        ea_st.schdownreason = WEEKLY;
    } else if (S) {
        ea_st.SCH_off = S;
        ea_st.schdownreason = SPECIAL;
    } else {
        ea_st.SCH_off = 0;
        ea_st.schdownreason = NONE;
    }
}

// Queues the numbered keys of one entry of a monitor's list.  The number of
// changes refused.
int queue_entry(EA_WRITES *w, const SCHEDULEINFO &si, int i)
{
    const kind_keys &kk = kinds[si.ID - 1];
    const char *section = si.ActionID == SCH_ACT_SHUTDOWN ? S_DOWN : S_TEST;
    int errors = 0;
    keyname s(kk.start, i), e(kk.end, i);
    errors += ea_queuestr(w, section, s.text, infototime(&si.stimeInfo, si.ID)) != 0;
    errors += ea_queuestr(w, section, e.text, infototime(&si.etimeInfo, si.ID)) != 0;
    if (si.ActionID == SCH_ACT_SHUTDOWN) {
        keyname on(kk.on, i);
        errors += ea_queuenum(w, section, on.text, si.ScheduleOn);
        if (si.ID == SCH_MONTHLY) {
            keyname d(duration_key, i);
            errors += ea_queuenum(w, section, d.text,
                                  time2duration(&si.stimeInfo, &si.etimeInfo, nullptr, SCH_MONTHLY,
                                                SCH_ACT_SHUTDOWN));
        }
    }
    return errors;
}

bool storable(const SCHEDULEINFO &si)
{
    return si.ID >= SCH_SPECIAL && si.ID <= SCH_MONTHLY &&
           (si.ActionID == SCH_ACT_SHUTDOWN || si.ActionID == SCH_ACT_TEST);
}

} // namespace

SCHEDULELIST *fetch(SCHEDULELIST *node, int aid, int sid, const char *section, const char *start,
                    const char *end, const char *duration, time_t *next_s, time_t *next_e,
                    int *reason)
{
    if (next_s == nullptr || next_e == nullptr || reason == nullptr || sid < SCH_SPECIAL ||
        sid > SCH_MONTHLY)
        return nullptr;
    // The running earliest is due this very second: it stays as it is.
    if (*next_s == sysclock_time())
        return nullptr;
    // Both ends are read before the node is made: an entry with a bad end
    // must leave nothing behind in the list.
    time_t s, e;
    UPS_TIMEINFO srec{}, erec{};
    if (!read_instant(section, start, sid, &s, &srec) ||
        !read_instant(section, end, sid, &e, &erec))
        return nullptr;
    if (sid == SCH_MONTHLY && aid == SCH_ACT_SHUTDOWN && duration != nullptr)
        e = s + 60 * static_cast<time_t>(read_clamped(section, duration, 0, 0, max_month_minutes));

    SCHEDULELIST *n = static_cast<SCHEDULELIST *>(xmalloc(sizeof *n));
    if (n == nullptr)
        return nullptr;
    memset(n, 0, sizeof *n);
    n->info.ID = static_cast<int8_t>(sid);
    n->info.ActionID = static_cast<int8_t>(aid);
    n->info.stimeInfo = srec;
    n->info.etimeInfo = erec;
    if (node != nullptr)
        node->next = n;

    ea_schlist_st.index_for_fetch_on = e;
    ea_schlist_st.index_for_fetch_off = s;
    if (*next_s == 0 || s < *next_s - near_tie_s) {
        *next_s = s;
        *next_e = e;
        *reason = sid;
    }
    return n;
}

SCHEDULELIST *getschlist(void)
{
    time_t now = sysclock_time();
    if (now != ea_st.SCH_off)
        ea_st.SCH_off = ea_st.SCH_boot = 0;
    if (now != ea_st.next_test) {
        ea_st.next_test = ea_st.next_testend = 0;
        ea_st.schtestreason = NONE;
    }
    // One reading of the file for all the keys.
    FilehandleHold hold;
    chain c;
    time_t cand[3] = {0, 0, 0}, boot = 0;
    read_shutdowns(c, now, cand, &boot);
    choose_shutdown(cand);
    ea_st.SCH_boot = boot;

    if (ea_st.SCH_off && (ea_st.next_off == 0 || ea_st.next_off >= ea_st.SCH_off)) {
        ea_st.next_off = ea_st.SCH_off;
        ea_st.downreason = ea_st.schdownreason;
        if (ea_st.SCH_boot) {
            ea_st.DownDuration = ea_st.SCH_boot - ea_st.SCH_off - ea_st.TURNOFFDELAY;
            if (ea_st.DownDuration == 0)
                ea_st.DownDuration = 60;
            ea_st.offBootSpan = ea_st.SCH_boot - ea_st.SCH_off;
        } else {
            ea_st.DownDuration = 0;
        }
    }

    read_tests(c);
    ea_st.TestDuration = (ea_st.next_testend - ea_st.next_test) / 60;
    return pack(c);
}

int setschedule(const SCHEDULELIST *schl, UPS_EIN_DATA *eindata, UPS_EOUT_DATA *eoutdata)
{
    if (ea_configready() != 0)
        return -1;
    // Counted before anything is written: a list too long for any monitor
    // (or one that runs in a circle) is refused whole.
    int count[2][3] = {};
    int total = 0;
    for (const SCHEDULELIST *s = schl; s != nullptr; s = s->next) {
        if (++total > 6 * max_entries ||
            (storable(s->info) && ++count[s->info.ActionID][s->info.ID - 1] > max_entries)) {
            Ea_log("Too many schedule entries");
            return -1;
        }
    }
    EA_WRITES w;
    int errors = 0;
    int index[2][3] = {};
    for (const SCHEDULELIST *s = schl; s != nullptr; s = s->next) {
        if (storable(s->info))
            errors += queue_entry(&w, s->info, ++index[s->info.ActionID][s->info.ID - 1]);
    }
    for (int a = 0; a < 2; a++) {
        for (int k = 0; k < 3; k++)
            errors += ea_queuenum(&w, a == 0 ? S_DOWN : S_TEST, kinds[k].count, count[a][k]);
    }
    errors += ea_flush(&w);
    if (errors != 0)
        return -1;
    ea_raise(EV_SCHEDULESET, eindata, eoutdata);
    return 0;
}

void ea_putschlist(UPS_EOUT_DATA *out, SCHEDULELIST *list)
{
    if (out == nullptr) {
        free(list);
        return;
    }
    free(out->DATA.schlist);
    out->DATA.schlist = list;
}
