#include "ea/e_a.h"

#include "agent/strings.h"
#include "agent/sysclock.h"
#include "agent/sysroot.h"
#include "ea/ea_action.h"
#include "ea/ea_check.h"
#include "ea/ea_config.h"
#include "ea/ea_state.h"
#include "ea/filehandle.h"
#include "engine_stage.h"
#include "testutil.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace
{

// The callbacks seen, as "kind" or "kind/b", a message as "1:lang:text",
// joined by " ".
std::string calls;
std::set<int> failing;

int recorder(int cmd, char *msg, unsigned a, unsigned b)
{
    std::string c = std::to_string(cmd);
    if (cmd == CB_MESSAGE)
        c += ":" + std::to_string(a) + ":" + (msg ? msg : "");
    else if (b != 0)
        c += "/" + std::to_string(b);
    calls += (calls.empty() ? "" : " ") + c;
    return failing.count(cmd) ? -1 : 0;
}

int nodename(char *dst, size_t size)
{
    wp_strlcpy(dst, "alpha", size);
    return 0;
}

const time_t t0 = 1772000000;

// A fresh engine on a staged root after its start-up (request 1), wired as
// the daemon wires it: request and reply share every record.
class Entry : public testing::Test, protected testutil::EngineRecords
{
  protected:
    void SetUp() override
    {
        ea_stateinit();
        ea_setcallback(recorder);
        ea_config_setnodename(nodename);
        filehandle_init();
        sysclock_fake(t0, 1000.0);
        failing.clear();
        testutil::write_file(sysroot_path(SP_CONFIG), "[ UPS ]\nComSet = 0\n");
        ui.CommStatus = COMM_ESTABLISHED;
        wp_strlcpy(ui.upsmodel, "QE1000", sizeof ui.upsmodel);
        ui.upsdata.InPutINT = 100;
        in.DATA.acp = &acp;
        calls.clear();
        ASSERT_EQ(request(EA_INIT), 0);
        init_calls = calls;
        calls.clear();
    }
    void TearDown() override
    {
        ea_config_setnodename(nullptr);
        ea_setcallback(nullptr);
        filehandle_fini();
        sysclock_real();
    }
    int request(int code)
    {
        int unused = 0;
        return Event_Action(code, &in, &unused, &out);
    }
    int command(int cmd)
    {
        acp.cmd = cmd;
        calls.clear();
        return request(EA_DOCOMMAND);
    }
    static std::vector<std::string> lines(sysroot_path_id id)
    {
        std::vector<std::string> v;
        std::istringstream s(testutil::read_file(sysroot_path(id)));
        for (std::string l; std::getline(s, l);)
            v.push_back(l);
        return v;
    }
    // Event id and name field of the newest event-log line; -1 when none.
    static int last_event(std::string *name = nullptr)
    {
        std::vector<std::string> v = lines(SP_EVENTLOG);
        if (name && !v.empty())
            *name = v.back().substr(28);
        return v.empty() ? -1 : std::stoi(v.back().substr(20, 3));
    }
    static std::string key(const char *k)
    {
        const char *p = readparam("UPS", k);
        return p ? p : "-";
    }

    testutil::Sysroot root_;
    testutil::ProgramRecorder programs_;
    AGENTCMD acp{};
    std::string init_calls;
};

TEST_F(Entry, StartUpRaisesEvent7AndAnnounces)
{
    EXPECT_EQ(out.datatype, 15u);
    EXPECT_EQ(ui.sftResUPS.Result, SELFTEST_NORESULT);
    EXPECT_EQ(ui.sftResBattery.Result, SELFTEST_NORESULT);
    std::vector<std::string> v = lines(SP_EVENTLOG);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].size() + 1, 44u);
    EXPECT_EQ(last_event(), 7);
    EXPECT_EQ(ea_st.last2event[1].EventId, 7);
    EXPECT_EQ(ea_st.last2event[0].EventId, 255);
    EXPECT_EQ(init_calls.substr(init_calls.size() - 4), "8192");

    // A reload during the running shutdown must not touch anything.
    ea_st.ISSHUTTINGDOWN = 1;
    out.datatype = E_NULLEVENT;
    EXPECT_EQ(request(EA_INIT), 0);
    EXPECT_EQ(out.datatype, E_NULLEVENT);
    EXPECT_EQ(calls, "");
    EXPECT_EQ(lines(SP_EVENTLOG).size(), 1u);

    // After a restart the first event of the process takes the newer place
    // and leaves the older one empty, whatever the log held; the next one
    // shifts as usual.
    ea_stateinit();
    testutil::write_file(sysroot_path(SP_EVENTLOG),
                         " 1/ 3/2026 10: 0: 0   8 255" + std::string(16, ' ') + "\n");
    EXPECT_EQ(request(EA_INIT), 0);
    EXPECT_EQ(ea_st.last2event[0].EventId, 255);
    EXPECT_EQ(ea_st.last2event[1].EventId, 7);
    EXPECT_EQ(request(EA_INIT), 0);
    EXPECT_EQ(ea_st.last2event[0].EventId, 7);
    EXPECT_EQ(ea_st.last2event[1].EventId, 7);
    // A look at the UPS publishes them, with the time of the look.
    EXPECT_EQ(request(EA_CHECKUPS), 0);
    EXPECT_EQ(ui.events[0].EventId, 7);
    EXPECT_EQ(ui.events[1].EventId, 1) << "communication established";
    EXPECT_NE(ui.timeinfo.year, 0);
}

// Every request sets its reply kind and then runs the tick, which leaves a
// data-log line each time the interval has passed, also for codes that do
// no work.
TEST_F(Entry, EveryRequestSetsItsReplyAndRunsTheTick)
{
    LOGRANGE range{0, 5};
    in.DATA.range = &range;
    AGENTEVENT notice{AGEV_STOP, nullptr};
    in.DATA.agentevent = &notice;
    acp.cmd = 23;
    const unsigned same = 0xA5;
    const struct {
        int code;
        unsigned datatype;
        int result;
    } rows[] = {
        {EA_GETCONFIG, 2, 0},     {EA_GETEVENT, 8, 0},    {EA_GETSCHEDULE, 4, 0},
        {EA_GETEVENTLOG, 16, 0},  {EA_GETDATALOG, 32, 0}, {7, same, 0},
        {EA_SETCONFIG, 0, 0},     {EA_SETEVENT, 0, 0},    {EA_SETSCHEDULE, 0, 0},
        {EA_DOCOMMAND, same, 0},  {12, same, 0},          {EA_CHECKUPS, same, 0},
        {EA_CHECKAGENT, same, 0},
    };
    size_t n = lines(SP_DATALOG).size();
    for (const auto &r : rows) {
        SCOPED_TRACE(r.code);
        sysclock_advance(60);
        memset(&ui.timeinfo, 0, sizeof ui.timeinfo);
        out.datatype = static_cast<E_DATATYPE>(same);
        EXPECT_EQ(request(r.code), r.result);
        EXPECT_EQ(out.datatype, r.datatype);
        EXPECT_EQ(lines(SP_DATALOG).size(), ++n);
        EXPECT_EQ(ui.timeinfo.year != 0, r.code == EA_CHECKUPS);
        free(out.eventlog.eventlogarray);
        free(out.datalog.datalogarray);
        out.eventlog = {0, nullptr};
        out.datalog = {0, nullptr};
    }
    EXPECT_EQ(last_event(), 8) << "the stop notice";

    // No data-log line before the interval, with communication lost, for
    // an unknown model or with the data log off; a clock set back counts.
    const struct {
        time_t now;
        int8_t comm;
        const char *model;
        int enabled;
        bool logged;
    } ticks[] = {
        {59, COMM_ESTABLISHED, "QE1000", 1, false},  {60, COMM_LOST, "QE1000", 1, false},
        {60, COMM_ESTABLISHED, "UNKNOWN", 1, false}, {60, COMM_ESTABLISHED, "QE1000", 0, false},
        {60, COMM_ESTABLISHED, "QA500", 1, true},    {-60, COMM_ESTABLISHED, "QA500", 1, true},
    };
    time_t last = sysclock_time();
    for (const auto &t : ticks) {
        sysclock_fake(last + t.now, 1000.0);
        ui.CommStatus = t.comm;
        wp_strlcpy(ui.upsmodel, t.model, sizeof ui.upsmodel);
        ea_st.DATALOGENABLED = t.enabled;
        EXPECT_EQ(request(7), 0);
        EXPECT_EQ(lines(SP_DATALOG).size(), t.logged ? ++n : n) << t.now << t.model;
        if (t.logged)
            last += t.now;
    }
}

// The monitor commands: what each asks of the daemon, what it keeps in the
// configuration, which event it raises and what it answers.
TEST_F(Entry, CommandsTable)
{
    BATTCHGTIME batt{};
    char host[] = "mon";
    const struct {
        int cmd;
        int32_t last;   // argument when not a pointer
        const char *qa; // model, for the battery date
        int fail;       // a callback kind that fails
        int result;
        const char *cbs; // callbacks seen
        int event;       // newest event-log line after it, -1 none
        const char *key, *value;
    } rows[] = {
        {20, 5, nullptr, 0, 0, "8/5", -1, nullptr, nullptr},
        {21, 0, nullptr, 0, 0, "16", -1, nullptr, nullptr},
        {22, 0, nullptr, CB_CANCELTEST, -1, "32", -1, nullptr, nullptr},
        {28, 0, nullptr, CB_BUZZERON, -1, "64", 15, "BuzzerCan", "-"},
        {28, 0, nullptr, 0, 0, "64", 15, "BuzzerCan", "on"},
        {29, 0, nullptr, CB_BUZZEROFF, -1, "128", 14, "BuzzerCan", "off"},
        {32, 0, nullptr, 0, 0, "256", 13, "AutoTestCan", "on"},
        {33, 0, nullptr, 0, 0, "512", 12, "AutoTestCan", "off"},
        {30, 0, "QE1000", 0, 0, "2048 2048", -1, nullptr, nullptr},
        {30, 0, "QA500", 0, 0, "2048", -1, nullptr, nullptr},
        {31, 0, nullptr, CB_SETBATTDATE, -1, "1024", 16, "ChangeBattTime", "125,03,09,00,00,00"},
        {34, 0, nullptr, 0, 0, "", -1, "OutputDetectionLevel", "0"},
        {34, 1, nullptr, 0, 0, "131072/1", 17, "OutputDetectionLevel", "1"},
        {34, 4, nullptr, 0, 0, "131072/4", 20, "OutputDetectionLevel", "4"},
        {34, 5, nullptr, 0, 0, "", -1, "OutputDetectionLevel", "5"},
        {35, 0, nullptr, 0, 0, "262144", -1, nullptr, nullptr},
        {27, 0, nullptr, 0, 0, "", -1, nullptr, nullptr},
        {36, 0, nullptr, 0, -1, "", -1, nullptr, nullptr},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.cmd) + "/" + std::to_string(r.last));
        failing = {r.fail};
        testutil::write_file(sysroot_path(SP_EVENTLOG), "");
        testutil::write_file(sysroot_path(SP_CONFIG), "[ UPS ]\n");
        wp_strlcpy(ui.upsmodel, r.qa ? r.qa : "QE1000", sizeof ui.upsmodel);
        batt.BattTime = UPS_TIMEINFO{125, 3, 9, 0, 0, 0, 0};
        if (r.cmd == 30 || r.cmd == 31)
            acp.arg.bctp = &batt;
        else if (r.cmd == 20 || r.cmd == 34)
            acp.arg.last = r.last;
        else
            acp.arg.hp = host;
        EXPECT_EQ(command(r.cmd), r.result);
        EXPECT_EQ(calls, r.cbs);
        EXPECT_EQ(last_event(), r.event);
        if (r.key) {
            EXPECT_EQ(key(r.key), r.value);
        }
    }

    // Clearing a log empties it; a log that is not there cannot be cleared.
    for (int cmd : {25, 26}) {
        sysroot_path_id id = cmd == 25 ? SP_DATALOG : SP_EVENTLOG;
        testutil::write_file(sysroot_path(id), "old line\n");
        EXPECT_EQ(command(cmd), 0);
        EXPECT_EQ(testutil::read_file(sysroot_path(id)), "");
        unlink(sysroot_path(id));
        EXPECT_EQ(command(cmd), -1);
    }
}

TEST_F(Entry, UserShutdownCancelAndRefusals)
{
    UPS_AGENTDOWNINFO down{};
    memcpy(down.Agent, "monitor-host-16c", 16); // a full field, not terminated
    down.delay = 300;
    acp.arg.adip = &down;

    // Without the UPS nothing is promised.
    for (int8_t comm : {COMM_LOST, COMM_NOUPS}) {
        ui.CommStatus = comm;
        ui.CommandDownS = 1;
        EXPECT_EQ(command(CMD_SHUTDOWN), -1);
        EXPECT_EQ(ui.CommandDownS, 0);
        EXPECT_EQ(calls, "");
    }
    ui.CommStatus = COMM_ESTABLISHED;
    EXPECT_EQ(command(CMD_SHUTDOWN), 0);
    EXPECT_EQ(ea_st.USR_off, t0 + 300);
    EXPECT_EQ(ea_st.next_off, t0 + 300);
    EXPECT_EQ(ea_st.downreason, USER_SPECIFY);
    // The tick of the same request takes the requesting host.
    EXPECT_EQ(ea_st.beDoCmdDown, 0);
    EXPECT_STREQ(ea_st.g_agent_name, "monitor-host-16c");
    EXPECT_STREQ(ea_st.g_localname, "alpha");
    EXPECT_EQ(ui.CommandDownS, 1);
    const std::string text = "Receive shutdown Command From Users on monitor-host-16c";
    const std::string warning = "Receive shutdown Command From Users on alpha";
    EXPECT_EQ(calls, "1:1:" + text + " 1:2:" + text + " 1:1:" + warning + " 1:2:" + warning);
    std::string name;
    EXPECT_EQ(last_event(&name), 79);
    EXPECT_EQ(name, "monitor-host-16"); // cut to the record's 15

    // A later request leaves an earlier deadline and its reason alone.
    ea_st.EXPBLIFE = 200;
    ea_acfail_start(&in, &out);
    down.delay = 900;
    EXPECT_EQ(command(CMD_SHUTDOWN), 0);
    EXPECT_EQ(ea_st.next_off, t0 + 200);
    EXPECT_EQ(ea_st.USR_off, t0 + 900);
    EXPECT_EQ(ea_st.downreason, AC_FAIL);
    ea_acfail_stop();
    ea_st.ACFAIL_off = 0;

    // The cancel drops only the user's shutdown, and is told even when none
    // is pending.
    char who[] = "admin";
    acp.arg.hp = who;
    ea_st.downreason = USER_SPECIFY;
    ea_st.USR_off = ea_st.next_off;
    for (int round = 0; round < 2; round++) {
        ea_st.shutdownMsgSendOnce = 1;
        EXPECT_EQ(command(CMD_CANCELSHUTDOWN), 0);
        EXPECT_EQ(ea_st.downreason, NONE);
        EXPECT_EQ(ea_st.next_off + ea_st.USR_off + ea_st.shutdownMsgSendOnce, 0);
        EXPECT_EQ(ea_st.beDoCmdDown + ui.CommandDownS, 0);
        EXPECT_EQ(calls, "4 1:1:The Shutdown is Canceled by Users on admin "
                         "1:2:The Shutdown is Canceled by Users on admin");
        EXPECT_EQ(last_event(&name), 21);
        EXPECT_EQ(name, "          admin");
    }

    // A test that runs the battery down is refused while the mains is out,
    // by the countdown or by the reason, with one untranslated text.
    for (int by_reason = 0; by_reason < 2; by_reason++) {
        ea_st.ACFAIL_off = by_reason ? 0 : t0 + 30;
        ea_st.downreason = by_reason ? AC_FAIL : NONE;
        ui.sftResUPS.Result = SELFTEST_PASSED;
        EXPECT_EQ(command(CMD_SELFTESTLOW), -1);
        EXPECT_EQ(calls, "1:0:Selftest Till Battery Low Failed Because of AC Fail!!!");
        EXPECT_EQ(ea_st.testreason, NONE);
        EXPECT_EQ(ui.sftResUPS.Result, SELFTEST_FAILED);
        EXPECT_NE(ui.sftResUPS.timeinfo.year, 0);
    }
    // With communication lost no test starts at all.
    ea_st.ACFAIL_off = 0;
    ea_st.downreason = NONE;
    ui.CommStatus = COMM_LOST;
    acp.arg.last = 5;
    EXPECT_EQ(command(CMD_SELFTEST), -1);
    EXPECT_EQ(command(CMD_SELFTESTLOW), -1);
    EXPECT_EQ(calls, "");
}

// Events are remembered and recorded by their settings; one without
// settings does nothing but move the memory.
TEST_F(Entry, EventRecords)
{
    ea_st.DOWNEVENTID = 129;
    EXPECT_EQ(eventaction(22, &in, &out), 0);
    std::vector<std::string> v = lines(SP_EVENTLOG);
    EXPECT_EQ(v.back().substr(20, 7), " 22 129");
    events[0].Record = 0; // the first row is event 128
    EXPECT_EQ(eventaction(128, &in, &out), 0);
    ea_st.EVENTLOGENABLED = 0;
    EXPECT_EQ(eventaction(22, &in, &out), 0);
    EXPECT_EQ(lines(SP_EVENTLOG).size(), v.size());
    EXPECT_EQ(eventaction(200, &in, &out), -1);
    EXPECT_EQ(ea_st.last2event[0].EventId, 22);
    EXPECT_EQ(ea_st.last2event[1].EventId, 200);
}

} // namespace
