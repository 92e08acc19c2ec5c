// Whole polls against the test UPS: which commands each model family gets,
// in which order, what lands in the live record, and how many failures a
// poll survives.
#include "agent/agent_ups.h"
#include "agent/sysroot.h"

#include "testutil.h"
#include "upssim_harness.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using testutil::UpsSim;
using Seq = std::vector<std::string>;

namespace
{

class UpsStatus : public testing::Test
{
  protected:
    void SetUp() override
    {
        ups_init();
        ag.aip = &info;
        info.ups.ui.CommStatus = COMM_LOST;
        info.ups.up.workparam.ComSet = 3;
    }
    void TearDown() override { ups_fini(); }

    // A unit of the model on ttyS2, found and named as the channel process
    // does it; then the control commands, and the transcript starts.
    void start(const std::string &model, const std::vector<std::string> &cmds = {})
    {
        sim = std::make_unique<UpsSim>(model, 2);
        ASSERT_GE(ups_comsearch_model(&ag), 0);
        info.ups.ui.CommStatus = COMM_ESTABLISHED;
        for (const std::string &c : cmds)
            control(c);
        sim->clear_transcript();
    }
    void control(const std::string &cmd) { ASSERT_EQ(sim->control(cmd), "OK") << cmd; }
    Seq rx()
    {
        Seq out;
        for (const auto &e : sim->transcript("RX"))
            out.push_back(e.bytes);
        sim->clear_transcript();
        return out;
    }
    int poll() { return ups_getupsstatus(&ag); }

    testutil::Sysroot root;
    AGINFO info{};
    AGENT ag{};
    std::unique_ptr<UpsSim> sim;
};

using UpsStatusPoll = UpsStatus;
using UpsStatusBudget = UpsStatus;
using UpsStatusCapability = UpsStatus;
using UpsStatusQuery = UpsStatus;

TEST_F(UpsStatusPoll, QeUnitSequenceAndRecord)
{
    start("QE1000", {"set load 55", "set outfreq 50.1", "set capacity 87", "set battdate 20010315",
                     "set input 231.4", "set temp 41.5"});
    ASSERT_EQ(poll(), 0);
    EXPECT_EQ(rx(), (Seq{"Q1\r", "CF\r", "Si ?\r", "Lf ?\r", "Bl ?\r", "V\r", "BRR\r", "V2\r"}));
    const UPS_UPSINFO &ui = info.ups.ui;
    EXPECT_STREQ(ui.upsmodel, "QE1000");
    EXPECT_EQ(ui.ufStatus, 0x4000 | UPSFN_BUZZER | UPSFN_BATTDATE | UPSFN_AUTORST | UPSFN_V2);
    EXPECT_TRUE(info.ups.upsstat & UPSF_CF);
    EXPECT_EQ(ui.upsstat, UPSST_NORMAL);
    EXPECT_EQ(ui.BattStatus, BATT_NORMAL);
    EXPECT_EQ(ui.upsdata.InPutINT, 231);
    EXPECT_EQ(ui.upsdata.InPutREM, 4);
    EXPECT_EQ(ui.upsdata.Load, 55);
    EXPECT_EQ(ui.upsdata.TempINT, 41);
    EXPECT_EQ(ui.upsdata.TempREM, 5);
    EXPECT_EQ(ui.upsdata.FreqOutputINT, 50);
    EXPECT_EQ(ui.upsdata.FreqOutputREM, 1);
    EXPECT_EQ(ui.upsdata.BattCap, 87);
    EXPECT_EQ(ui.PreChangeBatt.year, 101);
    EXPECT_EQ(ui.PreChangeBatt.month, 3);
    EXPECT_EQ(ui.PreChangeBatt.day, 15);
    EXPECT_EQ(ui.BuzzerCan, 1);
    EXPECT_EQ(ui.AutoTestCan, 1);
    EXPECT_EQ(ui.iDetectionLvl, 1);
    EXPECT_EQ(ui.bAutoReboot, 1);
    EXPECT_EQ(info.udinfo & UDINFO_V2, UDINFO_V2);
    EXPECT_EQ(ups_st.mg, 1);
}

TEST_F(UpsStatusPoll, QaUnitTakesItsBatteryDateFromTheConfiguration)
{
    testutil::write_file(sysroot_path(SP_CONFIG), "[UPS]\nChangeBattTime=101,03,15,10,20,30\n");
    start("QA1500");
    ASSERT_EQ(poll(), 0);
    EXPECT_EQ(rx(), (Seq{"Q1\r", "CF\r", "Si ?\r", "Lf ?\r", "Bl ?\r", "V\r", "V2\r"}));
    const UPS_TIMEINFO &d = info.ups.ui.PreChangeBatt;
    EXPECT_EQ(d.year, 101);
    EXPECT_EQ(d.month, 3);
    EXPECT_EQ(d.day, 15);
    EXPECT_EQ(d.hour, 10);
    EXPECT_EQ(d.minute, 20);
    EXPECT_EQ(d.second, 30);

    testutil::write_file(sysroot_path(SP_CONFIG), "[UPS]\n");
    ASSERT_EQ(poll(), 0);
    EXPECT_EQ(d.year + d.month + d.day + d.hour + d.minute + d.second, 0);
    // Years the record's byte cannot hold would wrap to another year.
    for (const char *year : {"256", "999", "-1"}) {
        testutil::write_file(sysroot_path(SP_CONFIG),
                             std::string("[UPS]\nChangeBattTime=") + year + ",03,15,10,20,30\n");
        ASSERT_EQ(poll(), 0);
        EXPECT_EQ(d.year + d.month + d.day + d.hour + d.minute + d.second, 0) << year;
    }
}

TEST_F(UpsStatusPoll, QrUnitNameEndsAtTheBlank)
{
    start("QR200ZB", {"set fw 2.10"});
    EXPECT_STREQ(ups_st.ups_model_s, "QR200ZB");
    ASSERT_EQ(poll(), 0);
    EXPECT_STREQ(info.ups.ui.upsmodel, "QR200ZB");
    EXPECT_EQ(rx(), (Seq{"Q1\r", "CF\r", "Si ?\r", "Lf ?\r", "Bl ?\r", "V\r", "BRR\r", "V2\r"}));
}

TEST_F(UpsStatusPoll, BracketUnitGetsItsOwnQueriesAndFixedFunctions)
{
    start("QE350", {"set battv 13.6", "set outfreq 50.1"});
    EXPECT_STREQ(ups_st.ups_model_s, "QE350");
    ASSERT_EQ(poll(), 0);
    // The first poll still asks in the common form first.
    EXPECT_EQ(rx(), (Seq{"Q1\r", "Si ?\r", "(SiCC)\r", "(BvB8)\r", "(Lf ?11)\r"}));
    const UPS_UPSINFO &ui = info.ups.ui;
    EXPECT_STREQ(ui.upsmodel, "QE350");
    EXPECT_EQ(ui.ufStatus, 0x8004);
    EXPECT_EQ(ui.upsdata.BattVolINT, 13);
    EXPECT_EQ(ui.upsdata.BattVolREM, 6);
    EXPECT_EQ(ui.upsdata.FreqOutputINT, 50);
    EXPECT_EQ(ui.upsdata.FreqOutputREM, 1);
    EXPECT_EQ(ui.upsdata.BattCap, 0);
    EXPECT_EQ(ui.BuzzerCan, 0);
    EXPECT_EQ(ui.AutoTestCan, 1);
    EXPECT_EQ(ui.iDetectionLvl, 0);
    EXPECT_EQ(info.udinfo & UDINFO_V2, 0);

    ASSERT_EQ(poll(), 0);
    EXPECT_EQ(rx(), (Seq{"Q1\r", "(SiCC)\r", "(BvB8)\r", "(Lf ?11)\r"}));
}

TEST_F(UpsStatusPoll, PerCellBatteryVoltageThroughTheLine)
{
    start("QE1000", {"set battform d.dd", "set battv 2.27"});
    ASSERT_EQ(poll(), 0);
    EXPECT_EQ(info.ups.ui.upsdata.BattVolINT, 2);
    EXPECT_EQ(info.ups.ui.upsdata.BattVolREM, 2);
    control("set battform dd.d");
    control("set battv 27.5");
    ASSERT_EQ(poll(), 0);
    EXPECT_EQ(info.ups.ui.upsdata.BattVolINT, 27);
    EXPECT_EQ(info.ups.ui.upsdata.BattVolREM, 5);
}

TEST_F(UpsStatusPoll, AnotherModelClearsTheTestResultsOnce)
{
    start("QE1000");
    ASSERT_EQ(poll(), 0);
    EXPECT_EQ(ups_st.model_changed, 0);
    control("model QE2000");
    ASSERT_EQ(poll(), 0);
    EXPECT_EQ(ups_st.model_changed, 1);
    info.ups.ui.sftResUPS.Result = SELFTEST_PASSED;
    ASSERT_EQ(poll(), 0);
    EXPECT_EQ(info.ups.ui.sftResUPS.Result, SELFTEST_NORESULT);
    EXPECT_EQ(ups_st.model_changed, 0);
    info.ups.ui.sftResUPS.Result = SELFTEST_PASSED;
    ASSERT_EQ(poll(), 0);
    EXPECT_EQ(info.ups.ui.sftResUPS.Result, SELFTEST_PASSED);
}

// Which failures a poll survives: two among the capability and model
// queries, three in all; the poll stops at the failure that uses it up.
TEST_F(UpsStatusBudget, FailuresCountedUntilTheBudgetIsSpent)
{
    struct {
        const char *model;
        std::vector<std::string> faults;
        int rc;
        Seq sent; // after "Q1", "CF"
    } cases[] = {
        // Model unreadable (both forms, twice), then two more: spent at Bl.
        {"QA1500",
         {"reply Si nak", "reply Lf nak", "reply Bl nak"},
         -1,
         {"Si ?\r", "(SiCC)\r", "Si ?\r", "(SiCC)\r", "Lf ?\r", "Bl ?\r"}},
        {"QA1500",
         {"reply Si nak"},
         0,
         {"Si ?\r", "(SiCC)\r", "Si ?\r", "(SiCC)\r", "Lf ?\r", "Bl ?\r", "V\r", "V2\r"}},
        {"QA1500",
         {"reply Lf nak", "reply Bl nak", "reply V nak"},
         -1,
         {"Si ?\r", "Lf ?\r", "Bl ?\r", "V\r"}},
        {"QA1500",
         {"reply Lf nak", "reply V nak", "reply V2 nak"},
         -1,
         {"Si ?\r", "Lf ?\r", "Bl ?\r", "V\r", "V2\r"}},
        {"QA1500",
         {"reply Lf nak", "reply V nak"},
         0,
         {"Si ?\r", "Lf ?\r", "Bl ?\r", "V\r", "V2\r"}},
        {"QE1000",
         {"reply Bl nak", "reply V nak", "reply BRR nak"},
         -1,
         {"Si ?\r", "Lf ?\r", "Bl ?\r", "V\r", "BRR\r"}},
        // Malformed replies count like refusals.
        {"QE1000",
         {"reply Lf raw 5x.0\\r", "reply Bl raw 1a0\\r", "reply V raw 0000000\\r"},
         -1,
         {"Si ?\r", "Lf ?\r", "Bl ?\r", "V\r"}},
    };
    for (const auto &c : cases) {
        std::string what = c.model;
        for (const auto &f : c.faults)
            what += ", " + f;
        SCOPED_TRACE(what);
        ups_fini();
        ups_init();
        info = AGINFO{};
        info.ups.ui.CommStatus = COMM_LOST;
        info.ups.up.workparam.ComSet = 3;
        sim.reset();
        start(c.model, c.faults);
        EXPECT_EQ(poll(), c.rc);
        Seq want = {"Q1\r", "CF\r"};
        want.insert(want.end(), c.sent.begin(), c.sent.end());
        EXPECT_EQ(rx(), want);
    }
}

TEST_F(UpsStatusBudget, Q1WithoutAValidReplyFailsThePollAtOnce)
{
    start("QE1000", {"reply Q1 nak"});
    EXPECT_EQ(poll(), -1);
    EXPECT_EQ(rx(), (Seq{"Q1\r", "Q1\r", "Q1\r", "Q1\r"}));
}

TEST_F(UpsStatusCapability, RepliesAndTheFixedFallbacks)
{
    const char *short39 = "reply CF raw 01000000 00011111 11110110 00000100 00\\r";
    struct {
        const char *model;
        std::string fault;
        int rc;
        uint16_t uf;
        bool cf_flag;
        Seq sent; // after "Q1", "CF", "Si ?"
    } cases[] = {
        {"QE1000",
         "",
         0,
         0x4000 | 0x1000 | 0x0200 | 0x0080 | 0x0008,
         true,
         {"Lf ?\r", "Bl ?\r", "V\r", "BRR\r", "V2\r"}},
        // A QE unit without "CF" has nothing to go on: the budget ends it.
        {"QE1000", "reply CF nak", -1, 0, false, {}},
        {"QR200ZB", "reply CF nak", 0, 0xFFE0, false, {"Lf ?\r", "Bl ?\r", "V\r", "BRR\r"}},
        {"QR200ZB", short39, 0, 0xFFE0, false, {"Lf ?\r", "Bl ?\r", "V\r", "BRR\r"}},
        {"QE200ZA", short39, 0, 0xFA80, false, {"Lf ?\r", "Bl ?\r", "V\r", "BRR\r"}},
        {"QE400ZA", "reply CF nak", 0, 0xFA80, false, {"Lf ?\r", "Bl ?\r", "V\r", "BRR\r"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.model) + " " + c.fault);
        ups_fini();
        ups_init();
        info = AGINFO{};
        info.ups.ui.CommStatus = COMM_LOST;
        info.ups.up.workparam.ComSet = 3;
        sim.reset();
        std::vector<std::string> cmds;
        if (!c.fault.empty())
            cmds.push_back(c.fault);
        start(c.model, cmds);
        EXPECT_EQ(poll(), c.rc);
        EXPECT_EQ(info.ups.ui.ufStatus, c.uf);
        EXPECT_EQ((info.ups.upsstat & UPSF_CF) != 0, c.cf_flag);
        Seq want = {"Q1\r", "CF\r", "Si ?\r"};
        want.insert(want.end(), c.sent.begin(), c.sent.end());
        EXPECT_EQ(rx(), want);
    }
}

TEST_F(UpsStatusCapability, SfOfferedOnlyWithTheRestartReport)
{
    start("QE1000", {"set cfbit 33 1"});
    ASSERT_EQ(poll(), 0);
    EXPECT_TRUE(info.ups.ui.ufStatus & UPSFN_SFOFF);
    control("set cfbit 32 0");
    ASSERT_EQ(poll(), 0);
    EXPECT_FALSE(info.ups.ui.ufStatus & UPSFN_SFOFF);
    EXPECT_FALSE(info.ups.ui.ufStatus & UPSFN_V2);
    // Without the report no "V2" is asked and the record says so.
    EXPECT_EQ(rx().back(), "BRR\r");
    EXPECT_EQ(info.udinfo & UDINFO_V2, 0);
    EXPECT_EQ(ups_st.bAutoRebootByV2, 0);
}

TEST_F(UpsStatusQuery, SwitchStatesAndTheDisconnectedBattery)
{
    start("QE1000", {"set v 10011000"});
    ASSERT_EQ(poll(), 0);
    EXPECT_TRUE(info.ups.upsstat & UPSF_BATTDISC);
    EXPECT_EQ(info.ups.ui.BattStatus, BATT_DISCONNECTED);
    EXPECT_EQ(info.ups.ui.iDetectionLvl, 4);
    // Q1 reports nothing wrong; the battery stays disconnected.
    ASSERT_EQ(sim->get("status"), "00000000");
    ASSERT_EQ(ups_getupsinfo(&ag), 0);
    EXPECT_EQ(info.ups.ui.BattStatus, BATT_DISCONNECTED);

    control("set v 01100010");
    ASSERT_EQ(poll(), 0);
    EXPECT_FALSE(info.ups.upsstat & UPSF_BATTDISC);
    EXPECT_EQ(info.ups.ui.BattStatus, BATT_DISCONNECTED); // until the next Q1
    ASSERT_EQ(ups_getupsinfo(&ag), 0);
    EXPECT_EQ(info.ups.ui.BattStatus, BATT_NORMAL);
    EXPECT_EQ(info.ups.ui.BuzzerCan, 0);
    EXPECT_EQ(info.ups.ui.AutoTestCan, 0);
    EXPECT_EQ(info.ups.ui.iDetectionLvl, 0);

    control("reply V nak");
    EXPECT_EQ(ups_getcomplstatus(&ag), -1);
    EXPECT_EQ(ups_getbattchgtimeforcmd(&ag), -1);
    EXPECT_EQ(rx().back(), "V\r"); // no date asked after a failed "V"
}

TEST_F(UpsStatusQuery, RestartSettingFromV2)
{
    start("QE1000", {"set v2 10000000"});
    info.ups.up.workparam.AutoReboot = 1;
    ASSERT_EQ(poll(), 0);
    EXPECT_EQ(info.ups.ui.bAutoReboot, 0);
    EXPECT_EQ(info.ups.up.workparam.AutoReboot, 0);
    EXPECT_EQ(ups_st.bAutoRebootByV2, 1);
    EXPECT_EQ(info.udinfo & UDINFO_V2, UDINFO_V2);

    control("set v2 00000000");
    ASSERT_EQ(ups_getrebootstatus(&ag), 0);
    EXPECT_EQ(info.ups.ui.bAutoReboot, 1);
    EXPECT_EQ(info.ups.up.workparam.AutoReboot, 1);

    control("reply V2 nak");
    info.ups.ui.bAutoReboot = 7;
    EXPECT_EQ(ups_getrebootstatus(&ag), -1);
    EXPECT_EQ(info.ups.ui.bAutoReboot, 7);
}

TEST_F(UpsStatusQuery, BatteryReplacementDate)
{
    start("QE1000");
    ASSERT_EQ(poll(), 0);
    const UPS_TIMEINFO &d = info.ups.ui.PreChangeBatt;
    info.ups.ui.PreChangeBatt.hour = 9;
    control("set battdate 19000101");
    ASSERT_EQ(ups_getbattchgtime(&ag), 0);
    EXPECT_EQ(d.year, 0);
    EXPECT_EQ(d.month, 1);
    EXPECT_EQ(d.day, 1);
    EXPECT_EQ(d.hour, 9); // the time of day is not the unit's

    control("set battdate 20010315");
    ASSERT_EQ(ups_getbattchgtimeforcmd(&ag), 0);
    EXPECT_EQ(d.year, 101);
    EXPECT_EQ(d.month, 3);
    EXPECT_EQ(d.day, 15);

    // Years past what the record's byte holds would wrap to a past year.
    // The refusal comes last: it stays in force.
    for (const char *bad : {"set battdate 2001031", "set battdate 2001o315",
                            "set battdate 21560101", "set battdate 99991231", "reply BRR nak"}) {
        control(bad);
        EXPECT_EQ(ups_getbattchgtime(&ag), -1) << bad;
        EXPECT_EQ(d.year, 101) << bad;
        EXPECT_EQ(d.month, 3) << bad;
    }

    // Without the date function a QE unit has no date to give.
    control("set cfbit 16 0");
    ASSERT_EQ(poll(), 0); // one failure is within the budget
    EXPECT_EQ(ups_getbattchgtime(&ag), -1);
}

TEST_F(UpsStatusQuery, QrUnitWithoutTheDateFunctionKeepsItsDate)
{
    start("QR200ZB", {"set cfbit 15 0"});
    info.ups.ui.PreChangeBatt.year = 99;
    ASSERT_EQ(poll(), 0);
    EXPECT_EQ(info.ups.ui.PreChangeBatt.year, 99);
    EXPECT_EQ(rx(), (Seq{"Q1\r", "CF\r", "Si ?\r", "Lf ?\r", "Bl ?\r", "V\r", "V2\r"}));
}

TEST_F(UpsStatusQuery, PacedPollStillFitsTheReaderWaits)
{
    start("QE1000", {"pace on"});
    ASSERT_EQ(poll(), 0);
    EXPECT_EQ(rx().size(), 8u);
    EXPECT_STREQ(info.ups.ui.upsmodel, "QE1000");
}

} // namespace
