// The control commands in this process against the test UPS: the bytes each
// one puts on the line, what is refused before anything is sent, the
// shutdown forms with their delay and restore encodings, and the clamping
// of values the forms cannot carry.
#include "agent/agent_ups.h"
#include "agent/net.h"
#include "agent/sysroot.h"

#include "testutil.h"
#include "upssim_harness.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using testutil::UpsSim;
using Seq = std::vector<std::string>;

namespace
{

class UpsCommand : public testing::Test
{
  protected:
    void SetUp() override { ups_init(); }
    void TearDown() override { ups_fini(); }

    // A unit of the model on ttyS2, found and polled once as the channel
    // process does, so that its capabilities are known; the transcript
    // starts after that.
    void start(const std::string &model, const std::vector<std::string> &cmds = {})
    {
        sim.reset();
        ups_init();
        info = AGINFO{};
        ag.aip = &info;
        info.ups.up.workparam.ComSet = 3;
        info.ups.ui.CommStatus = COMM_LOST;
        UpsSim::Options opt;
        opt.model = model;
        opt.port = 2;
        opt.commands = cmds;
        sim = std::make_unique<UpsSim>(opt);
        ASSERT_GE(ups_comsearch_model(&ag), 0);
        info.ups.ui.CommStatus = COMM_ESTABLISHED;
        ASSERT_EQ(ups_getupsstatus(&ag), 0);
        sim->clear_transcript();
    }
    // Commands received since the last call; waits for last first when
    // given, since a command without a reply may still be on its way.
    Seq rx(const std::string &last = "")
    {
        if (!last.empty())
            sim->wait_rx(last, 2000);
        Seq out;
        for (const auto &e : sim->transcript("RX"))
            out.push_back(e.bytes);
        sim->clear_transcript();
        return out;
    }
    // Nothing reached the line: a Q1 sent now is the first thing the unit
    // has heard since the last look.
    void expect_silent_line()
    {
        ASSERT_EQ(ups_q1(&ag, 1), 0);
        EXPECT_EQ(rx(), Seq{"Q1\r"});
    }
    void downarg(int32_t delay, int32_t last, int32_t len = 8)
    {
        UPSDOWNARG a{delay, last};
        info.ba2u.msglen = len;
        memcpy(info.ba2u.buf, &a, sizeof a);
    }
    std::string debug_log() const
    {
        const char *p = sysroot_path(SP_DEBUGLOG);
        return testutil::file_exists(p) ? testutil::read_file(p) : "";
    }
    void clear_log() { testutil::write_file(sysroot_path(SP_DEBUGLOG), ""); }

    testutil::Sysroot root; // before ups_init: the ports live under it
    AGINFO info{};
    AGENT ag{};
    std::unique_ptr<UpsSim> sim;
};

using UpsCommandShutdown = UpsCommand;
using UpsCommandSingle = UpsCommand;
using UpsCommandSelfTest = UpsCommand;

struct DownCase {
    const char *model;
    std::vector<std::string> setup;
    int32_t delay, last;
    Seq line;
    const char *log; // a line the debug log must hold, or "" for none
};

std::string trace(const DownCase &c)
{
    return std::string(c.model) + " " + std::to_string(c.delay) + "/" + std::to_string(c.last);
}

TEST_F(UpsCommandShutdown, DelayAndRestoreForms)
{
    std::vector<DownCase> cases = {
        // Under a minute: tenths of a minute; a negative restore time leaves
        // the restart switch alone.
        {"QE1000", {}, 45, -1, {"S.7\r"}, ""},
        // Stay off: the restart switch goes off first on units that have it.
        {"QE1000", {}, 180, 0, {"Af\r", "S03\r"}, ""},
        {"QE1000", {}, 30, 0, {"Af\r", "S.5\r"}, ""},
        // A unit that knows "Sf" stays off by itself and answers nothing.
        {"QE1000", {"set cfbit 33 1"}, 30, 0, {"Sf.5\r"}, ""},
        // Restore: the restart switch on first, restore minutes in five
        // digits, or four on the bracket units (which have no switch).
        {"QR1500", {"reply CF none"}, 120, 3600, {"An\r", "S02R00060\r"}, ""},
        {"QE350", {}, 120, 3600, {"S02R0060\r"}, ""},
        {"QA1500", {}, 120, 3600, {"An\r", "S02R00060\r"}, ""},
        // The largest values that fit go out as they are.
        {"QE1000", {}, 5999, 5999999, {"An\r", "S99R99999\r"}, ""},
        {"QE5500", {}, 5999, 599999, {"S99R9999\r"}, ""},
    };
    for (const DownCase &c : cases) {
        SCOPED_TRACE(trace(c));
        start(c.model, c.setup);
        clear_log();
        downarg(c.delay, c.last);
        EXPECT_EQ(ups_shutdownups(&ag), 0);
        EXPECT_EQ(rx(c.line.back()), c.line);
        // The unit took the command as a shutdown.
        EXPECT_EQ(sim->get("shutdown"), "pending");
        EXPECT_EQ(debug_log(), "");
    }
}

// A delay of 100 minutes or more, or a restore time with more digits than
// the form has, is clamped to the largest the form carries and logged.
// Every one of them must still be a command the unit accepts.
TEST_F(UpsCommandShutdown, ValuesBeyondTheFormAreClampedAndLogged)
{
    std::vector<DownCase> cases = {
        {"QE1000",
         {},
         150 * 60,
         200000 * 60,
         {"An\r", "S99R99999\r"},
         "ups_shutdownups: turn-off delay of 150 min clamped to 99 min\n"},
        {"QE1000",
         {},
         150 * 60,
         200000 * 60,
         {"An\r", "S99R99999\r"},
         "ups_shutdownups: restore after 200000 min clamped to 99999 min\n"},
        {"QE5500",
         {},
         6000,
         10000 * 60,
         {"S99R9999\r"},
         "ups_shutdownups: restore after 10000 min clamped to 9999 min\n"},
        {"QE1000",
         {},
         6000,
         0,
         {"Af\r", "S99\r"},
         "ups_shutdownups: turn-off delay of 100 min clamped to 99 min\n"},
    };
    for (const DownCase &c : cases) {
        SCOPED_TRACE(trace(c));
        start(c.model, c.setup);
        clear_log();
        downarg(c.delay, c.last);
        EXPECT_EQ(ups_shutdownups(&ag), 0);
        EXPECT_EQ(rx(c.line.back()), c.line);
        // Taken as a shutdown (with no delay left the output is off).
        EXPECT_NE(sim->get("shutdown"), "none");
        EXPECT_NE(debug_log().find(c.log), std::string::npos) << debug_log();
    }
}

// A negative delay (a setting at or above 2^31 read as int32) must never
// become "S.0", which cuts the power while the host is still going down: in
// every form, nothing at all reaches the line, and the refusal is logged once.
TEST_F(UpsCommandShutdown, NegativeDelaysAreRefusedWithNothingSent)
{
    const struct {
        const char *model;
        std::vector<std::string> setup;
        int32_t delay, last;
    } cases[] = {
        {"QE1000", {}, -30, 0},   {"QA1500", {"set cfbit 33 1"}, -30, 0},
        {"QE1000", {}, -1, 3600}, {"QE350", {}, -6, 3600},
        {"QE1000", {}, -59, -1},  {"QR1500", {"reply CF none"}, INT32_MIN, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.model) + " " + std::to_string(c.delay));
        start(c.model, c.setup);
        clear_log();
        downarg(c.delay, c.last);
        EXPECT_EQ(ups_shutdownups(&ag), -1);
        expect_silent_line();
        EXPECT_EQ(sim->get("shutdown"), "none");
        EXPECT_EQ(debug_log(), "ups_shutdownups: negative turn-off delay of " +
                                   std::to_string(c.delay) + " s refused\n");
    }
}

TEST_F(UpsCommandShutdown, FailuresAreReported)
{
    start("QE1000");
    downarg(45, -1, 7); // arguments of the wrong size: nothing is sent
    EXPECT_EQ(ups_shutdownups(&ag), -1);
    expect_silent_line();

    // A refusal of the unit is a failure.
    ASSERT_EQ(sim->control("reply S nak"), "OK");
    downarg(45, -1);
    EXPECT_EQ(ups_shutdownups(&ag), -1);
    EXPECT_EQ(rx("S.7\r"), Seq{"S.7\r"});

    // The reply to the restart switch does not matter.
    ASSERT_EQ(sim->control("clear"), "OK");
    ASSERT_EQ(sim->control("reply An nak"), "OK");
    downarg(120, 3600);
    EXPECT_EQ(ups_shutdownups(&ag), 0);
    EXPECT_EQ(rx("S02R00060\r"), (Seq{"An\r", "S02R00060\r"}));

    ups_fini(); // no port
    downarg(45, -1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ups_shutdownups(&ag), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ups_shutdwonups: write"), std::string::npos) << err;
}

TEST_F(UpsCommandSingle, EveryCodeSendsItsCommand)
{
    const struct {
        uint32_t code;
        const char *text;
    } table[] = {
        {UPSCMD_TESTLOW, "TL\r"},     {UPSCMD_TESTCANCEL, "CT\r"}, {UPSCMD_DOWNCANCEL, "C\r"},
        {UPSCMD_AUTOTESTOFF, "AC\r"}, {UPSCMD_AUTOTESTON, "AR\r"}, {UPSCMD_BUZZEROFF, "Bf\r"},
        {UPSCMD_BUZZERON, "Bn\r"},    {UPSCMD_BUZZERTEST, "Bt\r"}, {UPSCMD_RESTARTOFF, "Af\r"},
        {UPSCMD_RESTARTON, "An\r"},   {UPSCMD_LEVELA, "VA\r"},     {UPSCMD_LEVELB, "VB\r"},
        {UPSCMD_LEVELH, "VH\r"},      {UPSCMD_LEVELL, "VL\r"},
    };
    start("QE1000");
    for (const auto &t : table) {
        SCOPED_TRACE(t.text);
        EXPECT_EQ(ups_docommand(&ag, t.code | 0x1234), 0); // the lower half plays no part
        EXPECT_EQ(rx(), Seq{t.text});
    }
    EXPECT_EQ(sim->get("buzzer"), "on");
    EXPECT_EQ(sim->get("autorestart"), "on");
    EXPECT_EQ(sim->get("level"), "2"); // VB, then VL

    // Anything but "OK" is a failure; codes without a command send nothing.
    ASSERT_EQ(sim->control("reply Bn nak"), "OK");
    EXPECT_EQ(ups_docommand(&ag, UPSCMD_BUZZERON), -1);
    EXPECT_EQ(rx(), Seq{"Bn\r"});
    for (uint32_t code : {UPSCMD_SHUTDOWN, UPSCMD_REFRESH, UPSCMD_TEST10, 0x01000000u}) {
        EXPECT_EQ(ups_docommand(&ag, code), -1);
        expect_silent_line();
    }
}

TEST_F(UpsCommandSingle, CancellingATestRecordsItAsFailed)
{
    start("QE1000");
    info.ups.ui.sftResUPS = SELFTESTRESULT{SELFTEST_NORESULT, {}};
    EXPECT_EQ(ups_docommand(&ag, UPSCMD_TESTCANCEL), 0);
    EXPECT_EQ(info.ups.ui.sftResUPS.Result, SELFTEST_FAILED);
    EXPECT_GT(info.ups.ui.sftResUPS.timeinfo.year, 100);
    EXPECT_GE(info.ups.ui.sftResUPS.timeinfo.month, 1);
}

TEST_F(UpsCommandSingle, BracketUnitsTakeOnlyTestAndCancelCommands)
{
    start("QE5500");
    for (uint32_t code : {UPSCMD_TESTLOW, UPSCMD_TESTCANCEL, UPSCMD_DOWNCANCEL}) {
        // Sent, and a success without a reply.
        EXPECT_EQ(ups_docommand(&ag, code), 0);
    }
    EXPECT_EQ(rx("C\r"), (Seq{"TL\r", "CT\r", "C\r"}));
    for (uint32_t code : {UPSCMD_BUZZERON, UPSCMD_BUZZEROFF, UPSCMD_BUZZERTEST, UPSCMD_AUTOTESTON,
                          UPSCMD_RESTARTON, UPSCMD_LEVELA}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(ups_docommand(&ag, code), -1);
        expect_silent_line();
    }
}

TEST_F(UpsCommandSingle, BatteryDateIsStoredInTheUnit)
{
    start("QE1000");
    BATTCHGTIME bt{};
    bt.BattTime.year = 124;
    bt.BattTime.month = 1;
    bt.BattTime.day = 15;
    info.ba2u.msglen = sizeof bt;
    memcpy(info.ba2u.buf, &bt, sizeof bt);
    EXPECT_EQ(ups_setbattchgtime(&ag), 0);
    EXPECT_EQ(rx(), Seq{"BRW20240115\r"});
    EXPECT_EQ(sim->get("battdate"), "20240115");

    ASSERT_EQ(sim->control("reply BRW nak"), "OK");
    EXPECT_EQ(ups_setbattchgtime(&ag), -1);
    EXPECT_EQ(rx(), Seq{"BRW20240115\r"});

    // Refused before the line: wrong size, a month that would not fit its
    // two digits.
    info.ba2u.msglen = 11;
    EXPECT_EQ(ups_setbattchgtime(&ag), -1);
    expect_silent_line();
    info.ba2u.msglen = sizeof bt;
    bt.BattTime.month = -3;
    memcpy(info.ba2u.buf, &bt, sizeof bt);
    EXPECT_EQ(ups_setbattchgtime(&ag), -1);
    expect_silent_line();
    EXPECT_NE(debug_log().find("ups_setbattchgtime: month or day out of range"), std::string::npos);

    start("QE350");
    bt.BattTime.month = 1;
    memcpy(info.ba2u.buf, &bt, sizeof bt);
    info.ba2u.msglen = sizeof bt;
    EXPECT_EQ(ups_setbattchgtime(&ag), -1);
    expect_silent_line();
}

TEST_F(UpsCommandSingle, BuzzerSequenceSteps)
{
    start("QE1000");
    ups_st.buzzerStep = 1;
    const Seq want = {"Bn\r", "Bt\r", "Bf\r"};
    const int next[] = {2, 3, 0};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(doBuzzer(&ag), 0);
        EXPECT_EQ(rx(), Seq{want[i]});
        EXPECT_EQ(ups_st.buzzerStep, next[i]);
    }
    EXPECT_EQ(sim->get("beeps"), "1");

    // Without the buzzer switch the buzzer just sounds, whatever the step.
    start("QE1000", {"set cfbit 12 0"});
    ASSERT_EQ(info.ups.ui.ufStatus & UPSFN_BUZZER, 0);
    ups_st.buzzerStep = 2;
    EXPECT_EQ(doBuzzer(&ag), 0);
    EXPECT_EQ(rx(), Seq{"Bt\r"});
    EXPECT_EQ(ups_st.buzzerStep, 0);
}

TEST_F(UpsCommandSelfTest, TenSecondTest)
{
    start("QE1000");
    info.ba2u.msglen = 3;
    EXPECT_EQ(ups_selftest(&ag), -1);
    expect_silent_line();

    info.ba2u.msglen = 4;
    info.ups.ui.upsstat = UPSST_TEST; // one is running already
    EXPECT_EQ(ups_selftest(&ag), 0);
    expect_silent_line();

    info.ups.ui.upsstat = UPSST_NORMAL;
    EXPECT_EQ(ups_selftest(&ag), 0);
    EXPECT_EQ(rx(), Seq{"T\r"});
    EXPECT_EQ(sim->get("test"), "10s");
    // The unit refuses a second test while the first runs.
    EXPECT_EQ(ups_selftest(&ag), -1);
    EXPECT_EQ(rx(), Seq{"T\r"});
}

TEST_F(UpsCommandSelfTest, RequestedTestsEnableTheTimerAroundThem)
{
    start("QE1000");
    info.ba2u.msglen = 4;
    info.ups.ui.AutoTestCan = 0; // the user has the timer off: it goes off again
    EXPECT_EQ(ups_selftest1(&ag, UPSCMD_TEST10), 0);
    EXPECT_EQ(rx(), (Seq{"AR\r", "T\r", "AC\r"}));
    ASSERT_EQ(ups_docommand(&ag, UPSCMD_TESTCANCEL), 0);
    rx();

    info.ups.ui.AutoTestCan = 1;
    EXPECT_EQ(ups_selftest1(&ag, UPSCMD_TESTLOW), 0);
    EXPECT_EQ(rx(), (Seq{"AR\r", "TL\r"}));
    EXPECT_EQ(sim->get("test"), "low");

    // What the unit answers does not matter.
    EXPECT_EQ(ups_selftest1(&ag, UPSCMD_TESTLOW), 0);
    EXPECT_EQ(rx(), (Seq{"AR\r", "TL\r"}));
    EXPECT_EQ(ups_selftest1(&ag, UPSCMD_BUZZERON), -1);
    expect_silent_line();

    // Bracket units: the 10-second test for either request.
    start("QE350");
    info.ba2u.msglen = 4;
    EXPECT_EQ(ups_selftest1(&ag, UPSCMD_TESTLOW), 0);
    EXPECT_EQ(rx("T\r"), Seq{"T\r"});
}

} // namespace
