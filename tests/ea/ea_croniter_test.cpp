// The schedule instants against an independent reference: thousands of
// random weekly, monthly and mixed texts at random moments, in UTC and in a
// zone with daylight saving, next to what Python's croniter finds for them,
// and special days next to the zone rules of Python's own datetime.  All
// cases go to one run of Python (tests/ea/croniter_ref.py).
//
// Where the two notations differ by design, the text croniter is given says
// what the system's rule means:
//   - a range whose first number is greater than its second wraps round the
//     field (5-1 is Friday to Monday); croniter refuses such ranges, so it
//     is given the two halves as a list;
//   - a day field or weekday field that lists every value is still a
//     restriction here, so with the other field restricted too any day
//     matches (either may match); croniter reads such a field as "*" and
//     would ask for the other one, so it is given "*" for both.
#include "agent/sysclock.h"
#include "ea/ea_sched.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// Debian's interpreter: python3-croniter installs its module for it.
const char kPython[] = "/usr/bin/python3";

// TZ for as long as the object lives.
class Zone
{
  public:
    explicit Zone(const char *tz)
    {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        saved_ = had_ ? old : "";
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone()
    {
        if (had_)
            setenv("TZ", saved_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    Zone(const Zone &) = delete;
    Zone &operator=(const Zone &) = delete;

  private:
    bool had_;
    std::string saved_;
};

struct RealClockAfter {
    ~RealClockAfter() { sysclock_real(); }
};

// A field: "*", or items, each a number (hi < 0) or a range lo-hi.
struct Field {
    struct Item {
        int a, b;
    };
    std::vector<Item> items; // empty: "*"

    std::string text() const
    {
        if (items.empty())
            return "*";
        std::string s;
        for (const Item &i : items)
            s += (s.empty() ? "" : ",") + std::to_string(i.a) +
                 (i.b < 0 ? "" : "-" + std::to_string(i.b));
        return s;
    }
    // The same set in croniter's notation: a wrapping range as two.
    std::string reference(int lo, int hi) const
    {
        if (items.empty())
            return "*";
        std::string s;
        for (const Item &i : items) {
            std::string one = std::to_string(i.a);
            if (i.b >= 0 && i.b >= i.a)
                one += "-" + std::to_string(i.b);
            else if (i.b >= 0)
                one +=
                    "-" + std::to_string(hi) + "," + std::to_string(lo) + "-" + std::to_string(i.b);
            s += (s.empty() ? "" : ",") + one;
        }
        return s;
    }
    bool covers(int v) const
    {
        if (items.empty())
            return true;
        for (const Item &i : items)
            if (i.b < 0 ? v == i.a : (i.a <= i.b ? v >= i.a && v <= i.b : v >= i.a || v <= i.b))
                return true;
        return false;
    }
    bool covers_all(int lo, int hi) const
    {
        for (int v = lo; v <= hi; v++)
            if (!covers(v))
                return false;
        return true;
    }
};

struct Gen {
    std::mt19937 rng{20261208};

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    bool chance(int percent) { return pick(1, 100) <= percent; }

    Field::Item item(int lo, int hi)
    {
        int a = pick(lo, hi);
        if (chance(55))
            return {a, -1};
        int b = pick(lo, hi);
        if (b < a && chance(50))
            std::swap(a, b); // a third of the ranges wrap
        return {a, b};
    }
    // max_items 1: the last field of a text, a single item.
    Field field(int lo, int hi, int star_percent, int max_items)
    {
        Field f;
        if (chance(star_percent))
            return f;
        int n = pick(1, max_items);
        for (int i = 0; i < n; i++)
            f.items.push_back(item(lo, hi));
        return f;
    }
};

struct Case {
    bool special;
    const char *zone;
    time_t now;
    std::string text;      // the system's text
    std::string reference; // the line for the reference
};

// Last Sunday of March (3) or October (10) of year, 01:00 UTC: Europe's
// daylight saving changes.
time_t dst_change(int year, int month)
{
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = 31;
    t.tm_hour = 1;
    time_t last = timegm(&t);
    gmtime_r(&last, &t);
    return last - static_cast<time_t>(t.tm_wday) * 86400;
}

bool leap(int y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int month_days(int m, int y) // m 1..12
{
    static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return d[m - 1] + (m == 2 && leap(y));
}

// A moment in 2024..2030; in the zone with daylight saving every other one
// lies within two days of a change.
time_t moment(Gen &g, bool dst)
{
    const time_t from = 1704067200, to = 1924992000; // 2024-01-01 .. 2031-01-01 UTC
    time_t t;
    if (dst && g.chance(50))
        t = dst_change(g.pick(2024, 2030), g.chance(50) ? 3 : 10) + g.pick(-2 * 86400, 2 * 86400);
    else
        t = from + static_cast<time_t>(std::uniform_int_distribution<long>(0, to - from)(g.rng));
    if (g.chance(20))
        t -= t % 60; // on the minute itself
    return t;
}

Case cron_case(Gen &g, const char *zone, bool dst)
{
    Field minute = g.field(0, 59, 10, 3), hour = g.field(0, 23, 15, 3);
    Field day, month, weekday;
    switch (g.pick(0, 2)) {
    case 0: // weekly
        weekday = g.field(0, 6, 0, 1);
        break;
    case 1: // monthly
        day = g.field(1, 31, 0, 3);
        break;
    default: // everything, the month too
        day = g.field(1, 31, 40, 3);
        month = g.field(1, 12, 40, 3);
        weekday = g.field(0, 6, 40, 1);
        break;
    }
    if (dst && g.chance(50))
        hour.items = {{g.pick(1, 3), -1}}; // the hours the changes touch
    time_t now = moment(g, dst);
    std::string d = day.reference(1, 31), w = weekday.reference(0, 6);
    if (!day.items.empty() && !weekday.items.empty() &&
        (day.covers_all(1, 31) || weekday.covers_all(0, 6)))
        d = w = "*"; // either may match, and one matches every day
    std::string text = minute.text() + " " + hour.text() + " " + day.text() + " " + month.text() +
                       " " + weekday.text();
    std::string ref = std::string("C ") + zone + " " + std::to_string(now) + " " +
                      minute.reference(0, 59) + " " + hour.reference(0, 23) + " " + d + " " +
                      month.reference(1, 12) + " " + w;
    return {false, zone, now, text, ref};
}

// The 29th of February from moments around 2100, which is no leap year.
Case leap_case(Gen &g)
{
    const time_t from = 4047321600, to = 4133894400; // 2098-04-03 .. 2101-01-01 UTC
    time_t now =
        from + static_cast<time_t>(std::uniform_int_distribution<long>(0, to - from)(g.rng));
    std::string mh = std::to_string(g.pick(0, 59)) + " " + std::to_string(g.pick(0, 23));
    return {false, "UTC", now, mh + " 29 2 *",
            "C UTC " + std::to_string(now) + " " + mh + " 29 2 *"};
}

Case special_case(Gen &g, const char *zone, bool dst)
{
    time_t target = moment(g, dst);
    struct tm t = {};
    gmtime_r(&target, &t);
    int y = t.tm_year + 1900, mo = t.tm_mon + 1;
    int d = dst ? t.tm_mday : g.pick(1, month_days(mo, y));
    if (g.chance(10))
        d = g.pick(29, 31); // not in every month: no instant at all
    int h = dst && g.chance(50) ? g.pick(1, 3) : g.pick(0, 23), mi = g.pick(0, 59);
    time_t now = target + g.pick(-40 * 86400, 40 * 86400);
    char text[64], ref[128];
    snprintf(text, sizeof text, "%d %d %d %d * %d", mi, h, d, mo - 1, y - 1900);
    snprintf(ref, sizeof ref, "S %s %lld %d %d %d %d %d", zone, static_cast<long long>(now), y, mo,
             d, h, mi);
    return {true, zone, now, text, ref};
}

std::string local(time_t t)
{
    if (t == 0)
        return "none";
    char buf[64];
    struct tm tm;
    localtime_r(&t, &tm);
    strftime(buf, sizeof buf, "%a %Y-%m-%d %H:%M:%S %Z", &tm);
    return buf;
}

// Runs the reference over the cases file; its lines, or a failure.
::testing::AssertionResult run_reference(const std::string &cases, const std::string &results,
                                         std::vector<std::string> *lines)
{
    if (access(kPython, X_OK) != 0)
        return ::testing::AssertionFailure()
               << kPython << " is missing: the reference needs python3 and python3-croniter "
               << "(./check.sh installs them)";
    pid_t pid = fork();
    if (pid < 0)
        return ::testing::AssertionFailure() << "fork failed";
    if (pid == 0) {
        const char *argv[] = {"python3", VOLTMIRA_CRONITER_REF, cases.c_str(), results.c_str(),
                              nullptr};
        const char *envp[] = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8", nullptr};
        execve(kPython, const_cast<char **>(argv), const_cast<char **>(envp));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return ::testing::AssertionFailure() << "the reference's process was lost";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3)
        return ::testing::AssertionFailure()
               << "python3-croniter is missing: the reference test needs it (./check.sh "
                  "installs it; apt-get install python3-croniter)";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return ::testing::AssertionFailure() << "the reference failed, status " << status;
    std::istringstream in(testutil::read_file(results));
    for (std::string l; std::getline(in, l);)
        lines->push_back(l);
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(ScheduleReference, NextInstantsAgreeWithCroniterAndSpecialDaysWithTheZoneRules)
{
    Gen g;
    std::vector<Case> cases;
    for (int i = 0; i < 2500; i++)
        cases.push_back(cron_case(g, "UTC", false));
    for (int i = 0; i < 2500; i++)
        cases.push_back(cron_case(g, "Europe/Berlin", true));
    for (int i = 0; i < 50; i++)
        cases.push_back(leap_case(g));
    for (int i = 0; i < 200; i++)
        cases.push_back(special_case(g, "UTC", false));
    for (int i = 0; i < 200; i++)
        cases.push_back(special_case(g, "Europe/Berlin", true));

    testutil::TempDir dir;
    std::string in = dir.path() + "/cases", out = dir.path() + "/results", all;
    for (const Case &c : cases)
        all += c.reference + "\n";
    testutil::write_file(in, all);
    std::vector<std::string> want;
    ASSERT_TRUE(run_reference(in, out, &want));
    ASSERT_EQ(want.size(), cases.size());

    RealClockAfter real;
    int wrong = 0;
    for (size_t i = 0; i < cases.size(); i++) {
        const Case &c = cases[i];
        Zone zone(c.zone);
        sysclock_fake(c.now, 0);
        ea_sched_init();
        time_t got = c.special ? specialdayautod(c.text.c_str()) : autod(c.text.c_str());
        // A wall time that occurs twice, or not at all, has two readings;
        // the system lets the C library choose.
        std::string w = want[i];
        size_t slash = w.find('/');
        time_t a = std::stoll(w.substr(0, slash));
        time_t b = slash == std::string::npos ? a : std::stoll(w.substr(slash + 1));
        if (got == a || got == b)
            continue;
        if (++wrong <= 12)
            ADD_FAILURE() << "\"" << c.text << "\" in " << c.zone << " at " << local(c.now) << ": "
                          << local(got) << ", the reference " << local(a)
                          << (a != b ? " or " + local(b) : "") << "\n  (" << c.reference << ")";
    }
    EXPECT_EQ(wrong, 0) << "of " << cases.size() << " cases";
}
