#include "ea/ea_sched.h"

#include "agent/sysclock.h"
#include "ea/ea_batt.h"
#include "ea/ea_state.h"
#include "engine_stage.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace
{

// Zones as POSIX rules, so the tests need no time zone database.
const char utc[] = "UTC0";
const char berlin[] = "CET-1CEST,M3.5.0,M10.5.0/3";

class SchedTexts : public testing::Test
{
  protected:
    void SetUp() override
    {
        zone(utc);
        ea_sched_init();
        ea_stateinit();
    }
    static void zone(const char *tz)
    {
        setenv("TZ", tz, 1);
        tzset();
    }
    // Stops the clock at "YYYY-MM-DD HH:MM:SS" local time, or UTC with a
    // trailing "Z" (for the hour a clock going back shows twice).
    static void at(const char *when)
    {
        struct tm tm = {};
        char z = 0;
        sscanf(when, "%d-%d-%d %d:%d:%d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
               &tm.tm_min, &tm.tm_sec, &z);
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        tm.tm_isdst = -1;
        sysclock_fake(z == 'Z' ? timegm(&tm) : mktime(&tm), 1000.0);
    }
    // An instant as local wall time with its zone's name, or "0".
    static std::string show(time_t t)
    {
        if (t == 0)
            return "0";
        struct tm tm;
        char buf[64];
        localtime_r(&t, &tm);
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %Z", &tm);
        return buf;
    }

    ZoneKeeper keeper_;
};

std::string field(const char *text, int lower, int upper, int last)
{
    ea_sched_st.cursor = text;
    char *f = next_field(text, lower, upper, last);
    std::string s = f ? f : "<none>";
    free(f);
    return s;
}

TEST_F(SchedTexts, FieldsListsAndNumbers)
{
    struct {
        const char *text;
        int lower, upper, last;
        const char *want;
    } rows[] = {
        {"  5,7-9 x", 0, 59, 0, "5,7-9"},
        {"*\t1", 0, 59, 0, "*"},
        {"*", 0, 6, 1, "*"},
        {"*", 0, 59, 0, "<none>"}, // a field that is not the last needs a blank after it
        {"*5 ", 0, 59, 0, "<none>"},
        {"5", 0, 59, 0, "<none>"},
        {"5", 0, 59, 1, "5"},
        {"5 ", 0, 59, 1, "<none>"}, // the last field ends the text
        {"5-1", 0, 6, 1, "5-1"},
        {"1,3", 0, 6, 1, "<none>"}, // the last field is one item
        {"7", 0, 6, 1, "<none>"},
        {"0 ", 1, 31, 0, "<none>"},
        {"", 0, 59, 0, "<none>"},
        {" \t ", 0, 59, 0, "<none>"},
        {"4294967301 ", 0, 59, 0, "<none>"}, // wraps to 5 in 32 bits
        {"99999999999999999999999 ", 0, 59, 0, "<none>"},
        {"5- ", 0, 59, 0, "<none>"},
        {"-5 ", 0, 59, 0, "<none>"},
        {"5,,6 ", 0, 59, 0, "<none>"},
        {"a ", 0, 59, 0, "<none>"},
        {"1-2,4-5,59 ", 0, 59, 0, "1-2,4-5,59"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(field(r.text, r.lower, r.upper, r.last), r.want) << '"' << r.text << '"';

    // The cursor carries from field to field; a fresh caller may start from
    // a null cursor with the text itself.
    const char *text = "0 12 * * 3";
    ea_sched_st.cursor = nullptr;
    std::string seen;
    for (int i = 0; i < 6; i++) {
        char *f = next_field(text, 0, 59, i == 4);
        seen += f ? std::string(f) + "|" : "<none>";
        free(f);
    }
    EXPECT_EQ(seen, "0|12|*|*|3|<none>");

    struct {
        const char *list;
        int current, want;
    } ge[] = {{"*", 7, 7},   {"5", 5, 5},     {"1,5,9", 6, 9},   {"1,5,9", 10, 1},
              {"5-1", 6, 6}, {"5-1", 0, 0},   {"5-1", 5, 5},     {"5-1", 3, 5},
              {"2-4", 5, 2}, {"9,3-4", 5, 9}, {"10-20", 12, 12}, {"22-2", 12, 22}};
    for (const auto &g : ge)
        EXPECT_EQ(next_ge(g.current, g.list), g.want) << g.list << " from " << g.current;

    struct {
        const char *text;
        int want;
        size_t moved;
    } nums[] = {{"123abc", 123, 3}, {"", 0, 0}, {"x", 0, 0}, {"99999999999999", INT_MAX, 14}};
    for (const auto &n : nums) {
        const char *p = n.text;
        EXPECT_EQ(num(&p), n.want) << n.text;
        EXPECT_EQ(static_cast<size_t>(p - n.text), n.moved) << n.text;
    }

    // The Gregorian rule: 1900 and 2100 are not leap years, 2000 is.
    struct {
        int m, y, want;
    } days[] = {{1, 100, 29}, {1, 200, 28}, {1, 0, 28},    {1, 124, 29}, {1, 123, 28},
                {0, 123, 31}, {3, 123, 30}, {11, 123, 31}, {12, 123, 0}, {-1, 123, 0}};
    for (const auto &d : days)
        EXPECT_EQ(days_in_mon(d.m, d.y), d.want) << d.m << "/" << d.y;

    EXPECT_EQ(xmalloc(0), nullptr);
    EXPECT_STREQ(itoc(0), "0");
    EXPECT_STREQ(itoc(-1), "4294967295");
    ea_st.lognegative = 1;
    EXPECT_STREQ(itoc(5), "-5");
    EXPECT_STREQ(itoc(5), "5");
}

// The next instant of weekly and monthly texts, at second 0 of a minute after
// the current one, in UTC and across both changes of a summer-time zone
// (2026: forward on 29 March at 02:00, back on 25 October at 03:00).
TEST_F(SchedTexts, NextInstantOfRepeatingTexts)
{
    struct {
        const char *tz, *now, *text, *want;
    } rows[] = {
        // 6 March 2026 is a Friday.
        {utc, "2026-03-06 22:29:40", "30 22 * * 5", "2026-03-06 22:30:00 UTC"},
        {utc, "2026-03-06 22:30:10", "30 22 * * 5", "2026-03-13 22:30:00 UTC"},
        {utc, "2026-03-06 22:30:00", "30 22 * * 5", "2026-03-13 22:30:00 UTC"},
        {utc, "2026-03-06 10:59:59", "* * * * *", "2026-03-06 11:00:00 UTC"},
        {utc, "2026-12-31 23:59:30", "0 0 1 1 *", "2027-01-01 00:00:00 UTC"},
        // Months without the day are skipped.
        {utc, "2026-04-01 00:00:00", "0 12 31 * *", "2026-05-31 12:00:00 UTC"},
        {utc, "2026-01-31 10:00:00", "0 12 30 * *", "2026-03-30 12:00:00 UTC"},
        // A weekday range across the week's end: Friday to Monday.
        {utc, "2026-03-10 09:00:00", "0 8 * * 5-1", "2026-03-13 08:00:00 UTC"},
        {utc, "2026-03-14 09:00:00", "0 8 * * 5-1", "2026-03-15 08:00:00 UTC"},
        {utc, "2026-03-15 09:00:00", "0 8 * * 5-1", "2026-03-16 08:00:00 UTC"},
        {utc, "2026-03-16 09:00:00", "0 8 * * 5-1", "2026-03-20 08:00:00 UTC"},
        {utc, "2026-03-10 09:00:00", "0 8 * 4-6 *", "2026-04-01 08:00:00 UTC"},
        // Day of month and weekday both restricted: either matches.
        {utc, "2026-03-07 00:00:00", "0 9 15 * 5", "2026-03-13 09:00:00 UTC"},
        {utc, "2026-03-14 00:00:00", "0 9 15 * 5", "2026-03-15 09:00:00 UTC"},
        {utc, "2026-03-06 17:31:00", "0,30 9-17 * * *", "2026-03-07 09:00:00 UTC"},
        {utc, "2026-03-06 23:50:00", "45 22-2 * * *", "2026-03-07 00:45:00 UTC"},
        // 29 February across 2100, which is not a leap year.
        {utc, "2096-03-01 00:00:00", "0 0 29 2 *", "2104-02-29 00:00:00 UTC"},
        {utc, "2027-01-01 00:00:00", "0 0 29 2 *", "2028-02-29 00:00:00 UTC"},
        // Never due: the search gives up instead of running on.
        {utc, "2026-03-06 12:00:00", "0 0 31 2 *", "0"},
        {utc, "2026-03-06 12:00:00", "0 0 30 2 *", "0"},
        // Invalid texts.
        {utc, "2026-03-06 12:00:00", "60 * * * *", "0"},
        {utc, "2026-03-06 12:00:00", "* 24 * * *", "0"},
        {utc, "2026-03-06 12:00:00", "* * 0 * *", "0"},
        {utc, "2026-03-06 12:00:00", "* * * 13 *", "0"},
        {utc, "2026-03-06 12:00:00", "* * * 0 *", "0"},
        {utc, "2026-03-06 12:00:00", "* * * * 7", "0"},
        {utc, "2026-03-06 12:00:00", "* * * * 1,3", "0"},
        {utc, "2026-03-06 12:00:00", "* * * *", "0"},
        {utc, "2026-03-06 12:00:00", "* * * * * *", "0"},
        {utc, "2026-03-06 12:00:00", "4294967326 22 * * 5", "0"},
        {utc, "2026-03-06 12:00:00", "", "0"},
        // A wall time the clock skips is never shown; one it shows twice is
        // due at its first showing, or its second when read in between.
        {berlin, "2026-03-28 12:00:00", "30 2 * * *", "2026-03-30 02:30:00 CEST"},
        {berlin, "2026-03-29 01:59:00", "* * * * *", "2026-03-29 03:00:00 CEST"},
        {berlin, "2026-10-25 00:00:00", "30 2 * * *", "2026-10-25 02:30:00 CEST"},
        {berlin, "2026-10-25 00:40:00Z", "30 2 * * *", "2026-10-25 02:30:00 CET"},
        {berlin, "2026-10-25 00:40:00Z", "10,50 2 * * *", "2026-10-25 02:50:00 CEST"},
        {berlin, "2026-10-25 01:40:00Z", "10,50 2 * * *", "2026-10-25 02:50:00 CET"},
        {berlin, "2026-03-27 23:00:00", "0 22 * * 5", "2026-04-03 22:00:00 CEST"},
        {berlin, "2026-10-23 23:00:00", "0 22 * * 5", "2026-10-30 22:00:00 CET"},
        {berlin, "2026-01-31 10:00:00", "0 12 30 * *", "2026-03-30 12:00:00 CEST"},
    };
    for (const auto &r : rows) {
        zone(r.tz);
        at(r.now);
        EXPECT_EQ(show(autod(r.text)), r.want) << r.tz << " " << r.now << " \"" << r.text << '"';
    }
    EXPECT_EQ(autod(nullptr), 0);
}

TEST_F(SchedTexts, SpecialDaysRecordsAndDurations)
{
    at("2026-03-06 12:00:00"); // a Friday
    struct {
        const char *text, *want;
    } days[] = {
        {"0 12 6 2 * 126", "0"}, // now is not later than now
        {"1 12 6 2 * 126", "2026-03-06 12:01:00 UTC"},
        {"0 0 1 0 * 125", "0"},
        {"0 0 1 0 5 127", "2027-01-01 00:00:00 UTC"}, // the weekday is not used
        {"* * 1 0 * 127", "2027-01-01 00:00:00 UTC"},
        {"0 0 30 1 * 126", "0"}, // 30 February is not moved into March
        {"0 0 31 3 * 126", "0"},
        {"0 0 29 1 * 200", "0"}, // 2100
        {"0 0 29 1 * 204", "2104-02-29 00:00:00 UTC"},
        {"0 0 1 0 * 301", "0"},
        {"0 0 1 12 * 126", "0"},
        {"0 0 1 0 * 300", "2200-01-01 00:00:00 UTC"},
        {"0 0 1 0 *", "0"},
    };
    for (const auto &d : days)
        EXPECT_EQ(show(specialdayautod(d.text)), d.want) << d.text;

    // Texts to records and back; a record keeps one number of a field, and
    // the fields a kind does not use stay as they were.
    struct {
        const char *text;
        int id, rc;
        UPS_TIMEINFO want;
        const char *back;
    } recs[] = {
        {"5 22 31 11 * 126", 1, 0, {126, 11, 31, 22, 5, 0, 0}, "5 22 31 11 * 126"},
        {"30 22 * * 5", 2, 0, {77, 7, 5, 22, 30, 0, 0}, "30 22 * * 5"},
        {"0 8 * * 5-1", 2, 0, {77, 7, 5, 8, 0, 0, 0}, "0 8 * * 5"},
        {"0 3 15 * *", 3, 0, {77, 0, 15, 3, 0, 0, 0}, "0 3 15 * *"},
        {"0,30 3 15 4 *", 3, 0, {77, 4, 15, 3, 0, 0, 0}, "0 3 15 * *"},
        {"30 22 * * 7", 2, 1, {77, 7, 7, 7, 7, 7, 0}, nullptr},
        {"0 0 1 0 * 201", 1, 1, {77, 7, 7, 7, 7, 7, 0}, nullptr},
        {"0 0 1 12 *", 3, 1, {77, 7, 7, 7, 7, 7, 0}, nullptr},
        {"0 0 1 0 * 1", 3, 1, {77, 7, 7, 7, 7, 7, 0}, nullptr},
    };
    for (const auto &r : recs) {
        UPS_TIMEINFO t = {77, 7, 7, 7, 7, 7, 0};
        EXPECT_EQ(timetoinfo(r.text, &t, r.id), r.rc) << r.text;
        EXPECT_EQ(memcmp(&t, &r.want, sizeof t), 0) << r.text;
        EXPECT_STREQ(r.back ? infototime(&t, r.id) : nullptr, r.back) << r.text;
    }
    UPS_TIMEINFO odd = {255, 0, 0, 45, 59, 0, 0};
    EXPECT_STREQ(infototime(&odd, 4), "59 45");
    EXPECT_STREQ(infototime(&odd, 1), "59 45 0 0 * 255");

    // Minutes from start to end, today's month or week around them.
    struct {
        UPS_TIMEINFO s, e;
        int type, action, want;
    } durs[] = {
        {{0, 0, 1, 22, 0, 0, 0}, {0, 0, 1, 23, 30, 0, 0}, 3, 0, 90},
        {{0, 0, 10, 23, 0, 0, 0}, {0, 0, 10, 22, 0, 0, 0}, 3, 0, 31 * 1440 - 60},
        {{0, 0, 5, 23, 0, 0, 0}, {0, 0, 1, 7, 0, 0, 0}, 2, 0, 56 * 60},
        {{0, 0, 1, 7, 0, 0, 0}, {0, 0, 1, 7, 0, 0, 0}, 2, 0, 7 * 1440},
        {{0, 0, 0, 0, 0, 0, 0}, {0, 0, 6, 23, 59, 0, 0}, 2, 0, 7 * 1440 - 1},
        {{0, 0, 1, 0, 0, 0, 0}, {0, 0, 1, 0, 0, 0, 0}, 3, 1, 10},
        {{0, 0, 1, 0, 0, 0, 0}, {0, 0, 1, 0, 0, 0, 0}, 1, 0, -1},
    };
    for (const auto &d : durs) {
        long dp = -7;
        EXPECT_EQ(time2duration(&d.s, &d.e, &dp, d.type, d.action), d.want) << d.want;
        EXPECT_EQ(dp, d.want == -1 ? -7 : d.want);
    }
}

} // namespace
