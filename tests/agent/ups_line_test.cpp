// The serial line against the test UPS on real pseudo-terminals: the port
// search, the line settings, reopening, the reply reader with its waits and
// the decision that the UPS is gone.  Waits here are real line time; each
// test spends only the waits it is about.
#include "agent/agent_ups.h"
#include "agent/sysroot.h"

#include "testutil.h"
#include "upssim_harness.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using testutil::UpsSim;

namespace
{

class UpsLine : public testing::Test
{
  protected:
    void SetUp() override
    {
        ups_init();
        ag.aip = &info;
        info.ups.ui.CommStatus = COMM_ESTABLISHED;
        info.ups.up.workparam.ComSet = 0;
    }
    void TearDown() override { ups_fini(); }

    // Seconds since start.
    static double since(int64_t start) { return (testutil::mono_ns() - start) / 1e9; }
    static std::vector<std::string> rx(const UpsSim &sim)
    {
        std::vector<std::string> out;
        for (const auto &e : sim.transcript("RX"))
            out.push_back(e.bytes);
        return out;
    }
    std::string debug_log() const
    {
        const char *p = sysroot_path(SP_DEBUGLOG);
        return testutil::file_exists(p) ? testutil::read_file(p) : "";
    }
    // Opens port n of the search directly, as the poll would find it.
    void connect(int port)
    {
        info.ups.up.workparam.ComSet = port + 1;
        ASSERT_EQ(ups_comsearch(&ag), port);
    }
    int q1(char *buf) { return ups_command(&ag, buf, UPS_Q1LEN, "Q1"); }

    testutil::Sysroot root; // before ups_init: the ports live under it
    AGINFO info{};
    AGENT ag{};
};

using UpsLineSearch = UpsLine;
using UpsLineReader = UpsLine;

TEST_F(UpsLineSearch, FindsTheUnitOnTheThirdPortAfterAFileAndAMissingDevice)
{
    // ttyS0 is a plain file, ttyS1 does not exist, ttyS2 and ttyS3 answer.
    testutil::write_file(root.at("/dev/ttyS0"), "");
    UpsSim third("QA1500", 2);
    UpsSim fourth("QE1000", 3);
    info.ups.up.workparam.ComSet = 7;
    int64_t t0 = testutil::mono_ns();
    EXPECT_EQ(ups_comsearch(&ag), 2);
    EXPECT_LT(since(t0), 1.0);
    EXPECT_EQ(info.ups.up.workparam.ComSet, 0);
    EXPECT_EQ(ups_st.comid, 2);
    ASSERT_GE(ups_st.comfd, 0);
    EXPECT_TRUE(isatty(ups_st.comfd));
    // One valid reply proves the unit; the next port is never asked.
    EXPECT_EQ(rx(third), std::vector<std::string>{"Q1\r"});
    EXPECT_TRUE(rx(fourth).empty());
    EXPECT_EQ(testutil::read_file(root.at("/dev/ttyS0")), "");
    EXPECT_EQ(debug_log().find("OPEN COM"), std::string::npos);
}

TEST_F(UpsLineSearch, ConfiguredPortAloneIsTried)
{
    UpsSim sim("QE1000", 2);
    info.ups.up.workparam.ComSet = 4; // ttyS3: missing
    EXPECT_EQ(ups_comsearch(&ag), -1);
    EXPECT_EQ(ups_st.comfd, -1);
    info.ups.up.workparam.ComSet = COMSET_NOUPS;
    EXPECT_EQ(ups_comsearch(&ag), -1);
    EXPECT_EQ(ups_st.comfd, -1);
    EXPECT_TRUE(rx(sim).empty());
    EXPECT_EQ(info.ups.up.workparam.ComSet, COMSET_NOUPS);

    info.ups.up.workparam.ComSet = 3;
    EXPECT_EQ(ups_comsearch(&ag), 2);
    EXPECT_EQ(ups_st.comid, 2);
    EXPECT_EQ(info.ups.up.workparam.ComSet, 3);
}

TEST_F(UpsLineSearch, DeviceThatCannotBeOpenedIsLoggedAndSkipped)
{
    ASSERT_EQ(mkdir(root.at("/dev/ttyS0").c_str(), 0755), 0);
    UpsSim sim("QE1000", 1);
    EXPECT_EQ(ups_comsearch(&ag), 1);
    EXPECT_NE(debug_log().find(std::string("\nOPEN COM\n") + strerror(EISDIR) + "\n"),
              std::string::npos)
        << debug_log();
}

// The one search of a dead port in the suite: before communication is
// established every empty wait is 1.0 s, three make a failed read, four
// failed Q1 exchanges give the port up.
TEST_F(UpsLineSearch, SilentPortIsGivenUpAfterFourQ1Exchanges)
{
    UpsSim::Options opt;
    opt.port = 0;
    opt.commands = {"silence on"};
    UpsSim sim(opt);
    info.ups.ui.CommStatus = COMM_LOST;
    info.ups.up.workparam.ComSet = 1;
    int64_t t0 = testutil::mono_ns();
    EXPECT_EQ(ups_comsearch(&ag), -1);
    double secs = since(t0);
    EXPECT_GT(secs, 11.8);
    EXPECT_LT(secs, 13.5);
    EXPECT_EQ(ups_st.comfd, -1);
    EXPECT_EQ(ups_st.comid, -1);
    std::string dropped;
    for (const auto &e : sim.transcript("DROP"))
        dropped += e.bytes;
    EXPECT_EQ(dropped, "Q1\rQ1\rQ1\rQ1\r");
}

TEST_F(UpsLine, LineSettingsOfTheOpenedPort)
{
    UpsSim sim("QE1000", 2);
    connect(2);
    struct termios t;
    ASSERT_EQ(tcgetattr(ups_st.comfd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B2400));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARENB), 0u);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF), static_cast<tcflag_t>(ICRNL | IXON | IXOFF));
    EXPECT_EQ(t.c_iflag & (ISTRIP | IGNCR), 0u);
    EXPECT_EQ(t.c_oflag & (ONLCR | ONOCR), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 10);
    EXPECT_FALSE(fcntl(ups_st.comfd, F_GETFL) & O_NONBLOCK);
}

TEST_F(UpsLine, SetupFailureIsReportedWithThePortName)
{
    std::string path = root.at("/dev/ttyS0");
    testutil::write_file(path, "");
    ups_st.comid = 0;
    ups_st.comfd = open(path.c_str(), O_RDWR);
    ASSERT_GE(ups_st.comfd, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ups_cominit(&ag), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ups_cominit: cannot get " + path + " settings:"), std::string::npos) << err;
    // The port is the caller's to close.
    EXPECT_NE(fcntl(ups_st.comfd, F_GETFD), -1);
}

TEST_F(UpsLine, ReopenKeepsThePortAndFailsWhenItIsGone)
{
    EXPECT_EQ(ups_reopen(&ag), -1); // no port chosen: nothing touched
    EXPECT_EQ(ups_st.comfd, -1);

    auto sim = std::make_unique<UpsSim>("QE1000", 2);
    connect(2);
    ASSERT_EQ(ups_reopen(&ag), 0);
    EXPECT_EQ(ups_st.comid, 2);
    EXPECT_EQ(ups_q1(&ag, 1), 0);

    sim.reset(); // the device goes away with the simulator
    EXPECT_EQ(ups_reopen(&ag), -1);
    EXPECT_EQ(ups_st.comfd, -1);
    EXPECT_EQ(ups_st.comid, 2);
    EXPECT_NE(debug_log().find("\nOPEN COM\n"), std::string::npos);
}

TEST_F(UpsLineReader, WakeNoticesBeforeTheReply)
{
    UpsSim sim("QE1000", 2);
    connect(2);
    char buf[UPS_Q1LEN + 1];
    ASSERT_EQ(sim.control("wake 1"), "OK");
    ASSERT_EQ(q1(buf), UPS_Q1LEN);
    EXPECT_EQ(ups_q1check(buf, UPS_Q1LEN), 0);
    EXPECT_EQ(std::string(buf, 46), sim.get("q1").substr(0, 46));

    // A reply shorter than the notice: the read stops inside "WAKE", and
    // the rest of that line must not be taken for the "OK".
    ASSERT_EQ(sim.control("wake 1"), "OK");
    char ok[5];
    EXPECT_EQ(ups_command(&ag, ok, 4, "T"), 3);
    EXPECT_STREQ(ok, "OK\n");
    // And the line is in step again for the next exchange.
    ASSERT_EQ(q1(buf), UPS_Q1LEN);
    EXPECT_EQ(ups_q1check(buf, UPS_Q1LEN), 0);

    // Two notices: no reply, whatever follows them (left for the next
    // exchange's discard, so this case comes last).
    ASSERT_EQ(sim.control("wake 2"), "OK");
    int64_t t0 = testutil::mono_ns();
    EXPECT_EQ(q1(buf), 0);
    EXPECT_LT(since(t0), 0.5);
}

TEST_F(UpsLineReader, StaleInputIsDiscardedBeforeACommand)
{
    UpsSim sim("QE1000", 2);
    connect(2);
    std::string stale = "(999.9 999.9 999.9 999 99.9 99.9 99.9 11111111\r";
    sim.clear_transcript();
    ASSERT_EQ(sim.control("send " + stale.substr(0, 46) + "\\r"), "OK");
    ASSERT_TRUE(sim.wait_for([](const UpsSim::Entry &e) { return e.kind == "TX"; }, 2000));
    usleep(50000);
    char buf[UPS_Q1LEN + 1];
    ASSERT_EQ(q1(buf), UPS_Q1LEN);
    EXPECT_NE(std::string(buf, 5), "(999.");
}

TEST_F(UpsLineReader, ReplyCutShortFailsAfterTheEstablishedWait)
{
    UpsSim sim("QE1000", 2);
    connect(2);
    char buf[UPS_Q1LEN + 1];
    ASSERT_EQ(sim.control("cut Q1 40 1"), "OK");
    int64_t t0 = testutil::mono_ns();
    EXPECT_EQ(q1(buf), -1);
    double secs = since(t0);
    EXPECT_GT(secs, 1.75);
    EXPECT_LT(secs, 2.7); // well short of the 3.0 s wait
    // The next exchange starts clean.
    EXPECT_EQ(q1(buf), UPS_Q1LEN);
    EXPECT_EQ(ups_q1check(buf, UPS_Q1LEN), 0);
}

TEST_F(UpsLineReader, FullLengthReplyWithoutLineEndIsClosedAndTheLineResynchronised)
{
    UpsSim sim("QE1000", 2);
    connect(2);
    char buf[UPS_Q1LEN + 1];
    std::string body = "(226.0 195.0 226.0 014 49.0 27.5 30.0 00001000";
    ASSERT_EQ(sim.control("reply Q1 raw " + body + "Xtail\\r"), "OK");
    int64_t t0 = testutil::mono_ns();
    ASSERT_EQ(q1(buf), UPS_Q1LEN);
    EXPECT_GE(since(t0), 1.0);
    EXPECT_EQ(std::string(buf), body + "\n");
    EXPECT_EQ(ups_q1check(buf, UPS_Q1LEN), 0);

    ASSERT_EQ(sim.control("reply Q1 normal"), "OK");
    ASSERT_EQ(q1(buf), UPS_Q1LEN);
    EXPECT_EQ(buf[0], '(');

    // Only the Q1 reply is mended; another reply that fills its length is
    // taken as it came.
    ASSERT_EQ(sim.control("reply Lf raw 50.0X"), "OK");
    EXPECT_EQ(ups_command(&ag, buf, 5, "Lf ?"), 5);
    EXPECT_EQ(std::string(buf), "50.0X");
}

TEST_F(UpsLineReader, FirstByteWaitDependsOnTheCommunicationState)
{
    UpsSim sim("QE1000", 2);
    connect(2);
    char buf[UPS_Q1LEN + 1];
    ASSERT_EQ(sim.control("set delay 2400"), "OK");
    sim.clear_transcript();
    int64_t t0 = testutil::mono_ns();
    EXPECT_EQ(q1(buf), -1);
    double secs = since(t0);
    EXPECT_GT(secs, 1.75);
    EXPECT_LT(secs, 2.7); // well short of the 3.0 s wait
    // Let the late reply pass before the next exchange.
    ASSERT_TRUE(sim.wait_for([](const UpsSim::Entry &e) { return e.kind == "TX"; }, 2000));
    usleep(50000);

    // Before communication is established the unit gets 3.0 s.
    info.ups.ui.CommStatus = COMM_LOST;
    t0 = testutil::mono_ns();
    EXPECT_EQ(q1(buf), UPS_Q1LEN);
    EXPECT_GT(since(t0), 2.3);
}

TEST_F(UpsLine, VerifyCommlostDecidesAndDropsTheUnit)
{
    UpsSim sim("QE1000", 2);
    info.ups.up.workparam.ComSet = COMSET_NOUPS;
    EXPECT_EQ(verify_commlost(&ag), -1);
    EXPECT_TRUE(rx(sim).empty());

    connect(2);
    ups_st.mg = 1;
    snprintf(ups_st.ups_model_s, sizeof ups_st.ups_model_s, "QE1000");
    ups_st.cf_V = ups_st.cmd_Lfx = ups_st.beTesting = ups_st.lasttest = 1;
    info.ups.upsstat = UPSF_TEST | UPSF_TESTENDED | UPSF_BATTDISC | UPSF_UTILFAIL;
    info.ups.ui.ComId = 2;
    EXPECT_EQ(verify_commlost(&ag), 0);
    EXPECT_GE(ups_st.comfd, 0);

    ASSERT_EQ(sim.control("silence on"), "OK");
    int64_t t0 = testutil::mono_ns();
    EXPECT_EQ(verify_commlost(&ag), 1);
    double secs = since(t0);
    EXPECT_GT(secs, 3.5);
    EXPECT_LT(secs, 4.8);
    EXPECT_EQ(ups_st.comfd, -1);
    EXPECT_EQ(ups_st.comid, -1);
    EXPECT_EQ(info.ups.ui.ComId, COMID_NONE);
    EXPECT_EQ(info.ups.ui.CommStatus, COMM_LOST);
    EXPECT_EQ(info.ups.upsstat, UPSF_UTILFAIL);
    EXPECT_STREQ(ups_st.ups_model_s, "");
    EXPECT_EQ(ups_st.mg, 0);
    EXPECT_EQ(ups_st.cf_V + ups_st.cmd_Lfx + ups_st.beTesting + ups_st.lasttest, 0);
}

} // namespace
