// Scripts of the engine's decisions on the fake clock: the UPS state
// changes, time passes, and the events, messages, callbacks and programs
// that follow are read from one trace (scenario.h).
#include "ea/e_a.h"
#include "agent/ups_flags.h"
#include "ea/ea_action.h"
#include "ea/ea_time.h"
#include "scenario.h"

#include <cstring>

namespace
{

using scenario::Cfg;
using scenario::trace;

constexpr uint32_t MAINS = UPSF_UTILFAIL, BATTLOW = UPSF_BATTLOW, DISCONNECTED = UPSF_BATTDISC;
constexpr uint32_t ABNORMAL = UPSF_FAULT, TESTING = UPSF_TEST, BATTTEST = UPSF_TESTENDED;

const std::string TIMEUP = "Time is up! System shutdown will be executed soon";
const std::string OFF_FOR_GOOD = "OFF:600:4294967295"; // TurnOffDelay, no power-on

std::string acfail(int min, int sec)
{
    return "M2:UPS Ac fail, System will be shut down in " + std::to_string(min) +
           " minute(s) and " + std::to_string(sec) + " second(s).";
}

bool zero(const UPS_TIMEINFO &t)
{
    static const UPS_TIMEINFO z{};
    return memcmp(&t, &z, sizeof t) == 0;
}

class Scenario : public scenario::Stage
{
  protected:
    // Started with cfg, communication established and settled, the mains
    // failing from now on.  Returns the instant of the failure.
    time_t mains_failure(const Cfg &cfg = {})
    {
        start(cfg);
        pass();
        reset();
        mains(true);
        pass();
        return now();
    }
    // The UPS channel's view of the mains: the status bit and state code.
    void mains(bool failing)
    {
        W = failing ? W | MAINS : W & ~MAINS;
        ui.upsstat = failing ? 33 : 0;
    }
    // Passes a second apart until the process replaced itself or limit
    // passes went by.
    void until_exec(int limit = 1000)
    {
        for (int i = 0; i < limit && scenario::exec_times.empty(); i++)
            passes(1);
    }
    // A monitor's shutdown request with delay seconds, from host mon.
    int user_shutdown(int delay, const char *mon = "mon1")
    {
        adi = UPS_AGENTDOWNINFO{};
        adi.delay = static_cast<int16_t>(delay);
        wp_strlcpy(adi.Agent, mon, sizeof adi.Agent);
        acp = AGENTCMD{};
        acp.cmd = CMD_SHUTDOWN;
        acp.arg.adip = &adi;
        in.DATA.acp = &acp;
        return request(EA_DOCOMMAND);
    }
    // Another agent's network shutdown notice from host from.
    int netdown(const char *from)
    {
        adi = UPS_AGENTDOWNINFO{};
        wp_strlcpy(adi.Agent, from, sizeof adi.Agent);
        agev = AGENTEVENT{AGEV_NETDOWN, &adi};
        in.DATA.agentevent = &agev;
        return request(EA_CHECKAGENT);
    }
    static std::vector<std::string> events_since(size_t m)
    {
        std::vector<std::string> v;
        for (size_t i = m; i < trace.size(); i++)
            if (trace[i][0] == 'E')
                v.push_back(trace[i]);
        return v;
    }

    UPS_AGENTDOWNINFO adi{};
    AGENTCMD acp{};
    AGENTEVENT agev{};
};

TEST_F(Scenario, MainsFailureCountsDownToOneShutdown)
{
    time_t t = mains_failure();
    EXPECT_EQ(count("E65"), 1);
    EXPECT_EQ(count("run:wall*"), 0) << "the failure itself is not broadcast";
    EXPECT_EQ(ea_st.ACFAIL_off, t + 100);
    EXPECT_EQ(ea_st.downreason, AC_FAIL);

    // Warnings once 95 seconds or fewer remain, at most every 30 seconds,
    // with the time left; each also reaches the terminals.
    passes(96);
    EXPECT_FALSE(zero(ui.nextdown));
    EXPECT_TRUE(inorder({acfail(1, 35), acfail(1, 5), acfail(0, 35), acfail(0, 5)}));
    EXPECT_EQ(count("M2:UPS Ac fail*"), 4);
    EXPECT_EQ(count("M1:UPS Ac fail*"), 4);
    EXPECT_EQ(count("run:wall*"), 4);

    // The wall clock is set back an hour: the deadline stays where the
    // elapsed time puts it.
    sysclock_fake(now() - 3600, sysclock_mono());
    t -= 3600;
    passes(4);
    EXPECT_EQ(count("E129"), 0);
    EXPECT_EQ(count("OFF*"), 0);
    size_t m = trace.size();
    passes(1);
    ASSERT_EQ(scenario::exec_times.size(), 1u);
    EXPECT_EQ(scenario::exec_times[0], t + 101);
    EXPECT_TRUE(inorder({"E129", "E80", "N1:" + TIMEUP, "M1:" + TIMEUP, "M2:" + TIMEUP, "E22",
                         OFF_FOR_GOOD, "E8", shutdown_exec()},
                        m));
    EXPECT_EQ(count("E134"), 0) << "nobody else asked for this shutdown";
    EXPECT_EQ(count("N1:*"), 1);
    EXPECT_EQ(count("exec:*"), 1);
    EXPECT_EQ(logged(80), "255/alpha");
    EXPECT_EQ(ui.ShutdownS, 1);
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
        until_exec();
        ASSERT_EQ(scenario::exec_times.size(), 1u);
        EXPECT_EQ(scenario::exec_times[0], t + r.down);
        EXPECT_EQ(count("M2:The system will shutdown in*"), r.grace < 0 ? 0 : 1);
        std::string told = "The system will shutdown in " + std::to_string(r.grace) + " minutes";
        if (r.grace >= 0) {
            EXPECT_TRUE(inorder({"M1:" + told, "M2:" + told, OFF_FOR_GOOD, shutdown_exec()}));
        }
        EXPECT_EQ(count("E129"), 1);
        EXPECT_EQ(count("N1:*"), 1);
        EXPECT_EQ(count("OFF*"), 1);
        EXPECT_EQ(count("E80"), r.ignore ? 0 : 1);
    }

    // The agent manager changes the type: the next shutdown waits for it.
    start();
    pass();
    scenario::write_config({.type = 6});
    agev = AGENTEVENT{AGEV_SETTINGS, nullptr};
    in.DATA.agentevent = &agev;
    ASSERT_EQ(request(EA_CHECKAGENT), 0);
    EXPECT_EQ(up.commparam.AgentType, 6u);
    mains(true);
    pass();
    time_t t = now();
    until_exec();
    ASSERT_EQ(scenario::exec_times.size(), 1u);
    EXPECT_EQ(scenario::exec_times[0], t + 220);
}

TEST_F(Scenario, MainsReturnCancelsOnlyAPendingShutdown)
{
    mains_failure();
    passes(50);
    size_t m = trace.size();
    mains(false);
    pass();
    EXPECT_TRUE(inorder({"M1:UPS AC Restore", "M2:UPS AC Restore", "E0"}, m));
    EXPECT_EQ(ea_st.ACFAIL_off, 0);
    EXPECT_EQ(ea_st.next_off, 0);
    EXPECT_EQ(ea_st.downreason, NONE);
    EXPECT_TRUE(zero(ui.nextdown));
    passes(300);
    EXPECT_EQ(count("M2:UPS Ac fail*", m), 0);
    EXPECT_EQ(count("E129") + count("OFF*") + count("N1:*") + count("exec:*"), 0);

    // The next failure counts from its own start.
    mains(true);
    pass();
    time_t again = now();
    EXPECT_EQ(ea_st.ACFAIL_off, again + 100);
    until_exec();
    ASSERT_EQ(scenario::exec_times.size(), 1u);
    EXPECT_EQ(scenario::exec_times[0], again + 101);

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
    until_exec();
    ASSERT_EQ(scenario::exec_times.size(), 1u);
    EXPECT_EQ(scenario::exec_times[0], t + 220);
}

TEST_F(Scenario, UserShutdownAtItsInstant)
{
    // Asked from this very host, nobody else is named as the cause.
    for (const char *mon : {"mon1", "alpha"}) {
        SCOPED_TRACE(mon);
        bool other = strcmp(mon, "alpha") != 0;
        start();
        pass();
        reset();
        ASSERT_EQ(user_shutdown(60, mon), 0);
        time_t t = now();
        in.DATA.acp = nullptr;
        EXPECT_TRUE(inorder({"M2:Receive shutdown Command From Users on " + std::string(mon), "E79",
                             "M2:Receive shutdown Command From Users on alpha"}));
        EXPECT_EQ(logged(79), "255/" + std::string(mon));
        until_exec();
        ASSERT_EQ(scenario::exec_times.size(), 1u);
        EXPECT_EQ(scenario::exec_times[0], t + 60);
        EXPECT_EQ(count("M2:Receive shutdown Command From Users on*"), 2) << "warned once";
        EXPECT_TRUE(inorder({"E133", "N1:" + TIMEUP, "E22", OFF_FOR_GOOD, "E8", shutdown_exec()}));
        EXPECT_EQ(count("E80"), other);
        EXPECT_EQ(count("E134"), other);
    }

    // Cancelled in time, nothing happens.
    start();
    pass();
    reset();
    ASSERT_EQ(user_shutdown(60), 0);
    passes(30);
    char canceller[] = "mon2";
    acp = AGENTCMD{};
    acp.cmd = CMD_CANCELSHUTDOWN;
    acp.arg.hp = canceller;
    ASSERT_EQ(request(EA_DOCOMMAND), 0);
    EXPECT_TRUE(inorder({"M2:The Shutdown is Canceled by Users on mon2", "E21"}));
    in.DATA.acp = nullptr;
    passes(100);
    EXPECT_EQ(count("E133") + count("OFF*") + count("exec:*"), 0);
    EXPECT_EQ(ea_st.downreason, NONE);
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
        start();
        pass();
        reset();
        time_t t = now();
        ea_st.SCH_off = t + 30;
        ea_st.SCH_boot = t + 30 + r.span;
        ea_st.offBootSpan = r.span;
        ea_st.DownDuration = r.duration;
        ea_st.schdownreason = WEEKLY;
        until_exec();
        ASSERT_EQ(scenario::exec_times.size(), 1u);
        EXPECT_EQ(scenario::exec_times[0], t + 30);
        EXPECT_TRUE(inorder({"E75", "E131", "N1:" + TIMEUP, "E22", r.off, "E8", shutdown_exec()}));
    }
}

TEST_F(Scenario, StateBitsBecomeEvents)
{
    const std::string weak = "M2:Ups battery is weak.Please change the battery as soon as "
                             "possible.\nIf you don't change the battery UPS can't action when "
                             "UPS AC Fail.";
    struct {
        uint32_t before, after;
        int lost;
        std::vector<std::string> want; // events and English messages, in order
    } rows[] = {
        {0, UPSF_OVERLOAD, 0, {"E78"}},
        {0, UPSF_BYPASS, 0, {"E67"}},
        {0, UPSF_BATTWEAK, 0, {"E68", weak}},
        {0, DISCONNECTED, 0, {"E66", "M2:UPS Battery Disconnect"}},
        {0, MAINS | ABNORMAL | UPSF_OVERLOAD | UPSF_BYPASS, 0, {"E65", "E77", "E78", "E67"}},
        {0, MAINS | ABNORMAL | UPSF_OVERLOAD | UPSF_BYPASS, 1, {}}, // nobody can tell
        {UPSF_OVERLOAD | UPSF_BYPASS, UPSF_OVERLOAD | UPSF_BYPASS, 0, {}},
        // A test begun with the battery away is told, no event.
        {DISCONNECTED, DISCONNECTED | TESTING, 0, {"M2:UPS Battery Disconnect"}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.before) + " to " + std::to_string(r.after) +
                     (r.lost ? " lost" : ""));
        start();
        pass();
        if (r.lost) {
            ui.CommStatus = COMM_LOST;
            pass();
        }
        W = r.before;
        pass();
        size_t m = trace.size();
        W = r.after;
        pass();
        std::vector<std::string> seen;
        for (size_t i = m; i < trace.size(); i++)
            if (trace[i][0] == 'E' || trace[i].compare(0, 3, "M2:") == 0)
                seen.push_back(trace[i]);
        EXPECT_EQ(seen, r.want);
    }
}

TEST_F(Scenario, BatteryLowOverridesAPendingUserShutdown)
{
    start();
    pass();
    reset();
    ASSERT_EQ(user_shutdown(600), 0);
    EXPECT_EQ(ea_st.downreason, USER_SPECIFY);
    EXPECT_EQ(ea_st.USR_off, now() + 600);
    in.DATA.acp = nullptr;
    passes(100);
    EXPECT_TRUE(scenario::exec_times.empty());

    // A schedule at the very same instant takes the lead.
    ea_st.SCH_off = ea_st.USR_off;
    ea_st.schdownreason = MONTHLY;
    pass();
    EXPECT_EQ(ea_st.downreason, MONTHLY);

    size_t m = trace.size();
    W = BATTLOW;
    pass();
    EXPECT_EQ(ea_st.downreason, BATTERY_LOW);
    ASSERT_EQ(scenario::exec_times.size(), 1u) << "the shutdown begins on the same pass";
    EXPECT_EQ(scenario::exec_times[0], now());
    EXPECT_TRUE(inorder({"M1:UPS Battery Low", "M2:UPS Battery Low", "E128", "E80", "N1:" + TIMEUP,
                         "E134", "E22", OFF_FOR_GOOD, "E8", shutdown_exec()},
                        m));
    EXPECT_EQ(count("E133"), 0);
}

TEST_F(Scenario, WeeklyWarningDisplacedAndRegained)
{
    const std::string weekly = "M2:system shutdown warning begin(schedule:weekly) Date:*";
    // A weekly shutdown 900 s ahead warns from 600 s before it, then every
    // 60 s; its event once.
    auto weekly_then_mains = [&]() {
        start({.life = 300, .firstwarn = 60});
        pass();
        reset();
        ea_st.SCH_off = now() + 900;
        ea_st.schdownreason = WEEKLY;
        passes(370);
        EXPECT_EQ(count("E75"), 1);
        EXPECT_EQ(count(weekly), 2);
        mains(true);
        pass(); // the mains deadline, 300 s on, now governs
        EXPECT_EQ(ea_st.downreason, AC_FAIL);
    };

    // Governing again directly (its instant moved before the mains
    // deadline): warned, but no second event.
    weekly_then_mains();
    passes(28);
    size_t m = trace.size();
    ea_st.SCH_off = now() + 250;
    passes(31);
    EXPECT_EQ(ea_st.downreason, WEEKLY);
    EXPECT_EQ(count(weekly, m), 1);
    EXPECT_EQ(count("E75", m), 0);

    // Through no shutdown at all (the mains returned): a new warning period
    // with its event.
    weekly_then_mains();
    passes(79);
    m = trace.size();
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
        start();
        pass();
        event(id).Shutdown = 1;
        ea_st.CURRENTCMD = EA_CHECKUPS;
        eventaction(id, &in, &out);
        EXPECT_EQ(ea_st.DOWNEVENTID, id);
        EXPECT_EQ(ea_st.downreason, id == 66 ? EVENT_TRIGGER : NONE);
        EXPECT_EQ(ea_st.EVENTTRIGGER_off, id == 66 ? now() : 0);
    }

    // A disconnected battery set to shut down does so at once; the record
    // of the shutdown names it as the cause.
    start();
    pass();
    reset();
    event(66).Shutdown = 1;
    W = DISCONNECTED;
    pass();
    ASSERT_EQ(scenario::exec_times.size(), 1u);
    EXPECT_TRUE(
        inorder({"E66", "E80", "N1:" + TIMEUP, "E22", OFF_FOR_GOOD, "E8", shutdown_exec()}));
    EXPECT_EQ(logged(22), "66/");

    // Once a deadline was reached, it changes nothing but the cause.
    time_t t = mains_failure({.type = 6});
    event(66).Shutdown = 1;
    passes(110);
    ASSERT_EQ(ea_st.DOWNREACHED, 1);
    W |= DISCONNECTED;
    pass();
    EXPECT_EQ(count("E66"), 1);
    EXPECT_EQ(ea_st.downreason, AC_FAIL);
    EXPECT_EQ(ea_st.EVENTTRIGGER_off, 0);
    until_exec();
    ASSERT_EQ(scenario::exec_times.size(), 1u);
    EXPECT_EQ(scenario::exec_times[0], t + 220);
    EXPECT_EQ(logged(22), "66/");
}

TEST_F(Scenario, SelfTestEndRaisesItsResult)
{
    struct {
        int reason;
        uint32_t bits; // of the status word when the test ends
        uint32_t result;
        int event, after; // event -1: none
    } rows[] = {
        {NONE, 0, 1, 2, NONE},
        {NONE, 0, 0, 69, NONE},
        {NONE, 0, 2, 2, NONE},
        {SPECIAL, 0, 1, 3, NONE},
        {SPECIAL, 0, 0, 70, NONE},
        {WEEKLY, 0, 1, 4, NONE},
        {WEEKLY, 0, 0, 71, NONE},
        {MONTHLY, 0, 1, 5, NONE},
        {MONTHLY, 0, 0, 72, NONE},
        {USER_SPECIFY, 0, 1, 2, NONE},
        {USER_SPECIFY, 0, 0, 69, NONE},
        {USER_SPECIFY_LOW, 0, 1, -1, NONE},
        {USER_SPECIFY_LOW, 0, 0, -1, NONE},
        // A battery test keeps the reason of the test in progress.
        {WEEKLY, BATTTEST, 1, 6, WEEKLY},
        {WEEKLY, BATTTEST, 0, 73, WEEKLY},
        {NONE, BATTTEST, 2, -1, NONE},
    };
    start();
    pass();
    for (const auto &r : rows) {
        SCOPED_TRACE("reason " + std::to_string(r.reason) + " bits " + std::to_string(r.bits) +
                     " result " + std::to_string(r.result));
        ea_st.testreason = r.reason;
        W = TESTING;
        pass();
        size_t m = trace.size();
        (r.bits ? ui.sftResBattery : ui.sftResUPS).Result = r.result;
        W = r.bits;
        pass();
        std::vector<std::string> want;
        if (r.event >= 0)
            want.push_back("E" + std::to_string(r.event));
        EXPECT_EQ(events_since(m), want);
        EXPECT_EQ(ea_st.testreason, r.after);
    }
}

TEST_F(Scenario, CommunicationLossAndReturn)
{
    // Without a UPS configured, nothing is told at all.
    start({}, COMM_NOUPS);
    passes(3);
    EXPECT_EQ(count("M2:UPS communication Lost") + count("E64"), 0);

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

TEST_F(Scenario, LossOnBatteryStillShutsDown)
{
    // Whatever the UPS link does, a host on battery must go down in order
    // and in time (the battery drained while the link was away); the
    // UPS-off request may then fail.
    struct {
        int type;
        uint32_t bit;
        int lose, back, down; // seconds after the trigger; back 0: never
    } rows[] = {
        {4, MAINS, 50, 0, 101},    // lost during the countdown
        {6, MAINS, 150, 0, 220},   // lost during the grace wait
        {6, BATTLOW, 30, 0, 120},  // low battery, during the grace wait
        {4, MAINS, 50, 80, 101},   // back before the deadline, mains still out
        {6, MAINS, 150, 160, 220}, // back during the grace wait
        {6, BATTLOW, 30, 60, 120},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE("type " + std::to_string(r.type) + " lost at " + std::to_string(r.lose) +
                     " back at " + std::to_string(r.back));
        start({.type = r.type});
        pass();
        reset();
        scenario::failing.insert(CB_UPSDOWN);
        if (r.bit == MAINS)
            mains(true);
        W |= r.bit;
        pass();
        time_t t = now();
        passes(r.lose - 1);
        ui.CommStatus = COMM_LOST;
        passes(1);
        if (r.back > 0) {
            passes(r.back - r.lose - 1);
            ui.CommStatus = COMM_ESTABLISHED;
            if (r.bit == MAINS)
                mains(true); // as the UPS channel reads it again
            passes(1);
        }
        until_exec(400);
        ASSERT_EQ(scenario::exec_times.size(), 1u);
        EXPECT_EQ(scenario::exec_times[0], t + r.down);
        EXPECT_EQ(count(OFF_FOR_GOOD), 1);
        EXPECT_TRUE(inorder({"E22", OFF_FOR_GOOD, "E8", shutdown_exec()}));
    }
}

TEST_F(Scenario, LossDropsUserAndScheduleCountdowns)
{
    for (int weekly : {0, 1}) {
        SCOPED_TRACE(weekly ? "weekly" : "user");
        start();
        pass();
        reset();
        if (weekly) {
            ea_st.SCH_off = now() + 300;
            ea_st.schdownreason = WEEKLY;
        } else {
            ASSERT_EQ(user_shutdown(300), 0);
            in.DATA.acp = nullptr;
        }
        passes(100);
        EXPECT_EQ(ea_st.downreason, weekly ? WEEKLY : USER_SPECIFY);
        ui.CommStatus = COMM_LOST;
        pass();
        EXPECT_EQ(ea_st.downreason, NONE);
        EXPECT_EQ(ea_st.next_off, 0);
        EXPECT_EQ(ea_st.USR_off + ea_st.SCH_off, 0);
        EXPECT_EQ(ui.CommandDownS, 0);
        ui.CommStatus = COMM_ESTABLISHED;
        passes(400);
        EXPECT_EQ(count("E131") + count("E133") + count("OFF*") + count("exec:*"), 0);
    }
}

TEST_F(Scenario, AbnormalOncePerPeriodAndOneAnnouncementPerChange)
{
    start();
    pass();
    reset();
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
    scenario::write_config({.type = 5, .ignore = 1, .group = "Group B"});
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

TEST_F(Scenario, EventCommandStartsAndTheShutdownGoesOn)
{
    start();
    wp_strlcpy(event(65).Command, "logger -t ups 'mains failed'", sizeof event(65).Command);
    pass();
    reset();
    mains(true);
    pass();
    time_t t = now();
    EXPECT_TRUE(inorder({"E65", "sh:logger -t ups 'mains failed'"}));
    until_exec();
    EXPECT_EQ(count("sh:*"), 1);
    ASSERT_EQ(scenario::exec_times.size(), 1u);
    EXPECT_EQ(scenario::exec_times[0], t + 101);
}

TEST_F(Scenario, OtherAgentOrdersTheShutdown)
{
    start();
    pass();
    reset();
    EXPECT_EQ(netdown("beta"), 0);
    ASSERT_EQ(scenario::exec_times.size(), 1u);
    EXPECT_TRUE(inorder({"M1:The system will begin shutdown process due to agent on beta",
                         "M2:The system will begin shutdown process due to agent on beta", "E134",
                         "E22", OFF_FOR_GOOD, "E8", shutdown_exec()}));
    EXPECT_TRUE(inorder({"E80", "E134"}));
    EXPECT_EQ(logged(80), "255/beta");
    EXPECT_EQ(logged(134), "255/beta");
    EXPECT_EQ(count("N1:*"), 0) << "no going-down broadcast for a shutdown others ordered";

    // Ignoring other agents, nothing happens at all.
    start({.ignore = 1});
    pass();
    reset();
    netdown("beta");
    in.DATA.agentevent = nullptr;
    passes(5);
    EXPECT_EQ(count("E80") + count("E22") + count("OFF*") + count("exec:*"), 0);
    EXPECT_EQ(ea_st.downreason, NONE);
    EXPECT_EQ(ui.ShutdownS, 0);
    EXPECT_EQ(ea_st.ISSHUTTINGDOWN, 0);
}

} // namespace
