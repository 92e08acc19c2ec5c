#include "ea/ea_schlist.h"

#include "agent/strings.h"
#include "agent/sysclock.h"
#include "agent/sysroot.h"
#include "ea/e_a.h"
#include "ea/ea_config.h"
#include "ea/ea_events.h"
#include "ea/ea_sched.h"
#include "ea/ea_state.h"
#include "ea/filehandle.h"
#include "engine_stage.h"
#include "testutil.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{

// Callbacks as "seconds since the start:kind:arg1:arg2", English messages
// as "seconds:text".
std::vector<std::string> calls;
time_t calls_from;

int recorder(int cmd, char *msg, unsigned a, unsigned b)
{
    std::string at = std::to_string(sysclock_time() - calls_from) + ":";
    if (cmd == CB_MESSAGE && a == 2)
        calls.push_back(at + (msg ? msg : ""));
    else if (cmd != CB_MESSAGE)
        calls.push_back(at + std::to_string(cmd) + ":" + std::to_string(a) + ":" +
                        std::to_string(b));
    return 0;
}

int nodename(char *dst, size_t size)
{
    wp_strlcpy(dst, "alpha", size);
    return 0;
}

// A fresh engine on a staged root, in UTC, the clock stopped on Friday
// 6 March 2026 at noon.
class Schedules : public testing::Test, protected testutil::EngineRecords
{
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        filehandle_init();
        fresh("2026-03-06 12:00:00");
        ea_setcallback(recorder);
        ea_config_setnodename(nodename);
        for (int n = 0; n < EA_NEVENTROWS; n++)
            events[n] = *eventdefault_at(n);
        calls.clear();
        calls_from = sysclock_time();
    }
    void TearDown() override
    {
        free(out.DATA.schlist);
        ea_config_setnodename(nullptr);
        ea_setcallback(nullptr);
        filehandle_fini();
    }
    static time_t utc(const char *when)
    {
        struct tm tm = {};
        sscanf(when, "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
               &tm.tm_min, &tm.tm_sec);
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        return timegm(&tm);
    }
    static void fresh(const char *now)
    {
        ea_stateinit();
        ea_st.TURNOFFDELAY = 60;
        sysclock_fake(utc(now), 1000.0);
    }
    // "03-06 22:00" (all in 2026), or "0".
    static std::string show(time_t t)
    {
        if (t == 0)
            return "0";
        struct tm tm;
        char buf[32];
        gmtime_r(&t, &tm);
        strftime(buf, sizeof buf, tm.tm_year == 126 ? "%m-%d %H:%M" : "%Y-%m-%d %H:%M", &tm);
        return buf;
    }
    // Each node as ID/ActionID/ScheduleOn, in list order.
    static std::string nodes(const SCHEDULELIST *l)
    {
        std::string s;
        for (; l != nullptr; l = l->next)
            s += (s.empty() ? "" : " ") + std::to_string(l->info.ID) + "/" +
                 std::to_string(l->info.ActionID) + "/" + std::to_string(l->info.ScheduleOn);
        return s.empty() ? "-" : s;
    }
    // The schedule state getschlist leaves, and its list.
    static std::string state(const SCHEDULELIST *l)
    {
        return "off " + show(ea_st.SCH_off) + "/" + std::to_string(ea_st.schdownreason) + " boot " +
               show(ea_st.SCH_boot) + " dd " + std::to_string(ea_st.DownDuration) + " span " +
               std::to_string(ea_st.offBootSpan) + "; test " + show(ea_st.next_test) + "/" +
               std::to_string(ea_st.schtestreason) + " " + std::to_string(ea_st.TestDuration) +
               "; " + nodes(l);
    }
    static void put(const std::string &s) { testutil::write_file(sysroot_path(SP_CONFIG), s); }
    static std::string file() { return testutil::read_file(sysroot_path(SP_CONFIG)); }
    static int last_event() { return ea_st.last2event[1].EventId; }

    // The zone first: put back last.
    ZoneKeeper keeper_;
    testutil::Sysroot root_;
};

const std::string DOWN = "[ScheShutDown]\n", TEST = "[ScheTest]\n";

TEST_F(Schedules, ReadingChoosesTheNextShutdownAndTest)
{
    struct {
        const char *now;
        std::string config;
        int sche_on;
        const char *want;
    } rows[] = {
        // A special day wins unless the weekly start is more than 30 s
        // earlier; the UPS comes on at the earliest end of any entry.
        {"2026-03-06 12:00:00",
         DOWN + "SPECIALNO=1\nSPECIALDAYSTART1=0 22 6 2 * 126\nSPECIALDAYEND1=0 23 6 2 * 126\n"
                "WEEKLYNO=1\nWEEKLYSTART1=0 22 * * 5\nWEEKLYEND1=30 22 * * 5\n",
         0, "off 03-06 22:00/1 boot 03-06 22:30 dd 1740 span 1800; test 0/-1 0; 1/0/1 2/0/1"},
        {"2026-03-06 12:00:00",
         DOWN + "SPECIALNO=1\nSPECIALDAYSTART1=0 22 6 2 * 126\nSPECIALDAYEND1=0 23 6 2 * 126\n"
                "WEEKLYNO=1\nWEEKLYSTART1=59 21 * * 5\nWEEKLYEND1=30 22 * * 5\n",
         0, "off 03-06 21:59/2 boot 03-06 22:30 dd 1800 span 1860; test 0/-1 0; 1/0/1 2/0/1"},
        // Monthly and weekly at the same instant: the weekly one.
        {"2026-03-06 12:00:00",
         DOWN + "WEEKLYNO=1\nWEEKLYSTART1=0 22 * * 5\nWEEKLYEND1=0 23 * * 5\n"
                "MONTHLYNO=1\nMONTHLYSTART1=0 22 6 * *\nMONTHLYEND1=0 23 6 * *\nMONTHLYDUR1=60\n",
         0, "off 03-06 22:00/2 boot 03-06 23:00 dd 3540 span 3600; test 0/-1 0; 2/0/1 3/0/1"},
        {"2026-03-06 12:00:00",
         DOWN + "WEEKLYNO=1\nWEEKLYSTART1=0 22 * * 5\nWEEKLYEND1=0 23 * * 5\n"
                "MONTHLYNO=1\nMONTHLYSTART1=59 21 6 * *\nMONTHLYEND1=0 23 6 * *\nMONTHLYDUR1=60\n",
         0, "off 03-06 21:59/3 boot 03-06 22:59 dd 3540 span 3600; test 0/-1 0; 2/0/1 3/0/1"},
        // Friday 23:00 to Monday 07:00 read on a Saturday: the Monday found
        // first lies before the Friday, so the Monday after it.
        {"2026-03-07 12:00:00",
         DOWN + "WEEKLYNO=1\nWEEKLYSTART1=0 23 * * 5\nWEEKLYEND1=0 7 * * 1\n", 0,
         "off 03-13 23:00/2 boot 03-16 07:00 dd 201540 span 201600; test 0/-1 0; 2/0/1"},
        // A monthly shutdown lasts its stored minutes, whatever its end
        // says; a negative length is none, a huge one a month at most.
        {"2026-03-06 12:00:00",
         DOWN + "MONTHLYNO=1\nMONTHLYSTART1=0 22 10 * *\nMONTHLYEND1=0 6 11 * *\nMONTHLYDUR1=90\n",
         0, "off 03-10 22:00/3 boot 03-10 23:30 dd 5340 span 5400; test 0/-1 0; 3/0/1"},
        {"2026-03-06 12:00:00",
         DOWN + "MONTHLYNO=1\nMONTHLYSTART1=0 22 10 * *\nMONTHLYEND1=0 6 11 * *\nMONTHLYDUR1=-5\n",
         0, "off 03-10 22:00/3 boot 03-10 22:00 dd -60 span 0; test 0/-1 0; 3/0/1"},
        {"2026-03-06 12:00:00",
         DOWN + "MONTHLYNO=1\nMONTHLYSTART1=0 22 10 * *\nMONTHLYEND1=0 6 11 * *\n"
                "MONTHLYDUR1=99999999999999999999\n",
         0, "off 03-10 22:00/3 boot 04-10 22:00 dd 2678340 span 2678400; test 0/-1 0; 3/0/1"},
        // Nothing switches the UPS on again.
        {"2026-03-06 12:00:00",
         DOWN + "WEEKLYNO=1\nWEEKLYSTART1=0 22 * * 5\nWEEKLYEND1=0 23 * * 5\nWeekScheduleOn1=0\n"
                "MONTHLYNO=1\nMONTHLYSTART1=0 22 10 * *\nMONTHLYEND1=0 6 11 * *\n"
                "MONTHLYDUR1=90\nMonthScheduleOn1=0\n",
         0, "off 03-06 22:00/2 boot 0 dd 0 span 0; test 0/-1 0; 2/0/0 3/0/0"},
        // The automatic-reboot setting overrides the entries.
        {"2026-03-06 12:00:00",
         DOWN + "WEEKLYNO=1\nWEEKLYSTART1=0 22 * * 5\nWEEKLYEND1=0 23 * * 5\nWeekScheduleOn1=0\n",
         1, "off 03-06 22:00/2 boot 03-06 23:00 dd 3540 span 3600; test 0/-1 0; 2/0/1"},
        {"2026-03-06 12:00:00",
         DOWN + "WEEKLYNO=1\nWEEKLYSTART1=0 22 * * 5\nWEEKLYEND1=0 23 * * 5\n", -1,
         "off 03-06 22:00/2 boot 0 dd 0 span 0; test 0/-1 0; 2/0/0"},
        // A past special day, an invalid end and a missing entry are
        // dropped; an absurd count reads what is there.
        {"2026-03-06 12:00:00",
         DOWN + "SPECIALNO=2\nSPECIALDAYSTART1=0 10 6 2 * 126\nSPECIALDAYEND1=0 11 6 2 * 126\n"
                "SPECIALDAYSTART2=0 9 7 2 * 126\nSPECIALDAYEND2=0 10 7 2 * 126\n"
                "WEEKLYNO=99999999999999\nWEEKLYSTART1=0 22 * * 5\nWEEKLYEND1=0 25 * * 5\n"
                "WEEKLYSTART3=0 8 * * 6\nWEEKLYEND3=0 9 * * 6\n",
         0, "off 03-07 08:00/2 boot 03-07 09:00 dd 3540 span 3600; test 0/-1 0; 1/0/1 2/0/1"},
        // Self-tests: the earliest start, the kind read first on a tie.
        {"2026-03-06 12:00:00",
         TEST + "SPECIALNO=1\nSPECIALDAYSTART1=0 14 6 2 * 126\nSPECIALDAYEND1=30 14 6 2 * 126\n"
                "WEEKLYNO=1\nWEEKLYSTART1=0 14 * * 5\nWEEKLYEND1=0 15 * * 5\n",
         0, "off 0/-1 boot 0 dd 0 span 0; test 03-06 14:00/1 30; 1/1/0 2/1/0"},
        {"2026-03-06 12:00:00",
         TEST + "SPECIALNO=1\nSPECIALDAYSTART1=0 14 6 2 * 126\nSPECIALDAYEND1=30 14 6 2 * 126\n"
                "WEEKLYNO=1\nWEEKLYSTART1=59 13 * * 5\nWEEKLYEND1=0 15 * * 5\n"
                "MONTHLYNO=1\nMONTHLYSTART1=0 13 7 * *\nMONTHLYEND1=0 14 7 * *\n",
         0, "off 0/-1 boot 0 dd 0 span 0; test 03-06 13:59/2 61; 1/1/0 2/1/0 3/1/0"},
        {"2026-03-06 12:00:00",
         TEST + "WEEKLYNO=1\nWEEKLYSTART1=0 23 * * 5\nWEEKLYEND1=0 22 * * 5\n", 0,
         "off 0/-1 boot 0 dd 0 span 0; test 03-06 23:00/2 10020; 2/1/0"},
        {"2026-03-06 12:00:00", "", 0, "off 0/-1 boot 0 dd 0 span 0; test 0/-1 0; -"},
    };
    for (const auto &r : rows) {
        fresh(r.now);
        ea_st.sche_on = r.sche_on;
        put(r.config);
        SCHEDULELIST *l = getschlist();
        EXPECT_EQ(state(l), r.want) << r.config;
        if (ea_st.SCH_off) {
            EXPECT_EQ(ea_st.next_off, ea_st.SCH_off);
            EXPECT_EQ(ea_st.downreason, ea_st.schdownreason);
        }
        free(l);
    }

    // The records of the list, and an earlier shutdown that stays first.
    fresh("2026-03-07 12:00:00");
    put(DOWN + "WEEKLYNO=1\nWEEKLYSTART1=0 23 * * 5\nWEEKLYEND1=0 7 * * 1\n");
    ea_st.next_off = ea_st.ACFAIL_off = utc("2026-03-07 12:30:00");
    ea_st.downreason = AC_FAIL;
    SCHEDULELIST *l = getschlist();
    ASSERT_NE(l, nullptr);
    const UPS_TIMEINFO s{0, 0, 5, 23, 0, 0, 0}, e{0, 0, 1, 7, 0, 0, 0};
    EXPECT_EQ(memcmp(&l->info.stimeInfo, &s, sizeof s), 0);
    EXPECT_EQ(memcmp(&l->info.etimeInfo, &e, sizeof e), 0);
    EXPECT_EQ(show(ea_st.next_off), "03-07 12:30");
    EXPECT_EQ(ea_st.downreason, AC_FAIL);
    EXPECT_EQ(ea_st.DownDuration, 0);
    free(l);
}

// One entry against the running earliest: a start within 20 s of it does
// not replace it, and nothing is read in the very second it is due.
TEST_F(Schedules, FetchKeepsANearTie)
{
    put(DOWN + "WEEKLYSTART1=0 22 * * 5\nWEEKLYEND1=0 23 * * 5\nWEEKLYSTART2=0 22 * * 5\n");
    const time_t w = utc("2026-03-06 22:00:00"), end = utc("2026-03-06 23:00:00");
    struct {
        time_t running;
        const char *start, *end;
        bool node;
        time_t want_s, want_e;
        int want_reason;
    } rows[] = {
        {0, "WEEKLYSTART1", "WEEKLYEND1", true, w, end, WEEKLY},
        {w + 20, "WEEKLYSTART1", "WEEKLYEND1", true, w + 20, 7, 9},
        {w + 21, "WEEKLYSTART1", "WEEKLYEND1", true, w, end, WEEKLY},
        {sysclock_time(), "WEEKLYSTART1", "WEEKLYEND1", false, sysclock_time(), 7, 9},
        {0, "WEEKLYSTART2", "WEEKLYEND2", false, 0, 7, 9},
        {0, "WEEKLYSTART9", "WEEKLYEND1", false, 0, 7, 9},
    };
    for (const auto &r : rows) {
        SCHEDULELIST head{};
        time_t s = r.running, e = 7;
        int reason = 9;
        SCHEDULELIST *n =
            fetch(&head, 0, WEEKLY, "ScheShutDown", r.start, r.end, nullptr, &s, &e, &reason);
        EXPECT_EQ(n != nullptr, r.node) << r.running - w;
        EXPECT_EQ(head.next, n);
        EXPECT_EQ(s, r.want_s) << r.running - w;
        EXPECT_EQ(e, r.want_e) << r.running - w;
        EXPECT_EQ(reason, r.want_reason) << r.running - w;
        if (n != nullptr) {
            EXPECT_EQ(ea_schlist_st.index_for_fetch_off, w);
            EXPECT_EQ(ea_schlist_st.index_for_fetch_on, end);
        }
        free(n);
    }
}

SCHEDULEINFO entry(int id, int action, int on, UPS_TIMEINFO s, UPS_TIMEINFO e)
{
    SCHEDULEINFO si{};
    si.ID = static_cast<int8_t>(id);
    si.ActionID = static_cast<int8_t>(action);
    si.ScheduleOn = static_cast<int16_t>(on);
    si.stimeInfo = s;
    si.etimeInfo = e;
    return si;
}

TEST_F(Schedules, AStoredListReadsBack)
{
    put("[UPS]\nComSet=0\n");
    const SCHEDULEINFO sent[] = {
        entry(1, 0, 1, {126, 2, 20, 22, 0, 0, 0}, {126, 2, 21, 6, 0, 0, 0}),
        entry(2, 0, 0, {0, 0, 5, 23, 0, 0, 0}, {0, 0, 1, 7, 0, 0, 0}),
        entry(7, 0, 1, {0, 0, 5, 23, 0, 0, 0}, {0, 0, 1, 7, 0, 0, 0}), // no such kind
        entry(3, 0, 1, {0, 0, 10, 22, 0, 0, 0}, {0, 0, 10, 23, 30, 0, 0}),
        entry(2, 5, 1, {0, 0, 5, 23, 0, 0, 0}, {0, 0, 1, 7, 0, 0, 0}), // no such action
        entry(2, 1, 0, {0, 0, 3, 10, 0, 0, 0}, {0, 0, 3, 10, 30, 0, 0}),
    };
    const int kept[] = {0, 1, 3, 5}; // the order getschlist reads them in
    std::vector<SCHEDULELIST> list(std::size(sent));
    for (size_t i = 0; i < list.size(); i++)
        list[i] = {i + 1 < list.size() ? &list[i + 1] : nullptr, sent[i]};

    ASSERT_EQ(setschedule(list.data(), &in, &out), 0);
    EXPECT_EQ(last_event(), 10);
    std::string stored;
    for (const char *k :
         {"SPECIALDAYSTART1", "SPECIALDAYEND1", "SpecScheduleOn1", "WEEKLYSTART1", "WEEKLYEND1",
          "WeekScheduleOn1", "MONTHLYSTART1", "MONTHLYEND1", "MonthScheduleOn1", "MONTHLYDUR1",
          "SPECIALNO", "WEEKLYNO", "MONTHLYNO", "WEEKLYSTART2"}) {
        for (const char *sect : {"ScheShutDown", "ScheTest"}) {
            const char *v = readparam(sect, k);
            stored += v ? std::string(sect).substr(4, 1) + k + "=" + v + ";" : "";
        }
    }
    EXPECT_EQ(stored, "SSPECIALDAYSTART1=0 22 20 2 * 126;SSPECIALDAYEND1=0 6 21 2 * 126;"
                      "SSpecScheduleOn1=1;SWEEKLYSTART1=0 23 * * 5;TWEEKLYSTART1=0 10 * * 3;"
                      "SWEEKLYEND1=0 7 * * 1;TWEEKLYEND1=30 10 * * 3;SWeekScheduleOn1=0;"
                      "SMONTHLYSTART1=0 22 10 * *;SMONTHLYEND1=30 23 10 * *;SMonthScheduleOn1=1;"
                      "SMONTHLYDUR1=90;SSPECIALNO=1;TSPECIALNO=0;SWEEKLYNO=1;TWEEKLYNO=1;"
                      "SMONTHLYNO=1;TMONTHLYNO=0;");
    SCHEDULELIST *l = getschlist();
    int i = 0;
    for (const SCHEDULELIST *p = l; p != nullptr; p = p->next, i++) {
        ASSERT_LT(i, 4);
        EXPECT_EQ(memcmp(&p->info, &sent[kept[i]], sizeof p->info), 0) << i;
    }
    EXPECT_EQ(i, 4);
    free(l);

    // A shorter list: the counts decide, the keys beyond them stay.
    ea_stateinit();
    ASSERT_EQ(setschedule(&list[5], &in, &out), 0);
    l = getschlist();
    EXPECT_EQ(nodes(l), "2/1/0");
    free(l);
    EXPECT_STREQ(readparam("ScheShutDown", "SPECIALDAYSTART1"), "0 22 20 2 * 126");

    // Refused: more entries than any monitor keeps, or a file that cannot be
    // written; no event then, and nothing written.
    ea_stateinit();
    std::string before = file();
    std::vector<SCHEDULELIST> many(101, list[5]);
    for (size_t k = 0; k + 1 < many.size(); k++)
        many[k].next = &many[k + 1];
    many.back().next = nullptr;
    EXPECT_EQ(setschedule(many.data(), &in, &out), -1);
    SCHEDULELIST circle[2] = {{&circle[1], sent[2]}, {&circle[0], sent[4]}};
    EXPECT_EQ(setschedule(circle, &in, &out), -1);
    EXPECT_EQ(file(), before);
    remove(sysroot_path(SP_CONFIG));
    ASSERT_EQ(mkdir(sysroot_path(SP_CONFIG), 0700), 0);
    EXPECT_EQ(setschedule(list.data(), &in, &out), -1);
    EXPECT_NE(last_event(), 10);
    rmdir(sysroot_path(SP_CONFIG));

    // Through the engine's entry: stored, then read back into the reply.
    put("");
    in.DATA.schlist = list.data();
    int unused = 0;
    EXPECT_EQ(Event_Action(EA_SETSCHEDULE, &in, &unused, &out), 0);
    EXPECT_EQ(nodes(out.DATA.schlist), "1/0/1 2/0/0 3/0/1 2/1/0");
    EXPECT_EQ(Event_Action(EA_GETSCHEDULE, &in, &unused, &out), 0);
    EXPECT_EQ(nodes(out.DATA.schlist), "1/0/1 2/0/0 3/0/1 2/1/0");
    in.DATA.schlist = nullptr;
}

// A weekly shutdown five minutes ahead through the engine's entry: warnings
// every minute from WARNBEFORESCHE on, the deadline, the UPS told to switch
// off with the time until the entry's end, and the system's shutdown.
TEST_F(Schedules, AWeeklyShutdownRunsThroughTheTick)
{
    put("[UPS]\nComSet=0\nAgentType=4\n[ShutDown]\nTurnOffDelay=60\nWARNBEFORESCHE=240\n"
        "[DataLog]\nDataLogEnabled=0\n" +
        DOWN + "WEEKLYNO=1\nWEEKLYSTART1=5 12 * * 5\nWEEKLYEND1=0 13 * * 5\n");
    testutil::ProgramRecorder programs;
    ui.CommStatus = COMM_ESTABLISHED;
    wp_strlcpy(ui.upsmodel, "QE1000", sizeof ui.upsmodel);
    int unused = 0;
    ASSERT_EQ(Event_Action(EA_INIT, &in, &unused, &out), 0);
    EXPECT_EQ(show(ea_st.next_off), "03-06 12:05");
    const std::string shutdown = sysroot_path(SP_SHUTDOWN);
    for (int i = 0; i < 900 && programs.count(shutdown) == 0; i++) {
        sysclock_advance(1);
        Event_Action(EA_CHECKUPS, &in, &unused, &out);
    }
    ASSERT_EQ(programs.count(shutdown), 1);

    std::vector<std::string> seen;
    for (const std::string &c : calls) {
        if (c.find("warning begin(schedule:weekly)") != std::string::npos)
            seen.push_back(c.substr(0, c.find(':')) + ":warning");
        else if (c.find(":2:") != std::string::npos)
            seen.push_back(c);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"60:warning", "120:warning", "180:warning",
                                              "240:warning", "300:2:60:3240"}));
    std::string log = testutil::read_file(sysroot_path(SP_EVENTLOG)), ids;
    for (size_t r = 0; (r + 1) * 44 <= log.size(); r++)
        ids += std::to_string(std::stoi(log.substr(r * 44 + 20, 3))) + " ";
    EXPECT_NE(ids.find("75 131 "), std::string::npos) << ids;
    EXPECT_EQ(testutil::count_of(ids, "75 "), 1u) << ids;
}

} // namespace
