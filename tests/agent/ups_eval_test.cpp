// The evaluation rules of the UPS replies, on reply strings and the module
// state alone: no line, no test UPS, and the clock stands still.
#include "agent/agent_ups.h"
#include "agent/sysclock.h"

#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace
{

// Replies as real units sent them.
const char q1_online[] = "(226.0 195.0 226.0 014 49.0 27.5 30.0 00001000\r";
const char q1_percell[] = "(215.0 195.0 230.0 014 49.0 2.27 30.0 00101000\r";
const char q1_onbattery[] = "(000.0 140.0 227.0 002 00.0 46.8 56.0 10001000\r";
const char q1_weak[] = "(241.5 000.0 230.3 000 49.9 2.25 48.0 00000001\r";

// A normal reply with its status characters b7..b0 replaced.
std::string q1_bits(const char *bits, const char *base = q1_online)
{
    std::string r = base;
    r.replace(38, 8, bits);
    return r;
}

// A "CF" reply of 40 bytes: four groups of eight at 0-7, 9-16, 18-25, 27-34.
std::string cf_reply(const char *g1, const char *g2, const char *g3, const char *g4)
{
    return std::string(g1) + " " + g2 + " " + g3 + " " + g4 + " 000\n";
}

class UpsEval : public testing::Test
{
  protected:
    void SetUp() override
    {
        ups_init();
        u = UPS{};
        u.ui.CommStatus = COMM_ESTABLISHED;
        sysclock_fake(1700000000, 5000.0);
        model("QA1500");
    }
    void TearDown() override
    {
        ups_fini();
        sysclock_real();
    }
    void model(const char *m) { snprintf(ups_st.ups_model_s, sizeof ups_st.ups_model_s, "%s", m); }
    int eval(const std::string &r)
    {
        return ups_evalq1(&ups_st, &u, r.data(), static_cast<int>(r.size()));
    }
    int evalv(const std::string &r)
    {
        return ups_evalv(&ups_st, &u, r.data(), static_cast<int>(r.size()));
    }
    int evalcf(const std::string &r)
    {
        return ups_evalcf(&ups_st, &u, r.data(), static_cast<int>(r.size()));
    }
    UPS u;
};

TEST_F(UpsEval, ShapeCheckAcceptsBothBatteryVoltageFormsAndNothingMisplaced)
{
    for (const char *r : {q1_online, q1_percell, q1_onbattery, q1_weak})
        EXPECT_EQ(ups_q1check(r, 47), 0) << r;
    std::string nl = q1_online;
    nl[46] = '\n';
    EXPECT_EQ(ups_q1check(nl.data(), 47), 0);

    EXPECT_EQ(ups_q1check(q1_online, 46), -1);
    EXPECT_EQ(ups_q1check(nullptr, 47), -1);
    // One character out of place at each checked position.
    for (int p : {0, 4, 10, 16, 25, 35, 6, 12, 18, 22, 27, 32, 37, 46}) {
        std::string bad = q1_online;
        bad[p] = '7';
        EXPECT_EQ(ups_q1check(bad.data(), 47), -1) << "position " << p;
    }
    std::string nodot = q1_percell;
    nodot[29] = '2';
    EXPECT_EQ(ups_q1check(nodot.data(), 47), -1);
    // A reply that fails the check changes nothing.
    u.ui.upsstat = 77;
    EXPECT_EQ(ups_evalq1(&ups_st, &u, nodot.data(), 47), -1);
    EXPECT_EQ(u.ui.upsstat, 77);
}

TEST_F(UpsEval, MeasurementsOfRealRepliesWithEitherBatteryVoltageForm)
{
    struct {
        const char *reply;
        int in, inr, out, outr, load, fin, finr, bv, bvr, t, tr;
    } cases[] = {
        {q1_online, 226, 0, 226, 0, 14, 49, 0, 27, 5, 30, 0},
        // Per-cell voltage "2.27": 2 volts and 2 tenths, not 2.7.
        {q1_percell, 215, 0, 230, 0, 14, 49, 0, 2, 2, 30, 0},
        {q1_onbattery, 0, 0, 227, 0, 2, 0, 0, 46, 8, 56, 0},
        {q1_weak, 241, 5, 230, 3, 0, 49, 9, 2, 2, 48, 0},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(eval(c.reply), 0) << c.reply;
        const UPSDATA &d = u.ui.upsdata;
        EXPECT_EQ(d.InPutINT, c.in) << c.reply;
        EXPECT_EQ(d.InPutREM, c.inr) << c.reply;
        EXPECT_EQ(d.OutPutINT, c.out) << c.reply;
        EXPECT_EQ(d.OutPutREM, c.outr) << c.reply;
        EXPECT_EQ(d.Load, c.load) << c.reply;
        EXPECT_EQ(d.FreqInputINT, c.fin) << c.reply;
        EXPECT_EQ(d.FreqInputREM, c.finr) << c.reply;
        EXPECT_EQ(d.BattVolINT, c.bv) << c.reply;
        EXPECT_EQ(d.BattVolREM, c.bvr) << c.reply;
        EXPECT_EQ(d.TempINT, c.t) << c.reply;
        EXPECT_EQ(d.TempREM, c.tr) << c.reply;
    }
}

TEST_F(UpsEval, TemperatureDashAndBracketUnitsBatteryVoltage)
{
    std::string r = q1_online;
    r.replace(33, 4, "--.-");
    ASSERT_EQ(eval(r), 0);
    EXPECT_EQ(static_cast<uint8_t>(u.ui.upsdata.TempINT), 255);
    EXPECT_EQ(static_cast<uint8_t>(u.ui.upsdata.TempREM), 255);

    // The bracket units' battery voltage comes from "(BvB8)" only.
    model("QE350");
    u.ui.upsdata.BattVolINT = 13;
    u.ui.upsdata.BattVolREM = 6;
    ASSERT_EQ(eval(q1_online), 0);
    EXPECT_EQ(u.ui.upsdata.BattVolINT, 13);
    EXPECT_EQ(u.ui.upsdata.BattVolREM, 6);
}

TEST_F(UpsEval, OverloadFromLoad101EvenDuringUtilityFailure)
{
    std::string r = q1_onbattery;
    r.replace(19, 3, "101");
    ASSERT_EQ(eval(r), 0);
    EXPECT_EQ(u.ui.upsstat, UPSST_OVERLOAD);
    EXPECT_TRUE(u.upsstat & UPSF_OVERLOAD);
    EXPECT_TRUE(u.upsstat & UPSF_UTILFAIL);

    r.replace(19, 3, "100");
    ASSERT_EQ(eval(r), 0);
    EXPECT_EQ(u.ui.upsstat, UPSST_UTILFAIL);
    EXPECT_FALSE(u.upsstat & UPSF_OVERLOAD);
    EXPECT_EQ(u.ui.upsdata.Load, 100);
}

TEST_F(UpsEval, StateCodeAndFlagsByPriority)
{
    struct {
        const char *bits;
        int latch_hwfail;
        int8_t state;
        uint32_t set, clear;
    } cases[] = {
        {"00000000", 0, UPSST_NORMAL, 0,
         UPSF_FAULT | UPSF_UTILFAIL | UPSF_BYPASS | UPSF_STANDBY | UPSF_SHUTDOWN},
        {"10110100", 0, UPSST_FAULT, UPSF_FAULT | UPSF_UTILFAIL | UPSF_BYPASS, UPSF_STANDBY},
        {"00000000", 1, UPSST_FAULT, UPSF_FAULT, UPSF_UTILFAIL},
        {"10100100", 0, UPSST_UTILFAIL, UPSF_UTILFAIL | UPSF_BYPASS, UPSF_FAULT},
        {"00100100", 0, UPSST_BYPASS, UPSF_BYPASS, UPSF_UTILFAIL},
        // A standby unit's bypass character means nothing.
        {"00101100", 0, UPSST_TEST, UPSF_STANDBY, UPSF_BYPASS},
        {"00101000", 0, UPSST_NORMAL, UPSF_STANDBY, UPSF_BYPASS},
        {"00000010", 0, UPSST_NORMAL, UPSF_SHUTDOWN, UPSF_FAULT},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bits);
        ups_init();
        model("QA1500");
        u = UPS{};
        u.ui.CommStatus = COMM_ESTABLISHED;
        ups_st.gb_Battest_HWFail = c.latch_hwfail;
        ASSERT_EQ(eval(q1_bits(c.bits)), 0);
        EXPECT_EQ(u.ui.upsstat, c.state);
        EXPECT_EQ(u.upsstat & c.set, c.set);
        EXPECT_EQ(u.upsstat & c.clear, 0u);
        EXPECT_EQ(u.isstandby, c.bits[4] == '1' ? 1 : 0);
        EXPECT_EQ(ups_st.gb_Funtest_HWFail, c.bits[3] == '1' ? 1 : 0);
    }
}

TEST_F(UpsEval, ShutdownActiveDuringTestLeavesPriorityStateAndNoTestFlag)
{
    ASSERT_EQ(eval(q1_bits("00000110")), 0);
    EXPECT_FALSE(u.upsstat & UPSF_TEST);
    EXPECT_TRUE(u.upsstat & UPSF_SHUTDOWN);
    EXPECT_EQ(u.ui.upsstat, UPSST_TEST); // the priority value, never 4
    EXPECT_EQ(ups_st.beTesting, 1);

    ASSERT_EQ(eval(q1_bits("10000010")), 0);
    EXPECT_EQ(u.ui.upsstat, UPSST_UTILFAIL);
}

TEST_F(UpsEval, BatteryStateOfTheQaFamily)
{
    struct {
        const char *bits;
        int8_t batt;
        uint32_t set, clear;
    } cases[] = {
        {"01000001", BATT_LOW, UPSF_BATTLOW, 0},
        {"00000001", BATT_WEAK, UPSF_BATTWEAK, UPSF_BATTLOW},
        {"00000100", BATT_TEST, 0, UPSF_BATTLOW | UPSF_BATTWEAK},
        {"00000000", BATT_NORMAL, 0, UPSF_BATTLOW | UPSF_BATTWEAK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bits);
        u.upsstat = UPSF_BATTLOW | UPSF_BATTWEAK;
        ASSERT_EQ(eval(q1_bits(c.bits)), 0);
        EXPECT_EQ(u.ui.BattStatus, c.batt);
        EXPECT_EQ(u.upsstat & c.set, c.set);
        EXPECT_EQ(u.upsstat & c.clear, 0u);
    }
    // The weak latch of the last "V" reply holds the weak state.
    ups_st.gb_Battest_Weak = 1;
    ASSERT_EQ(eval(q1_bits("00000000")), 0);
    EXPECT_EQ(u.ui.BattStatus, BATT_WEAK);
    EXPECT_TRUE(u.upsstat & UPSF_BATTWEAK);
}

TEST_F(UpsEval, BatteryStateOfOtherFamiliesAndTheDisconnectedBattery)
{
    model("QR200ZB");
    ASSERT_EQ(eval(q1_bits("00000100")), 0);
    EXPECT_EQ(u.ui.BattStatus, BATT_TEST);
    model("QE350");
    ASSERT_EQ(eval(q1_bits("00000100")), 0);
    EXPECT_EQ(u.ui.BattStatus, BATT_NORMAL);

    for (const char *m : {"QE1000", "QR200ZB"}) {
        SCOPED_TRACE(m);
        model(m);
        // "V" said disconnected: Q1's normal, test and weak leave 19 alone.
        ASSERT_EQ(evalv("10000000\n"), 0);
        EXPECT_EQ(u.ui.BattStatus, BATT_DISCONNECTED);
        for (const char *bits : {"00000000", "00000100", "00000001"}) {
            ASSERT_EQ(eval(q1_bits(bits)), 0);
            EXPECT_EQ(u.ui.BattStatus, BATT_DISCONNECTED) << bits;
            EXPECT_FALSE(u.upsstat & UPSF_BATTWEAK) << bits;
        }
        // Battery low still shows.
        ASSERT_EQ(eval(q1_bits("01000000")), 0);
        EXPECT_EQ(u.ui.BattStatus, BATT_LOW);
        ASSERT_EQ(evalv("00000000\n"), 0);
        EXPECT_FALSE(u.upsstat & UPSF_BATTDISC);
        ASSERT_EQ(eval(q1_bits("00000000")), 0);
        EXPECT_EQ(u.ui.BattStatus, BATT_NORMAL);
    }
}

class UpsEvalTest : public UpsEval
{
  public:
    // Polls through a test seen running for secs seconds and ended by a
    // reply with end_bits.  With a "V" reply, each poll also gets a clean
    // "V" while the test runs and v_end after it ends, as a QE unit's poll
    // would.
    void test_for(double secs, const char *end_bits = "00000000", const char *v_end = nullptr)
    {
        ASSERT_EQ(eval(q1_bits("00000100")), 0);
        EXPECT_EQ(ups_st.beTesting, 1);
        EXPECT_EQ(u.ui.upsstat, UPSST_TEST);
        EXPECT_TRUE(u.upsstat & UPSF_TEST);
        if (v_end) {
            ASSERT_EQ(evalv("00000000\n"), 0);
        }
        sysclock_advance(secs / 2);
        ASSERT_EQ(eval(q1_bits("00000100")), 0); // still running
        if (v_end) {
            ASSERT_EQ(evalv("00000000\n"), 0);
        }
        sysclock_advance(secs - secs / 2);
        ASSERT_EQ(eval(q1_bits(end_bits)), 0);
        EXPECT_EQ(ups_st.beTesting, 0);
        if (v_end) {
            ASSERT_EQ(evalv(v_end), 0);
        }
    }
    void expect_battery_test()
    {
        EXPECT_EQ(ups_st.beBattTest, 1);
        EXPECT_EQ(ups_st.beUpsTest, 0);
        EXPECT_TRUE(u.upsstat & UPSF_TESTENDED);
    }
    void expect_ups_test(int ok)
    {
        EXPECT_EQ(ups_st.beUpsTest, 1);
        EXPECT_EQ(ups_st.beBattTest, 0);
        EXPECT_FALSE(u.upsstat & UPSF_TESTENDED);
        EXPECT_EQ(ups_st.gb_upstest_ok, ok);
    }
};

TEST_F(UpsEvalTest, TestKindByDurationAndFamily)
{
    struct {
        const char *model;
        double secs;
        bool battery;
    } cases[] = {
        {"QA1500", 15, false}, {"QA1500", 16, true},   {"QE1000", 15.9, false},
        {"QE1000", 16, true},  {"QR200ZB", 20, false}, {"QR200ZB", 21, true},
        {"QE350", 60, false},  {"QE5500", 60, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.model) + " " + std::to_string(c.secs));
        ups_init();
        u = UPS{};
        u.ui.CommStatus = COMM_ESTABLISHED;
        model(c.model);
        test_for(c.secs);
        if (c.battery)
            expect_battery_test();
        else
            expect_ups_test(1);
        EXPECT_EQ(u.ui.upsstat, UPSST_NORMAL);
    }
}

TEST_F(UpsEvalTest, FaultOrWeakBatteryAtTheEndMakesAFailedUpsTest)
{
    for (const char *end : {"00010000", "00000001"}) {
        SCOPED_TRACE(end);
        ups_init();
        u = UPS{};
        u.ui.CommStatus = COMM_ESTABLISHED;
        model("QA1500");
        test_for(30, end);
        expect_ups_test(0);
    }
}

TEST_F(UpsEvalTest, RequestedTestThatNeverStartsIsRecordedAsFailed)
{
    ups_st.bSendTestCmd = 1;
    ASSERT_EQ(eval(q1_bits("00000000")), 0);
    EXPECT_EQ(ups_st.bSendTestCmd, 0);
    EXPECT_EQ(ups_st.tcmd, 1);
    EXPECT_TRUE(u.upsstat & UPSF_TEST);
    u.ui.sftResUPS.Result = SELFTEST_NORESULT;

    sysclock_advance(1);
    u.upsstat |= UPSF_TESTENDED;
    ASSERT_EQ(eval(q1_bits("00000000")), 0);
    EXPECT_EQ(ups_st.tcmd, 0);
    EXPECT_EQ(u.ui.sftResUPS.Result, SELFTEST_FAILED);
    EXPECT_FALSE(u.upsstat & (UPSF_TEST | UPSF_TESTENDED));
    EXPECT_EQ(u.ui.upsstat, UPSST_NORMAL);

    // Seen running once, the same request ends as a test, not a failure.
    ups_st.bSendTestCmd = 1;
    ASSERT_EQ(eval(q1_bits("00000100")), 0);
    u.ui.sftResUPS.Result = SELFTEST_NORESULT;
    sysclock_advance(5);
    ASSERT_EQ(eval(q1_bits("00000000")), 0);
    EXPECT_EQ(u.ui.sftResUPS.Result, SELFTEST_NORESULT);
    expect_ups_test(1);
}

TEST_F(UpsEval, ResultsClearedOnFirstPollAndOnModelChange)
{
    for (int which = 0; which < 2; which++) {
        u.ui.sftResBattery.Result = SELFTEST_PASSED;
        u.ui.sftResUPS.Result = SELFTEST_FAILED;
        u.ui.CommStatus = which == 0 ? COMM_LOST : COMM_ESTABLISHED;
        ups_st.model_changed = which;
        ASSERT_EQ(eval(q1_online), 0);
        EXPECT_EQ(u.ui.sftResBattery.Result, SELFTEST_NORESULT);
        EXPECT_EQ(u.ui.sftResUPS.Result, SELFTEST_NORESULT);
    }
    u.ui.sftResUPS.Result = SELFTEST_FAILED;
    u.ui.CommStatus = COMM_ESTABLISHED;
    ups_st.model_changed = 0;
    ASSERT_EQ(eval(q1_online), 0);
    EXPECT_EQ(u.ui.sftResUPS.Result, SELFTEST_FAILED);
}

TEST_F(UpsEval, SavedResultCarriesTheLocalTimeOfTheClock)
{
    SELFTESTRESULT r{};
    ASSERT_EQ(ups_savetestrslt(&r, SELFTEST_PASSED), 0);
    time_t now = sysclock_time();
    struct tm tm;
    localtime_r(&now, &tm);
    EXPECT_EQ(r.Result, SELFTEST_PASSED);
    EXPECT_EQ(r.timeinfo.year, tm.tm_year);
    EXPECT_EQ(r.timeinfo.month, tm.tm_mon + 1);
    EXPECT_EQ(r.timeinfo.day, tm.tm_mday);
    EXPECT_EQ(r.timeinfo.hour, tm.tm_hour);
    EXPECT_EQ(r.timeinfo.minute, tm.tm_min);
    EXPECT_EQ(r.timeinfo.second, tm.tm_sec);
    EXPECT_EQ(ups_savetestrslt(nullptr, SELFTEST_PASSED), -1);
}

TEST_F(UpsEval, SwitchReplyOfQaAndOtherFamilies)
{
    ASSERT_EQ(evalv("01100000\n"), 0);
    EXPECT_EQ(u.ui.BuzzerCan, 0);
    EXPECT_EQ(u.ui.AutoTestCan, 0);
    EXPECT_EQ(u.ui.iDetectionLvl, 1);
    // QA units have no disconnect report.
    ASSERT_EQ(evalv("10011000\n"), 0);
    EXPECT_FALSE(u.upsstat & UPSF_BATTDISC);
    EXPECT_EQ(u.ui.BuzzerCan, 1);
    EXPECT_EQ(u.ui.iDetectionLvl, 1);

    model("QE1000");
    struct {
        const char *reply;
        int lvl;
    } levels[] = {{"00011000\n", 4},
                  {"00010000\n", 3},
                  {"00001000\n", 2},
                  {"00000000\n", 1},
                  {"00011010\n", 0}};
    for (const auto &c : levels) {
        ASSERT_EQ(evalv(c.reply), 0);
        EXPECT_EQ(u.ui.iDetectionLvl, c.lvl) << c.reply;
    }
    ASSERT_EQ(evalv("10000000\n"), 0);
    EXPECT_TRUE(u.upsstat & UPSF_BATTDISC);
    EXPECT_EQ(u.ui.BattStatus, BATT_DISCONNECTED);
    EXPECT_EQ(ups_st.gb_CommandV_BattDisconect, 1);
    ASSERT_EQ(evalv("00000101\n"), 0);
    EXPECT_FALSE(u.upsstat & UPSF_BATTDISC);
    EXPECT_EQ(ups_st.gb_Battest_HWFail, 1);
    EXPECT_EQ(ups_st.gb_Battest_Weak, 1);

    for (const char *bad : {"0000000\n", "NAK\n", "00002000\n", "0000000a\n"}) {
        EXPECT_EQ(evalv(bad), -1) << bad;
    }
    EXPECT_EQ(ups_evalv(&ups_st, &u, nullptr, 0), -1);
}

TEST_F(UpsEvalTest, SwitchReplyDecidesTheOutcomeOfAnEndedTest)
{
    model("QE1000");
    // A battery test that ends cleanly passes, and only once.
    test_for(20, "00000000", "00000000\n");
    EXPECT_EQ(u.ui.sftResBattery.Result, SELFTEST_PASSED);
    EXPECT_TRUE(u.upsstat & UPSF_TESTENDED);
    EXPECT_FALSE(u.upsstat & UPSF_TEST);
    u.ui.sftResBattery.Result = SELFTEST_NORESULT;
    ASSERT_EQ(eval(q1_bits("00000000")), 0);
    ASSERT_EQ(evalv("00000000\n"), 0);
    EXPECT_EQ(u.ui.sftResBattery.Result, SELFTEST_NORESULT);

    // Not before the link is up.
    u.ui.CommStatus = COMM_LOST;
    test_for(20, "00000000", "00000000\n");
    EXPECT_EQ(u.ui.sftResBattery.Result, SELFTEST_NORESULT);
    u.ui.CommStatus = COMM_ESTABLISHED;

    // A weak battery reported after it fails it.
    test_for(20, "00000000", "00000001\n");
    EXPECT_EQ(u.ui.sftResBattery.Result, SELFTEST_FAILED);
    ASSERT_EQ(evalv("00000000\n"), 0); // the latch follows "V"

    // A clean UPS test is recorded as passed right away.
    u.upsstat &= ~UPSF_TESTENDED;
    test_for(10, "00000000", "00000000\n");
    EXPECT_EQ(u.ui.sftResUPS.Result, SELFTEST_PASSED);
    EXPECT_FALSE(u.upsstat & (UPSF_TEST | UPSF_TESTENDED));

    // A UPS test that left the battery in trouble goes to the engine.
    u.ui.sftResUPS.Result = SELFTEST_NORESULT;
    u.ui.sftResBattery.Result = SELFTEST_NORESULT;
    test_for(10, "00000000", "00000100\n");
    EXPECT_EQ(u.ui.sftResUPS.Result, SELFTEST_NORESULT);
    EXPECT_TRUE(u.upsstat & UPSF_TESTENDED);
    EXPECT_EQ(u.ui.sftResBattery.Result, SELFTEST_FAILED);
    ASSERT_EQ(evalv("00000000\n"), 0);

    // A failed UPS test is recorded as failed.
    u.upsstat &= ~UPSF_TESTENDED;
    test_for(10, "00010000", "00000000\n");
    EXPECT_EQ(u.ui.sftResUPS.Result, SELFTEST_FAILED);
    EXPECT_FALSE(u.upsstat & (UPSF_TEST | UPSF_TESTENDED));
}

TEST_F(UpsEval, CapabilityReplyDecoding)
{
    std::string cf = cf_reply("01100000", "01111111", "11111110", "11101110");
    ASSERT_EQ(cf.size(), 40u);
    u.upsstat = 0;
    ASSERT_EQ(evalcf(cf), 0);
    EXPECT_TRUE(u.upsstat & UPSF_CF);
    EXPECT_EQ(ups_st.cf_V, 1);
    EXPECT_EQ(ups_st.cf_BTt, 1);
    EXPECT_EQ(ups_st.cf_Six, 1);
    EXPECT_EQ(ups_st.cf_Bv, 1);
    EXPECT_EQ(ups_st.cf_Lfx, 1);
    EXPECT_EQ(ups_st.cf_Blx, 1);
    EXPECT_EQ(ups_st.cf_Sfn, 1);
    // 0x4000 always; 0x8000 (2); 0x0800 (10, 11); 0x1000 (12, 13); 0x0200
    // (15, 16); 0x2000 (22); 0x0080 (23, 24); 27, 28, 29 and 31 without 30
    // give 0x0040 and 0x0020; 0x0008 (32) with "Sf" (33) gives 0x0004.
    EXPECT_EQ(u.ui.ufStatus, 0x4000 | 0x8000 | 0x0800 | 0x1000 | 0x0200 | 0x2000 | 0x0080 | 0x0040 |
                                 0x0020 | 0x0008 | 0x0004);
    ASSERT_EQ(evalcf(cf_reply("00000000", "00000000", "00000000", "11110000")), 0);
    EXPECT_EQ(u.ui.ufStatus, 0x4000 | 0x0400 | 0x0100);
    EXPECT_EQ(ups_st.cf_V, 0);
    EXPECT_EQ(ups_st.cf_Sfn, 0);
    // Pairs count only whole.
    ASSERT_EQ(evalcf(cf_reply("00000000", "01010100", "00001010", "10001000")), 0);
    EXPECT_EQ(u.ui.ufStatus, 0x4000 | 0x2000);

    std::string plain = cf_reply("00000000", "00000000", "00000000", "00000000");
    ASSERT_EQ(evalcf(plain), 0);
    EXPECT_EQ(u.ui.ufStatus, 0x4000);
    EXPECT_EQ(ups_st.cf_V, 0);
    // "Sf" alone, without the restart report, is not offered.
    plain[33] = '1';
    ASSERT_EQ(evalcf(plain), 0);
    EXPECT_EQ(u.ui.ufStatus, 0x4000);
    EXPECT_EQ(ups_st.cf_Sfn, 1);
}

TEST_F(UpsEval, UnusableCapabilityReplyFallsBackByModel)
{
    std::string good = cf_reply("01000000", "00000000", "00000000", "00000000");
    std::string short39 = good.substr(0, 38) + "\n";
    std::string nak = "NAK" + good.substr(3);
    std::string nondigit = good;
    nondigit[20] = 'x';
    struct {
        const char *model;
        uint16_t uf;
        int cmd;
    } models[] = {{"QR200ZB", 0xFFE0, 1},
                  {"QE200ZA", 0xFA80, 1},
                  {"QE400ZA", 0xFA80, 1},
                  {"QA1500", 0, 0},
                  {"QE1000", 0, 0}};
    for (const auto &m : models) {
        for (const std::string *bad : {&short39, &nak, &nondigit}) {
            SCOPED_TRACE(std::string(m.model) + " " + *bad);
            ups_init();
            model(m.model);
            u.upsstat = UPSF_CF;
            ASSERT_EQ(evalcf(good), 0);
            ASSERT_EQ(ups_st.cf_V, 1);
            ASSERT_EQ(evalcf(*bad), 0);
            EXPECT_EQ(ups_st.cf_V, 0);
            EXPECT_FALSE(u.upsstat & UPSF_CF);
            EXPECT_EQ(u.ui.ufStatus, m.uf);
            EXPECT_EQ(ups_st.cmd_V, m.cmd);
            EXPECT_EQ(ups_st.cmd_Lfx, m.cmd);
            EXPECT_EQ(ups_st.cmd_Blx, m.cmd);
            EXPECT_EQ(ups_st.cmd_Sfn, 0);
        }
    }
    // No reply at all counts as unusable too.
    model("QR200ZB");
    ASSERT_EQ(ups_evalcf(&ups_st, &u, nullptr, 0), 0);
    EXPECT_EQ(u.ui.ufStatus, 0xFFE0);
}

} // namespace
