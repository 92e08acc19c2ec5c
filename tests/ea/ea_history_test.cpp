#include "ea/ea_history.h"

#include "agent/sysclock.h"
#include "agent/sysroot.h"
#include "ea/ea_state.h"
#include "engine_stage.h"
#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <random>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// A staged root, a fresh engine and the clock stopped at 9:05:04 on
// 7 March 2026, local time.
class History : public testing::Test
{
  protected:
    void SetUp() override
    {
        ea_stateinit();
        ea_history_init();
        struct tm tm = {};
        tm.tm_year = 126, tm.tm_mon = 2, tm.tm_mday = 7, tm.tm_hour = 9, tm.tm_min = 5;
        tm.tm_sec = 4, tm.tm_isdst = -1;
        sysclock_fake(mktime(&tm), 100.0);
    }
    void TearDown() override { sysclock_real(); }
    static std::string evlog() { return sysroot_path(SP_EVENTLOG); }
    static std::string dlog() { return sysroot_path(SP_DATALOG); }
    testutil::Sysroot root_;
    testutil::SinkWatch sink_;
};

// Event line number i, id i % 200; data line number i, input voltage 100 + i % 200.
std::string evline(int i)
{
    char b[64];
    snprintf(b, sizeof b, "%2i/%2i/%4i %2i:%2i:%2i %3i %3i %15s\n", 1 + i % 28, 1 + i % 12,
             2000 + i % 50, i % 24, i % 60, (i / 60) % 60, i % 200, 255, "");
    return b;
}
std::string dline(int i)
{
    char b[80];
    snprintf(b, sizeof b, "%2i/%2i/%4i %2i:%2i:%2i,%3i.%1i,100.0, 20,50.0,25.0,27.1,50.0,100\n",
             1 + i % 28, 1 + i % 12, 2026, i % 24, i % 60, 0, 100 + i % 200, i % 10);
    return b;
}
std::string lines(std::string (*f)(int), int from, int to)
{
    std::string s;
    for (int i = from; i < to; i++)
        s += f(i);
    return s;
}

TEST_F(History, LinesAreByteExactAndTheLogIsPrivate)
{
    struct {
        int id, cause;
        const char *name, *line, *back; // the name as read back
    } ev[] = {
        {7, 255, nullptr, " 7/ 3/2026  9: 5: 4   7 255                \n", ""},
        {22, 1, "", " 7/ 3/2026  9: 5: 4  22   1                \n", ""},
        {21, 255, "2nd-mon", " 7/ 3/2026  9: 5: 4  21 255         2nd-mon\n", "nd-mon"},
        {79, 255, "thirteen-char", " 7/ 3/2026  9: 5: 4  79 255   thirteen-char\n",
         "thirteen-char"},
        {79, 255, "fourteen-chars", " 7/ 3/2026  9: 5: 4  79 255  fourteen-chars\n",
         "fourteen-chars"},
        {80, 255, "fifteen-chars-x", " 7/ 3/2026  9: 5: 4  80 255 fifteen-chars-x\n",
         "fifteen-chars"},
        {134, 255, "sixteen-chars-xy", " 7/ 3/2026  9: 5: 4 134 255 sixteen-chars-x\n",
         "sixteen-chars"},
    };
    std::string want;
    for (const auto &c : ev) {
        ASSERT_EQ(eventlog(c.id, 1000, c.cause, c.name), 0);
        ASSERT_EQ(strlen(c.line), 44u);
        want += c.line;
    }
    EXPECT_EQ(testutil::read_file(evlog()), want);
    LOGRANGE r = {0, 100};
    EVENTLOGARRAY a = {};
    ASSERT_EQ(geteventlog(&r, &a), 0);
    ASSERT_EQ(a.rnum, 7);
    for (int i = 0; i < 7; i++) {
        EXPECT_STREQ(a.eventlogarray[i].AgentName, ev[i].back);
        EXPECT_EQ(a.eventlogarray[i].EventId, ev[i].id);
    }
    free(a.eventlogarray);

    UPSDATA zero = {}, d = {};
    ASSERT_EQ(datalog(&zero, 1000), 0);
    EXPECT_FALSE(testutil::file_exists(dlog())) << "an all-zero sample is not logged";
    d.InPutINT = 101, d.InPutREM = 2, d.OutPutINT = 100, d.Load = 255, d.FreqInputINT = 50,
    d.TempINT = -5, d.TempREM = 3, d.BattVolINT = 27, d.BattVolREM = 1, d.FreqOutputINT = 60,
    d.FreqOutputREM = 9, d.BattCap = 100;
    ASSERT_EQ(datalog(&d, 1000), 0);
    d.Load = 0, d.InPutINT = 0, d.BattCap = 1; // one non-zero field is enough
    ASSERT_EQ(datalog(&d, 1000), 0);
    EXPECT_EQ(testutil::read_file(dlog()),
              " 7/ 3/2026  9: 5: 4,101.2,100.0,255,50.0,-5.3,27.1,60.9,100\n"
              " 7/ 3/2026  9: 5: 4,  0.2,100.0,  0,50.0,-5.3,27.1,60.9,  1\n");

    struct stat sb;
    for (const std::string &p : {evlog(), dlog()}) {
        ASSERT_EQ(stat(p.c_str(), &sb), 0);
        EXPECT_EQ(sb.st_mode & 07777, 0600u) << p;
        EXPECT_TRUE(geteuid() != 0 || (sb.st_uid == 0 && sb.st_gid == 1)) << p;
    }
    EXPECT_TRUE(sink_.seen.empty());
}

TEST_F(History, TrimmingKeepsTheNewestLinesOwnerAndMode)
{
    struct {
        int have, limit, width, keep;
    } cases[] = {
        {10000, 200, 44, 200}, {200, 200, 44, 200},
        {5, 0, 44, 0},         {3, -1, 44, 3}, // a limit beyond INT_MAX
        {1000, 10, 60, 10},    {10, 20, 60, 10},
    };
    for (const auto &c : cases) {
        auto f = c.width == 44 ? evline : dline;
        std::string path = c.width == 44 ? evlog() : dlog();
        testutil::write_file(path, lines(f, 0, c.have));
        ASSERT_EQ(chmod(path.c_str(), 0640), 0);
        ASSERT_TRUE(geteuid() != 0 || chown(path.c_str(), 2, 5) == 0);
        ASSERT_EQ(lengthcheck(path.c_str(), c.limit, c.width), 0);
        EXPECT_EQ(testutil::read_file(path), lines(f, c.have - c.keep, c.have))
            << c.have << " lines to " << c.limit;
        struct stat sb;
        ASSERT_EQ(stat(path.c_str(), &sb), 0);
        EXPECT_EQ(sb.st_mode & 07777, 0640u);
        EXPECT_TRUE(geteuid() != 0 || (sb.st_uid == 2 && sb.st_gid == 5));
    }
    // An append beyond the limit drops exactly the oldest line.
    testutil::write_file(evlog(), lines(evline, 0, 200));
    ASSERT_EQ(eventlog(9, 200, 255, "x"), 0);
    std::string s = testutil::read_file(evlog());
    EXPECT_EQ(s.size(), 200u * 44);
    EXPECT_EQ(s.substr(0, 199 * 44), lines(evline, 1, 200));

    EXPECT_EQ(lengthcheck((root_.root() + "/nothing").c_str(), 1, 44), -1);
    EXPECT_EQ(sink_.seen, std::vector<std::string>{"Cannot open file"});
}

TEST_F(History, TwoEventMemoryLoadsTheLastTwoLinesOnce)
{
    const std::string longname =
        " 1/ 1/2026  0: 0: 0  41 255 a-name-written-by-an-older-agent-of-forty\n";
    struct {
        std::string file;
        int older, newer;
    } cases[] = {
        {"", 255, 255},
        {evline(1), 255, 1},
        {evline(1) + evline(2), 1, 2},
        {lines(evline, 0, 150), 148, 149},
        {lines(evline, 0, 50) + longname, 49, 41},                 // older files wrote long names
        {lines(evline, 0, 50) + evline(60).substr(0, 30), 48, 49}, // cut by a crash
    };
    UPS_EVENTLOGINFO two[2];
    for (const auto &c : cases) {
        ea_stateinit();
        testutil::write_file(evlog(), c.file);
        ASSERT_EQ(getlasttwoevents(two), 0);
        EXPECT_EQ(two[0].EventId, c.older) << c.file.size();
        EXPECT_EQ(two[1].EventId, c.newer) << c.file.size();
    }
    EXPECT_STREQ(two[0].AgentName, "");
    EXPECT_EQ(two[1].timeinfo.year, 149);

    // Loaded once: later lines reach the memory only through updatelastevent.
    testutil::write_file(evlog(), evline(5));
    ASSERT_EQ(getlasttwoevents(two), 0);
    EXPECT_EQ(two[1].EventId, 49);
    ASSERT_EQ(updatelastevent(22, 4, "a-name-longer-than-15"), 0);
    ASSERT_EQ(getlasttwoevents(two), 0);
    EXPECT_EQ(two[1].EventId, 22);
    EXPECT_EQ(two[1].byDownToEvt, 4);
    EXPECT_STREQ(two[1].AgentName, "a-name-longer-t");
    EXPECT_EQ(two[1].timeinfo.hour, 9);

    // Disabled: nothing is read; missing: the memory stays unloaded.
    ea_stateinit();
    ea_st.EVENTLOGENABLED = 0;
    ASSERT_EQ(getlasttwoevents(two), 0);
    EXPECT_EQ(two[1].EventId, 255);
    ea_st.EVENTLOGENABLED = 1;
    unlink(evlog().c_str());
    EXPECT_EQ(getlasttwoevents(two), -1);
    EXPECT_EQ(ea_st.eventinitialized, 0);
}

TEST_F(History, ReadsSelectTheirRange)
{
    testutil::write_file(evlog(), lines(evline, 0, 10));
    testutil::write_file(dlog(), lines(dline, 0, 10));
    struct {
        int first, counts, rc, rnum, evfirst, dfirst; // first line of each log returned
    } cases[] = {
        {0, 5, 0, 5, 0, 5},    {0, 100, 0, 10, 0, 0},  {3, 4, 0, 4, 3, 3},
        {8, 5, 0, 2, 8, 8},    {10, 5, 0, 0, -1, -1},  {11, 1, -1, 0, -1, -1},
        {0, 0, -1, 0, -1, -1}, {0, -3, -1, 0, -1, -1}, {0, INT_MAX, 0, 10, 0, 0},
    };
    for (const auto &c : cases) {
        LOGRANGE r = {c.first, c.counts};
        EVENTLOGARRAY ea = {};
        DATALOGARRAY da = {};
        ASSERT_EQ(geteventlog(&r, &ea), c.rc) << c.first << "," << c.counts;
        ASSERT_EQ(getdatalog(&r, &da), c.rc) << c.first << "," << c.counts;
        EXPECT_EQ(ea.rnum, c.rnum);
        EXPECT_EQ(da.rnum, c.rnum);
        EXPECT_EQ(ea.eventlogarray == nullptr, c.rc != 0);
        if (c.rnum > 0) {
            EXPECT_EQ(ea.eventlogarray[0].EventId, c.evfirst);
            EXPECT_EQ(da.datalogarray[0].upsdata.InPutINT, 100 + c.dfirst);
            EXPECT_EQ(da.datalogarray[c.rnum - 1].upsdata.BattCap, 100);
        }
        free(ea.eventlogarray);
        free(da.datalogarray);
    }
    EXPECT_TRUE(sink_.seen.empty());
    unlink(evlog().c_str());
    LOGRANGE r = {0, 1};
    EVENTLOGARRAY ea = {};
    EXPECT_EQ(geteventlog(&r, &ea), -1);
    EXPECT_TRUE(ea.rnum == 0 && ea.eventlogarray == nullptr);
    EXPECT_EQ(sink_.seen, std::vector<std::string>{"Cannot open Evelogfile"});
}

TEST_F(History, ParsersKeepToTheirBounds)
{
    struct {
        const char *line;
        int rc, id, day;
        const char *name;
    } ev[] = {
        {" 7/ 3/2026  9: 5: 4  79 255            mon1\n", 0, 79, 7, "mon1"},
        {"31/31/2100 23:59:59 999 999 z\n", 0, 231, 31, "z"},
        {"32/ 3/2026  9: 5: 4  79 255 x\n", -1, 79, 0, "x"},
        {" 7/ 3/1899  9: 5: 4  79 255 x\n", -1, 79, 7, "x"},
        {" 7/ 3/2026 24: 5: 4 1000 255 x\n", -1, 0, 7, "x"},
        {" 7/ 3/2026  9: 5: 4  79\n", -1, 0, 7, ""}, // a field may not end the line
        {"99999999999999999999999/3", -1, 0, 0, ""},
        {"", -1, 0, 0, ""},
    };
    for (const auto &c : ev) {
        UPS_EVENTLOGINFO e = {};
        EXPECT_EQ(evelogtoinfo(c.line, &e), c.rc) << c.line;
        EXPECT_EQ(e.EventId, c.id) << c.line;
        EXPECT_EQ(e.timeinfo.day, c.day) << c.line;
        EXPECT_STREQ(e.AgentName, c.name) << c.line;
    }
    struct {
        const char *line;
        int rc, temp, cap;
    } dl[] = {
        {" 7/ 3/2026  9: 5: 4,101.2,100.0,255,50.0,-5.3,27.1,60.9,100\n", 0, -5, 100},
        {" 7/ 3/2026  9: 5: 4,101.2,100.0,255,50.0,-5.3,27.1,60.9,100", 0, -5, 100},
        {" 7/13/2026  9: 5: 4,101.2,100.0,255,50.0,25.3,27.1,60.9,100\n", -1, 25, 100},
        {" 7/ 3/2026  9: 5: 4,101.2,100.0,301,50.0,25.3,27.1,60.9,100\n", -1, 25, 100},
        {" 7/ 3/2026  9: 5: 4,101.2,100.0,255,50.0,25.3,27.1,60.9,100,7\n", -1, 25, 0},
        {" 7/ 3/2026  9: 5: 4,101.2,100.0,255,50.0,25.3,27.1,60.9\n", -1, 25, 0},
    };
    for (const auto &c : dl) {
        UPS_DATALOGINFO d = {};
        EXPECT_EQ(datalogtoinfo(c.line, &d), c.rc) << c.line;
        EXPECT_EQ(d.upsdata.TempINT, c.temp) << c.line;
        EXPECT_EQ(d.upsdata.BattCap, c.cap) << c.line;
    }
    // The cursor a long line left behind must not carry a read past a
    // shorter one.
    ASSERT_EQ(evelogtoinfo(ev[0].line, nullptr), -1);
    UPS_EVENTLOGINFO e = {};
    ASSERT_EQ(evelogtoinfo(ev[0].line, &e), 0);
    EXPECT_EQ(next_logfield("1", 0, 9, 1), nullptr);
    ea_history_init();
    EXPECT_STREQ(next_logfield("x-12\n", 0, 20, 1), "-12");
}

TEST_F(History, UnusableLogsLoseTheLineQuietly)
{
    ASSERT_EQ(mkdir(evlog().c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(dlog().c_str(), 0600), 0);
    UPSDATA d = {};
    d.BattCap = 50;
    EXPECT_EQ(eventlog(7, 10, 255, nullptr), 0);
    EXPECT_EQ(datalog(&d, 10), 0); // a FIFO would otherwise hold the daemon
    EXPECT_EQ(sink_.seen, (std::vector<std::string>{"event log:Cannot open Evtlogfile",
                                                    "datalog:Cannot open Datalogfile"}));
    rmdir(evlog().c_str());
    testutil::remove_tree(sysroot_path(SP_LIBDIR));
    sink_.seen.clear();
    EXPECT_EQ(eventlog(7, 10, 255, nullptr), 0);
    EXPECT_EQ(sink_.seen, std::vector<std::string>{"Evelog:Cannot create Evelogfile"});
}

// A trim killed at any moment leaves the whole old log or the trimmed one,
// with its mode, and a log that trims again.
TEST_F(History, KilledTrimLeavesOldOrNewLog)
{
    const std::string old_log = lines(evline, 0, 20000), new_log = lines(evline, 19800, 20000);
    const std::string path = evlog();
    auto stage = [&] {
        testutil::write_file(path, old_log);
        return chmod(path.c_str(), 0640) == 0;
    };
    ASSERT_TRUE(stage());
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(lengthcheck(path.c_str(), 200, 44), 0);
    auto one_trim = std::chrono::steady_clock::now() - t0;
    ASSERT_EQ(testutil::read_file(path), new_log);

    unsigned seed = std::random_device{}();
    if (const char *e = getenv("HISTORY_CRASH_SEED"))
        seed = static_cast<unsigned>(strtoul(e, nullptr, 10));
    printf("History crash seed %u (set HISTORY_CRASH_SEED to repeat)\n", seed);
    std::mt19937 rng(seed);
    // Kills spread over a little more than one trim; wider while no trim has
    // finished yet, for a machine that became slower than the measured trim.
    long window_us =
        std::chrono::duration_cast<std::chrono::microseconds>(one_trim).count() * 3 / 2 + 200;

    int seen_old = 0, seen_new = 0;
    for (int i = 0; i < 150; i++) {
        ASSERT_TRUE(stage());
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        fflush(nullptr);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            bool ok = write(ready[1], "r", 1) == 1;
            _exit(ok && lengthcheck(path.c_str(), 200, 44) == 0 ? 0 : 1);
        }
        close(ready[1]);
        char c;
        while (read(ready[0], &c, 1) < 0 && errno == EINTR) {
        }
        close(ready[0]);
        if (seen_new == 0 && i > 0 && i % 20 == 0)
            window_us = std::min(window_us * 2, 1000000L);
        usleep(static_cast<useconds_t>(std::uniform_int_distribution<long>(0, window_us)(rng)));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) != 0);

        std::string s = testutil::read_file(path);
        ASSERT_TRUE(s == old_log || s == new_log) << "kill " << i << " left " << s.size();
        (s == old_log ? seen_old : seen_new)++;
        struct stat sb;
        ASSERT_EQ(stat(path.c_str(), &sb), 0);
        ASSERT_EQ(sb.st_mode & 07777, 0640u) << "kill " << i;
    }
    printf("History crash: 150 kills within %ld us: old log %d, trimmed log %d\n", window_us,
           seen_old, seen_new);
    EXPECT_GT(seen_old, 0);
    EXPECT_GT(seen_new, 0);
    ASSERT_TRUE(stage());
    EXPECT_EQ(lengthcheck(path.c_str(), 200, 44), 0);
    EXPECT_EQ(testutil::read_file(path), new_log);
}

} // namespace
