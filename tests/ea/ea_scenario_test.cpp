// Scripts of the engine's decisions on the fake clock: the UPS state
// changes, time passes, and the events logged, the callbacks to the daemon
// and the programs started are read from one trace, in the order they
// happened.
#include "agent/strings.h"
#include "agent/sysclock.h"
#include "agent/sysroot.h"
#include "agent/ups_flags.h"
#include "ea/e_a.h"
#include "ea/ea_action.h"
#include "ea/ea_config.h"
#include "ea/ea_events.h"
#include "ea/ea_spawn.h"
#include "ea/ea_state.h"
#include "ea/ea_time.h"
#include "ea/filehandle.h"
#include "engine_stage.h"
#include "testutil.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace
{

// Trace entries: "E65" an event logged; "M1:text" / "M2:text" a message in
// language 1 / 2; "N1:text" the going-down message (callback 4096);
// "OFF:a:b" the UPS-off callback (b as the daemon receives it); "K0x2000"
// any other callback; "run:prog|input", "sh:cmd", "exec:path argv...".
std::vector<std::string> trace;
std::map<int, std::string> records; // "cause/name" of each event's newest record
std::set<int> failing;              // callback kinds that fail
std::vector<time_t> exec_times;     // when the process replaced itself
bool exec_fails = false;            // the system's shutdown cannot start
size_t loglines = 0;                // event-log records already traced

void note(const std::string &s)
{
    std::string log;
    if (testutil::file_exists(sysroot_path(SP_EVENTLOG)))
        log = testutil::read_file(sysroot_path(SP_EVENTLOG));
    // Records are lines of 44 bytes: id, cause and name in columns 20, 24, 28.
    for (; (loglines + 1) * 44 <= log.size(); loglines++) {
        std::string r = log.substr(loglines * 44, 43), name = r.substr(28);
        int id = std::stoi(r.substr(20, 3));
        trace.push_back("E" + std::to_string(id));
        records[id] = std::to_string(std::stoi(r.substr(24, 3))) + "/" +
                      name.erase(0, name.find_first_not_of(' '));
    }
    if (!s.empty())
        trace.push_back(s);
}

int callback(int cmd, char *msg, unsigned a, unsigned b)
{
    char k[32];
    snprintf(k, sizeof k, "K%#x", static_cast<unsigned>(cmd));
    if (cmd == CB_MESSAGE || cmd == CB_NETDOWNMSG)
        note((cmd == CB_MESSAGE ? "M" : "N") + std::to_string(a) + ":" + (msg ? msg : ""));
    else
        note(cmd == CB_UPSDOWN ? "OFF:" + std::to_string(a) + ":" + std::to_string(b) : k);
    return failing.count(cmd) ? -1 : 0;
}

const ea_spawn_ops recorder = {
    [](const char *path, const char *const[], const char *input) {
        note("run:" + std::string(strrchr(path, '/') + 1) + "|" + (input ? input : ""));
        return 0;
    },
    [](const char *, const char *const[], char *out, size_t cap) {
        if (cap > 0)
            out[0] = '\0'; // nobody logged in
        return 0;
    },
    [](const char *cmd) {
        note(std::string("sh:") + cmd);
        return 0;
    },
    [](const char *path, const char *const argv[]) {
        std::string s = std::string("exec:") + path;
        for (int i = 0; argv[i] != nullptr; i++)
            s += std::string(" ") + argv[i];
        note(s);
        if (exec_fails)
            return -1;
        exec_times.push_back(sysclock_time());
        return 0;
    },
};

int nodename(char *dst, size_t size)
{
    wp_strlcpy(dst, "alpha", size);
    return 0;
}

// The settings a script changes; the rest are the agent's defaults.
struct Cfg {
    int type = 4, ignore = 0;      // AgentType, IgnoreOtherAgentDown
    int life = 100, firstwarn = 5; // EXPECTBLIFE, FIRSTWARN (INTERVAL 30)
    std::string group = "Group A";
};

void write_config(const Cfg &c)
{
    char b[400];
    snprintf(b, sizeof b,
             "[ UPS ]\nComSet = 0\nAgentType = %d\nIgnoreOtherAgentDown = %d\nGroup = %s\n"
             "[ ShutDown ]\nEXPECTBLIFE = %d\nFIRSTWARN = %d\nINTERVAL = 30\n"
             "TurnOffDelay = 600\n[ DataLog ]\nDataLogEnabled = 0\n",
             c.type, c.ignore, c.group.c_str(), c.life, c.firstwarn);
    testutil::write_file(sysroot_path(SP_CONFIG), b);
}

constexpr uint32_t MAINS = UPSF_UTILFAIL, BATTLOW = UPSF_BATTLOW, DISCONNECTED = UPSF_BATTDISC;
constexpr uint32_t ABNORMAL = UPSF_FAULT, TESTING = UPSF_TEST, BATTTEST = UPSF_TESTENDED;

const std::string TIMEUP = "Time is up! System shutdown will be executed soon";
const std::string OFF_FOR_GOOD = "OFF:600:4294967295"; // TurnOffDelay, no power-on

std::string acfail(int min, int sec)
{
    return "M2:UPS Ac fail, System will be shut down in " + std::to_string(min) +
           " minute(s) and " + std::to_string(sec) + " second(s).";
}

class Scenario : public testing::Test, protected testutil::EngineRecords
{
  protected:
    void SetUp() override
    {
        ea_setcallback(callback);
        ea_config_setnodename(nodename);
        ea_spawn_setops(&recorder);
        filehandle_init();
    }
    void TearDown() override
    {
        ea_spawn_setops(nullptr);
        ea_config_setnodename(nullptr);
        ea_setcallback(nullptr);
        filehandle_fini();
        sysclock_real();
    }

    // A fresh engine after its start-up with cfg and communication comm,
    // the default event settings, nothing traced yet.
    void start(const Cfg &cfg = {}, int comm = COMM_ESTABLISHED)
    {
        ea_stateinit();
        sysclock_fake(1772000000, 1000.0);
        remove(sysroot_path(SP_EVENTLOG));
        loglines = 0;
        write_config(cfg);
        ui = UPS_UPSINFO{};
        ui.CommStatus = static_cast<int8_t>(comm);
        wp_strlcpy(ui.upsmodel, "QE1000", sizeof ui.upsmodel);
        W = 0;
        ASSERT_EQ(request(EA_INIT), 0);
        for (int n = 0; n < EA_NEVENTROWS; n++)
            events[n] = *eventdefault_at(n);
        note("");
        trace.clear(), records.clear(), failing.clear(), exec_times.clear();
        exec_fails = false;
    }
    // Started, the first look at the UPS taken, nothing traced yet.
    void settled(const Cfg &cfg = {})
    {
        start(cfg);
        pass();
        trace.clear();
    }
    UPS_EVENTINFO &event(int id)
    {
        return *std::find_if(events, events + EA_NEVENTROWS,
                             [id](const UPS_EVENTINFO &e) { return e.EventID == id; });
    }
    int request(int code)
    {
        if (!exec_times.empty())
            return 0; // the process was replaced by the system's shutdown
        int unused = 0, r = Event_Action(code, &in, &unused, &out);
        note("");
        in.DATA.acp = nullptr, in.DATA.agentevent = nullptr;
        return r;
    }
    // One pass of the daemon's loop, or n of them a second apart.
    int pass() { return request(EA_CHECKUPS); }
    void passes(int n)
    {
        for (int i = 0; i < n; i++)
            sysclock_advance(1), pass();
    }
    static time_t now() { return sysclock_time(); }
    // The UPS channel's view of the mains: status bit and state code.
    void mains(bool failing)
    {
        W = failing ? W | MAINS : W & ~MAINS;
        ui.upsstat = failing ? 33 : 0;
    }
    // Settled with cfg, then the mains fails; the instant of the failure.
    time_t mains_failure(const Cfg &cfg = {})
    {
        settled(cfg);
        mains(true);
        pass();
        return now();
    }
    // Passes until the process replaced itself (at most 1000): the seconds
    // from t to that, or -1 when it did not happen exactly once.
    int down_after(time_t t)
    {
        for (int i = 0; i < 1000 && exec_times.empty(); i++)
            passes(1);
        return exec_times.size() == 1 ? static_cast<int>(exec_times[0] - t) : -1;
    }
    // A monitor's shutdown request (id 0) or an agent notice, from host from.
    int ask(int id, const char *from, int delay = 0)
    {
        adi = UPS_AGENTDOWNINFO{};
        adi.delay = static_cast<int16_t>(delay);
        wp_strlcpy(adi.Agent, from, sizeof adi.Agent);
        acp = AGENTCMD{CMD_SHUTDOWN, {&adi}};
        agev = AGENTEVENT{id, &adi};
        in.DATA.acp = &acp, in.DATA.agentevent = &agev;
        return request(id ? EA_CHECKAGENT : EA_DOCOMMAND);
    }
    // How many entries from position from on equal s (begin with s when it
    // ends in '*').
    static int count(const std::string &s, size_t from = 0)
    {
        size_t n = s.back() == '*' ? s.size() - 1 : std::string::npos;
        return static_cast<int>(std::count_if(trace.begin() + from, trace.end(), [&](auto &t) {
            return n == std::string::npos ? t == s : t.compare(0, n, s, 0, n) == 0;
        }));
    }
    // Events and English messages from position from on.
    static std::vector<std::string> story(size_t from, bool messages = true)
    {
        std::vector<std::string> v;
        for (size_t i = from; i < trace.size(); i++)
            if (trace[i][0] == 'E' || (messages && trace[i].compare(0, 3, "M2:") == 0))
                v.push_back(trace[i]);
        return v;
    }
    // Whether want appears in this order from position from on (other
    // entries may lie between).
    static testing::AssertionResult inorder(const std::vector<std::string> &want, size_t from = 0)
    {
        size_t w = 0;
        for (size_t i = from; i < trace.size() && w < want.size(); i++)
            w += trace[i] == want[w];
        if (w == want.size())
            return testing::AssertionSuccess();
        std::string t;
        for (size_t i = from; i < trace.size(); i++)
            t += "\n  " + trace[i];
        return testing::AssertionFailure() << "missing \"" << want[w] << "\" in:" << t;
    }
    static std::string shutdown_exec()
    {
        return std::string("exec:") + sysroot_path(SP_SHUTDOWN) + " shutdown -h -t0 0";
    }

    testutil::Sysroot root_;
    UPS_AGENTDOWNINFO adi{};
    AGENTCMD acp{};
    AGENTEVENT agev{};
};

TEST_F(Scenario, MainsFailureCountsDownToOneShutdown)
{
    start();
    wp_strlcpy(event(65).Command, "logger -t ups 'mains failed'", sizeof event(65).Command);
    pass();
    trace.clear();
    mains(true);
    pass();
    time_t t = now();
    EXPECT_TRUE(inorder({"E65", "sh:logger -t ups 'mains failed'"}));
    EXPECT_EQ(count("run:wall*"), 0) << "the failure itself is not broadcast";
    EXPECT_EQ(ea_st.ACFAIL_off, t + 100);
    EXPECT_EQ(ea_st.downreason, AC_FAIL);

    // Warnings once 95 seconds or fewer remain, at most every 30 seconds,
    // with the time left; each also reaches the terminals.
    passes(96);
    EXPECT_NE(ui.nextdown.year, 0);
    EXPECT_TRUE(inorder({acfail(1, 35), acfail(1, 5), acfail(0, 35), acfail(0, 5)}));
    EXPECT_EQ(count("M2:UPS Ac fail*"), 4);
    EXPECT_EQ(count("M1:UPS Ac fail*"), 4);
    EXPECT_EQ(count("run:wall*"), 4);

    // The wall clock is set back an hour: the deadline stays where the
    // elapsed time puts it.
    sysclock_fake(now() - 3600, sysclock_mono());
    t -= 3600;
    passes(4);
    EXPECT_EQ(count("E129") + count("OFF*"), 0);
    size_t m = trace.size();
    EXPECT_EQ(down_after(t), 101);
    EXPECT_TRUE(inorder({"E129", "E80", "N1:" + TIMEUP, "M1:" + TIMEUP, "M2:" + TIMEUP, "E22",
                         OFF_FOR_GOOD, "E8", shutdown_exec()},
                        m));
    EXPECT_EQ(count("E134"), 0) << "nobody else asked for this shutdown";
    EXPECT_EQ(count("N1:*"), 1);
    EXPECT_EQ(count("sh:*"), 1) << "the event's command ran once";
    EXPECT_EQ(records[80], "255/alpha");
    EXPECT_EQ(ui.ShutdownS, 1);

    // A shutdown program that cannot start is tried again on every pass;
    // nothing else is repeated.
    mains_failure();
    exec_fails = true;
    passes(110);
    EXPECT_EQ(count("exec:*"), 10);
    EXPECT_EQ(count("E129") + count("N1:*") + count("E22") + count("OFF*") + count("E8"), 5);
}

TEST_F(Scenario, GraceOfTheAgentTypes)
{
    struct {
        int type, ignore, down, warnmin, grace; // grace: minutes told, -1 none
        int shown;                              // the shutdown instant monitors see
    } rows[] = {
        {4, 0, 101, 1, -1, 100}, // at the deadline, a second after the mains instant
        {5, 0, 160, 2, 1, 160},  // grace counted from the mains instant
        {6, 0, 220, 3, 2, 220},
        {6, 1, 101, 1, -1, 100}, // other agents ignored: no grace, no wait
    };
    for (const auto &r : rows) {
        SCOPED_TRACE("type " + std::to_string(r.type) + " ignore " + std::to_string(r.ignore));
        time_t t = mains_failure({.type = r.type, .ignore = r.ignore});
        passes(5);
        EXPECT_EQ(count(acfail(r.warnmin, 35)), 1) << "the grace is in the time told";
        UPS_TIMEINFO shown{};
        gettime(t + r.shown, &shown);
        EXPECT_EQ(memcmp(&ui.nextdown, &shown, sizeof shown), 0);
        EXPECT_EQ(down_after(t), r.down);
        std::string told = "The system will shutdown in " + std::to_string(r.grace) + " minutes";
        EXPECT_EQ(count("M2:The system will shutdown in*"), r.grace < 0 ? 0 : 1);
        if (r.grace >= 0) {
            EXPECT_TRUE(inorder({"M1:" + told, "M2:" + told, OFF_FOR_GOOD, shutdown_exec()}));
        }
        EXPECT_EQ(count("E129") + count("N1:*") + count("OFF*"), 3);
        EXPECT_EQ(count("E80"), r.ignore ? 0 : 1);
    }

    // The agent manager changes the type: the next shutdown waits for it.
    settled();
    write_config({.type = 6});
    ASSERT_EQ(ask(AGEV_SETTINGS, ""), 0);
    EXPECT_EQ(up.commparam.AgentType, 6u);
    mains(true);
    pass();
    EXPECT_EQ(down_after(now()), 220);
}

TEST_F(Scenario, MainsReturnCancelsOnlyAPendingShutdown)
{
    mains_failure();
    passes(50);
    size_t m = trace.size();
    mains(false);
    pass();
    EXPECT_TRUE(inorder({"M1:UPS AC Restore", "M2:UPS AC Restore", "E0"}, m));
    EXPECT_EQ(ea_st.ACFAIL_off + ea_st.next_off, 0);
    EXPECT_EQ(ea_st.downreason, NONE);
    EXPECT_EQ(ui.nextdown.year, 0);
    passes(300);
    EXPECT_EQ(count("M2:UPS Ac fail*", m), 0);
    EXPECT_EQ(count("E129") + count("OFF*") + count("N1:*") + count("exec:*"), 0);

    // The next failure counts from its own start.
    mains(true);
    pass();
    EXPECT_EQ(ea_st.ACFAIL_off, now() + 100);
    EXPECT_EQ(down_after(now()), 101);

    // Once the deadline has passed the shutdown runs to its end: the return
    // is told, nothing is cancelled.
    time_t t = mains_failure({.type = 6});
    passes(150);
    ASSERT_EQ(ea_st.ISSHUTTINGDOWN, 1);
    m = trace.size();
    mains(false);
    pass();
    EXPECT_TRUE(inorder({"M2:UPS AC Restore", "E0"}, m));
    EXPECT_EQ(ea_st.downreason, AC_FAIL);
    EXPECT_NE(ea_st.ACFAIL_off, 0);
    EXPECT_EQ(down_after(t), 220);
}

TEST_F(Scenario, UserShutdownAtItsInstant)
{
    // Asked from this very host, nobody else is named as the cause.
    for (std::string mon : {"mon1", "alpha"}) {
        SCOPED_TRACE(mon);
        int other = mon != "alpha";
        settled();
        ASSERT_EQ(ask(0, mon.c_str(), 60), 0);
        time_t t = now();
        EXPECT_TRUE(inorder({"M2:Receive shutdown Command From Users on " + mon, "E79",
                             "M2:Receive shutdown Command From Users on alpha"}));
        EXPECT_EQ(records[79], "255/" + mon);
        EXPECT_EQ(down_after(t), 60);
        EXPECT_EQ(count("M2:Receive shutdown Command From Users on*"), 2) << "warned once";
        EXPECT_TRUE(inorder({"E133", "N1:" + TIMEUP, "E22", OFF_FOR_GOOD, "E8", shutdown_exec()}));
        EXPECT_EQ(count("E80"), other);
        EXPECT_EQ(count("E134"), other);
    }
}

TEST_F(Scenario, CancelDuringTheGraceWaitLeavesNoWedgedAgent)
{
    // The user's deadline is reached, the grace wait runs, then the user
    // cancels: the shutdown either goes on, or the agent is itself again
    // and protects the host at the next mains failure.
    settled({.type = 6});
    ASSERT_EQ(ask(0, "mon1", 30), 0);
    time_t t = now();
    passes(40);
    ASSERT_EQ(ea_st.ISSHUTTINGDOWN, 1);
    char canceller[] = "mon2";
    acp = AGENTCMD{CMD_CANCELSHUTDOWN, {}};
    acp.arg.hp = canceller;
    in.DATA.acp = &acp;
    request(EA_DOCOMMAND);
    int down = down_after(t);
    if (down < 0) {
        EXPECT_EQ(ea_st.ISSHUTTINGDOWN, 0) << "neither shutting down nor idle";
        mains(true);
        pass();
        EXPECT_EQ(down_after(now()), 220);
    } else {
        EXPECT_EQ(down, 150);
    }
}

TEST_F(Scenario, ScheduledShutdownTellsTheOffDuration)
{
    // The UPS stays off until the schedule's power-on, less the delay
    // before it switches off; without a duration it stays off for good.
    struct {
        long duration, span; // DownDuration, power-on minus off instant
        std::string off;
    } rows[] = {
        {0, 3600, "OFF:600:0"},
        {1, 3600, "OFF:600:3000"},
        {500, 300, "OFF:600:500"}, // power-on within the delay: as set
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.off);
        settled();
        time_t t = now();
        ea_st.SCH_off = t + 30;
        ea_st.SCH_boot = t + 30 + r.span;
        ea_st.offBootSpan = r.span;
        ea_st.DownDuration = r.duration;
        ea_st.schdownreason = WEEKLY;
        EXPECT_EQ(down_after(t), 30);
        EXPECT_TRUE(inorder({"E75", "E131", "N1:" + TIMEUP, "E22", r.off, "E8", shutdown_exec()}));
    }
}

TEST_F(Scenario, StateBitsBecomeEvents)
{
    const std::string weak = "M2:Ups battery is weak.Please change the battery as soon as "
                             "possible.\nIf you don't change the battery UPS can't action when "
                             "UPS AC Fail.";
    const uint32_t many = MAINS | ABNORMAL | UPSF_OVERLOAD | UPSF_BYPASS;
    struct {
        uint32_t before, after;
        int lost;
        std::vector<std::string> want; // events and English messages, in order
    } rows[] = {
        {0, UPSF_OVERLOAD, 0, {"E78"}},
        {0, UPSF_BYPASS, 0, {"E67"}},
        {0, UPSF_BATTWEAK, 0, {"E68", weak}},
        {0, DISCONNECTED, 0, {"E66", "M2:UPS Battery Disconnect"}},
        {0, many, 0, {"E65", "E77", "E78", "E67"}},
        {0, many, 1, {}}, // nobody can tell
        {UPSF_OVERLOAD | UPSF_BYPASS, UPSF_OVERLOAD | UPSF_BYPASS, 0, {}},
        // A test begun with the battery away is told, no event.
        {DISCONNECTED, DISCONNECTED | TESTING, 0, {"M2:UPS Battery Disconnect"}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.after) + (r.lost ? " lost" : ""));
        start();
        ui.CommStatus = r.lost ? COMM_LOST : COMM_ESTABLISHED;
        pass();
        W = r.before;
        pass();
        size_t m = trace.size();
        W = r.after;
        pass();
        EXPECT_EQ(story(m), r.want);
    }
}

TEST_F(Scenario, BatteryLowOverridesAPendingUserShutdown)
{
    settled();
    ASSERT_EQ(ask(0, "mon1", 600), 0);
    EXPECT_EQ(ea_st.downreason, USER_SPECIFY);
    EXPECT_EQ(ea_st.USR_off, now() + 600);
    passes(100);

    // A schedule at the very same instant takes the lead.
    ea_st.SCH_off = ea_st.USR_off;
    ea_st.schdownreason = MONTHLY;
    pass();
    EXPECT_EQ(ea_st.downreason, MONTHLY);

    size_t m = trace.size();
    W = BATTLOW;
    pass();
    EXPECT_EQ(ea_st.downreason, BATTERY_LOW);
    EXPECT_EQ(down_after(now()), 0) << "the shutdown begins on the same pass";
    EXPECT_TRUE(inorder({"M1:UPS Battery Low", "M2:UPS Battery Low", "E128", "E80", "N1:" + TIMEUP,
                         "E134", "E22", OFF_FOR_GOOD, "E8", shutdown_exec()},
                        m));
    EXPECT_EQ(count("E133"), 0);
}

TEST_F(Scenario, LowBatteryNeverPostponesARunningShutdown)
{
    // During the grace wait a low battery may hasten the shutdown, never
    // put it off.
    time_t t = mains_failure({.type = 6});
    passes(149);
    W |= BATTLOW;
    pass();
    int down = down_after(t);
    EXPECT_TRUE(down >= 150 && down <= 220) << "down after " << down << " s, due at 220 s";
}

TEST_F(Scenario, AStopAskedForAfterTheDeadlineEndsTheGraceWait)
{
    // Before the deadline a stop is the agent's own business (it leaves and
    // the engine changes nothing); after it the UPS must hear its switch-off
    // before the agent goes, so the grace wait ends on the spot.
    for (int asked : {50, 150}) {
        SCOPED_TRACE("stop asked " + std::to_string(asked) + " s after the failure");
        time_t t = mains_failure({.type = 6});
        passes(asked);
        size_t m = trace.size();
        ASSERT_EQ(ask(AGEV_STOPASKED, ""), 0);
        int down = down_after(t);
        if (asked < 101)
            EXPECT_EQ(down, 220) << "the grace is kept";
        else
            EXPECT_TRUE(down == asked || down == asked + 1) << "down after " << down << " s";
        EXPECT_TRUE(inorder({"E22", OFF_FOR_GOOD, "E8", shutdown_exec()}, m));
        EXPECT_EQ(count("OFF*"), 1);
    }
}

TEST_F(Scenario, WeeklyWarningDisplacedAndRegained)
{
    const std::string weekly = "M2:system shutdown warning begin(schedule:weekly) Date:*";
    // A weekly shutdown 900 s ahead warns from 600 s before it, then every
    // 60 s, its event once; then the mains fails, due 300 s on.
    auto weekly_then_mains = [&]() {
        settled({.life = 300, .firstwarn = 60});
        ea_st.SCH_off = now() + 900;
        ea_st.schdownreason = WEEKLY;
        passes(370);
        EXPECT_EQ(count("E75"), 1);
        EXPECT_EQ(count(weekly), 2);
        mains(true);
        pass();
        EXPECT_EQ(ea_st.downreason, AC_FAIL);
    };

    // Governing again directly (its instant moved before the mains
    // deadline): warned, but no second event, whether or not a warning is
    // due on the very pass it governs again.
    for (int after : {40, 70}) {
        SCOPED_TRACE("regained " + std::to_string(after) + " s after the last warning");
        weekly_then_mains();
        time_t t = now();
        passes(after - 12);
        ea_st.SCH_off = t + 278; // 22 s before the mains deadline
        size_t m = trace.size();
        passes(31);
        EXPECT_EQ(ea_st.downreason, WEEKLY);
        EXPECT_EQ(count(weekly, m), 1);
        EXPECT_EQ(count("E75", m), 0);
    }

    // Through no shutdown at all (the mains returned): a new warning period
    // with its event.
    weekly_then_mains();
    passes(79);
    size_t m = trace.size();
    mains(false);
    passes(31);
    EXPECT_EQ(ea_st.downreason, WEEKLY);
    EXPECT_EQ(count("E75", m), 1);
    EXPECT_GE(count(weekly, m), 1);
}

TEST_F(Scenario, EventShutdownStartsOnlyFromItsOwnEvents)
{
    // Set to shut down, events 79, 22 and 80 still never start one.
    for (int id : {79, 22, 80, 66}) {
        SCOPED_TRACE(id);
        settled();
        event(id).Shutdown = 1;
        ea_st.CURRENTCMD = EA_CHECKUPS;
        eventaction(id, &in, &out);
        EXPECT_EQ(ea_st.DOWNEVENTID, id);
        EXPECT_EQ(ea_st.downreason, id == 66 ? EVENT_TRIGGER : NONE);
        EXPECT_EQ(ea_st.EVENTTRIGGER_off, id == 66 ? now() : 0);
    }

    // A disconnected battery set to shut down does so at once; the record
    // of the shutdown names it as the cause.
    settled();
    event(66).Shutdown = 1;
    W = DISCONNECTED;
    pass();
    EXPECT_EQ(down_after(now()), 0);
    EXPECT_TRUE(
        inorder({"E66", "E80", "N1:" + TIMEUP, "E22", OFF_FOR_GOOD, "E8", shutdown_exec()}));
    EXPECT_EQ(records[22], "66/");

    // Once a deadline was reached, it changes nothing but the cause, and
    // does not put the shutdown off.
    time_t t = mains_failure({.type = 6});
    event(66).Shutdown = 1;
    passes(110);
    ASSERT_EQ(ea_st.DOWNREACHED, 1);
    W |= DISCONNECTED;
    pass();
    EXPECT_EQ(count("E66"), 1);
    EXPECT_EQ(ea_st.downreason, AC_FAIL);
    EXPECT_EQ(ea_st.EVENTTRIGGER_off, 0);
    EXPECT_EQ(down_after(t), 220);
    EXPECT_EQ(records[22], "66/");
}

TEST_F(Scenario, SelfTestEndRaisesItsResult)
{
    // A UPS test's result by the reason it ran for; results 1 (passed), 0
    // (failed) and 2 (none, counted as passed).
    struct {
        int reason, passed, failed; // events, -1 none
    } ups[] = {
        {NONE, 2, 69},    {SPECIAL, 3, 70},      {WEEKLY, 4, 71},
        {MONTHLY, 5, 72}, {USER_SPECIFY, 2, 69}, {USER_SPECIFY_LOW, -1, -1},
    };
    start();
    pass();
    auto test_ends = [&](int reason, uint32_t bits, uint32_t result) {
        ea_st.testreason = reason;
        W = TESTING;
        pass();
        size_t m = trace.size();
        (bits ? ui.sftResBattery : ui.sftResUPS).Result = result;
        W = bits;
        pass();
        std::vector<std::string> e = story(m, false);
        return e.size() == 1 ? std::stoi(e[0].substr(1)) : e.empty() ? -1 : -2;
    };
    for (const auto &r : ups) {
        for (uint32_t result : {1u, 0u, 2u}) {
            SCOPED_TRACE("reason " + std::to_string(r.reason) + " result " +
                         std::to_string(result));
            EXPECT_EQ(test_ends(r.reason, 0, result), result ? r.passed : r.failed);
            EXPECT_EQ(ea_st.testreason, NONE);
        }
    }
    // A battery test keeps the reason of the test in progress.
    for (uint32_t result : {1u, 0u, 2u}) {
        SCOPED_TRACE("battery result " + std::to_string(result));
        EXPECT_EQ(test_ends(WEEKLY, BATTTEST, result), result == 1 ? 6 : result == 0 ? 73 : -1);
        EXPECT_EQ(ea_st.testreason, WEEKLY);
    }
}

TEST_F(Scenario, CommunicationLossAndReturn)
{
    // Without a UPS configured, nothing is told at all.
    start({}, COMM_NOUPS);
    passes(3);
    EXPECT_EQ(count("M2:UPS communication Lost") + count("E64"), 0);

    // Started during a mains failure: one event, one countdown.
    start();
    mains(true);
    pass();
    EXPECT_EQ(count("E65"), 1);
    EXPECT_EQ(ea_st.ACFAIL_off, now() + 100);

    // The first look finds no UPS: the loss is told, but no event.
    start({}, COMM_LOST);
    pass();
    EXPECT_TRUE(inorder({"M1:UPS communication Lost", "M2:UPS communication Lost", "K0x2000"}));
    EXPECT_EQ(count("E64"), 0);

    // The mains failing while nobody can see it counts from the return.
    mains(true);
    passes(10);
    EXPECT_EQ(count("E65"), 0);
    ui.CommStatus = COMM_ESTABLISHED;
    passes(1);
    EXPECT_TRUE(inorder({"E1", "M2:UPS Communication established", "K0x2000"}));
    EXPECT_EQ(count("E65"), 1);
    EXPECT_EQ(ea_st.ACFAIL_off, now() + 100);

    // Once established, a loss is an event; the return too.
    mains(false);
    pass();
    size_t m = trace.size();
    ui.CommStatus = COMM_LOST;
    pass();
    EXPECT_TRUE(inorder({"E64", "M2:UPS communication Lost", "K0x2000"}, m));
    ui.CommStatus = COMM_ESTABLISHED;
    pass();
    EXPECT_TRUE(inorder({"E1", "M2:UPS Communication established", "K0x2000"}, m));
}

TEST_F(Scenario, LinkLossKeepsOnlyTheShutdownsOnBattery)
{
    // A host on battery must go down in order and in time whatever the UPS
    // link does (the battery drains while it is away; the UPS-off request
    // may then fail).  A user's or a schedule's countdown is dropped, and
    // the mains seen back with the link cancels as ever.
    enum { USER = 1, SCHEDULE = 2, RESTORED = 4 };
    struct {
        int type;
        uint32_t trigger;
        int lose, back, down; // seconds after the trigger; back 0: never
    } rows[] = {
        {4, MAINS, 50, 0, 101},    // lost during the countdown
        {6, MAINS, 150, 0, 220},   // lost during the grace wait
        {6, BATTLOW, 30, 0, 120},  // low battery, during the grace wait
        {4, MAINS, 50, 80, 101},   // back before the deadline, mains still out
        {6, MAINS, 150, 160, 220}, // back during the grace wait
        {6, BATTLOW, 30, 60, 120}, // low battery, back during the grace wait
        {4, RESTORED, 50, 80, -1}, // back with the mains, before the deadline
        {4, USER, 100, 110, -1},   // the user's countdown
        {4, SCHEDULE, 100, 110, -1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE("trigger " + std::to_string(r.trigger) + " lost at " + std::to_string(r.lose) +
                     " back at " + std::to_string(r.back));
        settled({.type = r.type});
        failing.insert(CB_UPSDOWN);
        if (r.trigger == USER) {
            ASSERT_EQ(ask(0, "mon1", 300), 0);
        } else if (r.trigger == SCHEDULE) {
            ea_st.SCH_off = now() + 300;
            ea_st.schdownreason = WEEKLY;
        }
        mains(r.trigger == MAINS || r.trigger == RESTORED);
        W |= r.trigger & BATTLOW;
        pass();
        time_t t = now();
        passes(r.lose - 1);
        ui.CommStatus = COMM_LOST;
        passes(1);
        if (r.back > 0) {
            passes(r.back - r.lose - 1);
            ui.CommStatus = COMM_ESTABLISHED;
            mains(r.trigger == MAINS); // as the UPS channel reads it again
            passes(1);
        }
        EXPECT_EQ(down_after(t), r.down);
        if (r.down < 0) {
            EXPECT_EQ(ea_st.downreason, NONE);
            EXPECT_EQ(count("E131") + count("E133") + count("OFF*"), 0);
        } else {
            EXPECT_EQ(count(OFF_FOR_GOOD), 1);
            EXPECT_TRUE(inorder({"E22", OFF_FOR_GOOD, "E8", shutdown_exec()}));
        }
    }
}

TEST_F(Scenario, AbnormalOncePerPeriodAndOneAnnouncementPerChange)
{
    settled();
    W = ABNORMAL;
    passes(20);
    EXPECT_EQ(count("E77"), 1);
    W = 0;
    passes(2);
    W = ABNORMAL;
    passes(3);
    EXPECT_EQ(count("E77"), 2);
    W = 0;
    passes(2);

    // Model, group, agent type and ignore flag all differ at once (the last
    // three stored as a monitor's settings change stores them).
    size_t m = trace.size();
    write_config({.type = 5, .ignore = 1, .group = "Group B"});
    wp_strlcpy(ui.upsmodel, "QE2000", sizeof ui.upsmodel);
    wp_strlcpy(up.commparam.Group, "Group B", sizeof up.commparam.Group);
    ui.AgentType = 5;
    up.commparam.bIgnore = 1;
    pass();
    EXPECT_EQ(count("K0x80000", m), 4);
    m = trace.size();
    pass();
    EXPECT_EQ(count("K0x80000", m), 0);
}

TEST_F(Scenario, OtherAgentOrdersTheShutdown)
{
    settled();
    EXPECT_EQ(ask(AGEV_NETDOWN, "beta"), 0);
    EXPECT_EQ(down_after(now()), 0);
    EXPECT_TRUE(inorder({"M1:The system will begin shutdown process due to agent on beta",
                         "M2:The system will begin shutdown process due to agent on beta", "E134",
                         "E22", OFF_FOR_GOOD, "E8", shutdown_exec()}));
    EXPECT_TRUE(inorder({"E80", "E134"}));
    EXPECT_EQ(records[80], "255/beta");
    EXPECT_EQ(records[134], "255/beta");
    EXPECT_EQ(count("N1:*"), 0) << "no going-down broadcast for a shutdown others ordered";

    // Ignoring other agents, nothing happens at all.
    settled({.ignore = 1});
    ask(AGEV_NETDOWN, "beta");
    passes(5);
    EXPECT_EQ(count("E80") + count("E22") + count("OFF*") + count("exec:*"), 0);
    EXPECT_EQ(ea_st.downreason, NONE);
    EXPECT_EQ(ui.ShutdownS + ea_st.ISSHUTTINGDOWN, 0);
}

} // namespace
