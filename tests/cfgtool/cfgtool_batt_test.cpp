// voltmiracfg's battery-date forms, run as the real program against the test
// UPS on the staged serial ports.
#include "agent/agent_ups.h"
#include "cfgtool/cfg_batt.h"
#include "cfgtool/cfg_run.h"
#include "testutil.h"
#include "upssim_harness.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using cfgtest::run;
using testutil::UpsSim;

namespace
{

class CfgBatt : public ::testing::Test
{
  protected:
    // A test UPS on port index (0..3), that is PORT index + 1.
    UpsSim &ups(int index, const std::string &model = "QE1000",
                const std::vector<std::string> &commands = {})
    {
        UpsSim::Options o;
        o.model = model;
        o.port = index;
        o.commands = commands;
        sims_.push_back(std::make_unique<UpsSim>(o));
        return *sims_.back();
    }

    static std::vector<std::string> rx(const UpsSim &u)
    {
        std::vector<std::string> v;
        for (const UpsSim::Entry &e : u.transcript("RX"))
            v.push_back(e.bytes);
        return v;
    }

    testutil::Sysroot root_;
    std::vector<std::unique_ptr<UpsSim>> sims_;
};

using Cmds = std::vector<std::string>;

TEST_F(CfgBatt, CfgBattGetReadsTheDateOnTheGivenPort)
{
    UpsSim &u = ups(0);
    cfgtest::Run r = run({"-g", "batt", "1"});
    EXPECT_EQ(r.out, "Q1 OK\n20230401\nQR ok-batt\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    // The unit offers the date in its capability reply: no model query.
    EXPECT_EQ(rx(u), (Cmds{"Q1\r", "CF\r", "V\r", "BRR\r"}));

    // Upper case works as well; a QR unit keeps its date in the UPS too.
    u.control("model QR2000");
    u.clear_transcript();
    r = run({"-g", "BATT", "1"});
    EXPECT_EQ(r.out, "Q1 OK\n20230401\nQR ok-batt\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(CfgBatt, CfgBattGetSearchFindsTheUpsOnTheThirdPort)
{
    // Nothing answers on the first port (a pulled cable), the second
    // refuses Q1; the third is a UPS.
    UpsSim &dead = ups(0, "QE1000", {"silence on"});
    UpsSim &nak = ups(1, "QE1000", {"reply Q1 nak"});
    UpsSim &good = ups(2);
    cfgtest::Run r = run({"-g", "batt", "0"});
    const std::string silent = "ret=-1,st=,Q1 again\nret=-1,st=,Q1end\n";
    const std::string refused = "ret=4,st=NAK\n,Q1 again\nret=4,st=NAK\n,Q1end\n";
    EXPECT_EQ(r.out, silent + silent + "error in CheckIsUps()\n" + refused + refused +
                         "error in CheckIsUps()\nQ1 OK\n20230401\nQR ok-batt\n");
    EXPECT_EQ(r.status, 0);
    std::string dropped;
    for (const UpsSim::Entry &e : dead.transcript("DROP"))
        dropped += e.bytes;
    EXPECT_EQ(dropped, "Q1\rQ1\rQ1\rQ1\r");
    EXPECT_EQ(rx(nak), (Cmds{"Q1\r", "Q1\r", "Q1\r", "Q1\r"}));
    EXPECT_EQ(rx(good), (Cmds{"Q1\r", "CF\r", "V\r", "BRR\r"}));
}

TEST_F(CfgBatt, CfgBattGetSearchSkipsWhatIsNoTerminal)
{
    // A plain file, a missing port and a directory are passed over without
    // a word and without a byte written to them.
    testutil::write_file(root_.at("/dev/ttyS0"), "plain\n");
    ASSERT_EQ(mkdir(root_.at("/dev/ttyS2").c_str(), 0755), 0);
    UpsSim &u = ups(3);
    cfgtest::Run r = run({"-g", "batt", "-3"});
    EXPECT_EQ(r.out, "Q1 OK\n20230401\nQR ok-batt\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(testutil::read_file(root_.at("/dev/ttyS0")), "plain\n");
    EXPECT_EQ(rx(u).back(), "BRR\r");
}

TEST_F(CfgBatt, CfgBattGetFailures)
{
    // A port above 4, and a port without a device, fail at once.
    cfgtest::Run r = run({"-g", "batt", "5"});
    EXPECT_EQ(r.out, "error\n");
    EXPECT_EQ(r.status, 255);
    r = run({"-g", "batt", "2"});
    EXPECT_EQ(r.out, "error\n");
    EXPECT_EQ(r.status, 255);

    // Q1 replies of the right length but the wrong shape: two per check,
    // two checks per attempt, two attempts on a given port.
    UpsSim &u =
        ups(0, "QE1000", {"reply Q1 raw X100.0 100.0 100.0 020 60.0 27.4 30.0 00000000\\r"});
    r = run({"-g", "batt", "1"});
    EXPECT_EQ(r.out, "error in CheckIsUps()\nerror in CheckIsUps()\nerror\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(rx(u).size(), 8u);

    // A refused "BRR" is a failure, not an empty date.
    u.control("reply Q1 normal");
    u.control("reply BRR nak");
    r = run({"-g", "batt", "1"});
    EXPECT_EQ(r.out, "Q1 OK\nQ1 OK\nerror\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(CfgBatt, CfgBattGetDisconnectedBatteryIsEmptyWithoutAsking)
{
    UpsSim &u = ups(0, "QE1000", {"set vbit 0 1"});
    cfgtest::Run r = run({"-g", "batt", "1"});
    EXPECT_EQ(r.out, "Q1 OK\ndisconnect\nQR empty-batt\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(rx(u), (Cmds{"Q1\r", "CF\r", "V\r"}));
}

TEST_F(CfgBatt, CfgBattGetMalformedDatesAreEmpty)
{
    // Not a date this century or the last: printed with a blank after it.
    UpsSim &u = ups(0, "QE1000", {"set battdate 30230401"});
    cfgtest::Run r = run({"-g", "batt", "1"});
    EXPECT_EQ(r.out, "Q1 OK\n30230401\n QR empty-batt\n");
    EXPECT_EQ(r.status, 2);
    // Too short to hold a date: nothing is read beyond the reply.
    u.control("set battdate 2023");
    r = run({"-g", "batt", "1"});
    EXPECT_EQ(r.out, "Q1 OK\n2023\n QR empty-batt\n");
    EXPECT_EQ(r.status, 2);
    // Too long: cut at the reply's length, the rest of the line discarded.
    u.control("set battdate 2023040112345");
    r = run({"-g", "batt", "1"});
    EXPECT_EQ(r.out, "Q1 OK\n202304011\nQR ok-batt\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(CfgBatt, CfgBattUnitsWithoutTheDateInTheUps)
{
    // A QA unit: its date lives in the agent's configuration.
    UpsSim &qa = ups(0, "QA1000");
    cfgtest::Run r = run({"-g", "batt", "1"});
    EXPECT_EQ(r.out, "Q1 OK\nQA1000\nQA\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(rx(qa), (Cmds{"Q1\r", "CF\r", "(SiCC)\r", "Si ?\r"}));
    qa.clear_transcript();
    r = run({"-s", "batt", "2001/03/15", "1"});
    EXPECT_EQ(r.out, "UPS set batt\nQ1 OK\nQA1000\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(rx(qa), (Cmds{"Q1\r", "CF\r", "(SiCC)\r", "Si ?\r"}));

    // The bracket units have no date at all.
    UpsSim &qe = ups(1, "QE350");
    r = run({"-g", "batt", "2"});
    EXPECT_EQ(r.out, "Q1 OK\nQE350\nQE350..\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(rx(qe), (Cmds{"Q1\r", "CF\r", "(SiCC)\r"}));
}

TEST_F(CfgBatt, CfgBattRepliesCannotDriveTheTerminal)
{
    // Whatever a device sends back is printed with every byte outside
    // printable ASCII made '?'; only the line end that closes a reply stays.
    const struct {
        const char *model;
        const char *fault;
        const char *out; // what the output holds
        int status;
    } cases[] = {
        {"QE1000", "reply BRR raw \\e[2J\\x07\\x9bab\\r", "Q1 OK\n?[2J??ab\n QR empty-batt\n", 2},
        {"QE1000", "reply BRR raw 20230401\\e\\r", "Q1 OK\n20230401?\nQR ok-batt\n", 0},
        {"QA1000", "reply Si raw QA\\e[31m1\\r", "Q1 OK\nQA?[31m1\nQA\n", 1},
        {"QE1000", "reply Q1 raw NAK\\e]0;x\\x07\\r", "ret=10,st=NAK?]0;x?\n,Q1 again\n", 255},
    };
    for (const auto &c : cases) {
        sims_.clear();
        ups(0, c.model, {c.fault});
        cfgtest::Run r = run({"-g", "batt", "1"});
        EXPECT_NE(r.out.find(c.out), std::string::npos) << c.fault << "\n" << r.out;
        EXPECT_EQ(r.status, c.status) << c.fault;
        for (char ch : r.out)
            EXPECT_TRUE((ch >= 0x20 && ch < 0x7F) || ch == '\n') << c.fault << ": " << int(ch);
    }
}

TEST_F(CfgBatt, CfgBattWakeLinesAreSkipped)
{
    UpsSim &u = ups(0, "QE1000", {"wake 5"});
    cfgtest::Run r = run({"-g", "batt", "1"});
    EXPECT_EQ(r.out, "Q1 OK\n20230401\nQR ok-batt\n");
    EXPECT_EQ(r.status, 0);
    int wakes = 0;
    for (const UpsSim::Entry &e : u.transcript("TX"))
        wakes += e.bytes == "WAKE\r";
    EXPECT_EQ(wakes, 5);
    EXPECT_EQ(rx(u), (Cmds{"Q1\r", "CF\r", "V\r", "BRR\r"}));
}

TEST(CfgBattReader, CfgBattWakeLineWithoutEndIsGivenUp)
{
    // "WAKE" and then bytes without a line end for as long as the reader
    // takes them: it must give up, not wait for the line to end.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    std::atomic<bool> done{false};
    std::thread talker([&] {
        if (write(sv[1], "WAKE", 4) != 4)
            return;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
        while (!done && std::chrono::steady_clock::now() < until) {
            if (write(sv[1], "xxxxxxxx", 8) != 8)
                break;
            usleep(1000);
        }
    });
    char buf[UPS_Q1LEN + 1];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadDataFromUps(sv[0], buf, UPS_Q1LEN), -1);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done = true;
    close(sv[0]); // a writer blocked on a full buffer fails and ends
    talker.join();
    close(sv[1]);
    EXPECT_LT(secs, 3.0);
}

TEST_F(CfgBatt, CfgBattSetStoresTheDate)
{
    UpsSim &u = ups(0);
    cfgtest::Run r = run({"-s", "batt", "2001/03/15", "1"});
    EXPECT_EQ(r.out, "UPS set batt\nQ1 OK\n20010315\r\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(rx(u), (Cmds{"Q1\r", "CF\r", "BRW20010315\r"}));
    EXPECT_EQ(u.get("battdate"), "20010315");
    // Years before 1900 count as 1900, which the command carries as 0000.
    r = run({"-s", "batt", "1850/1/2", "0"});
    EXPECT_EQ(r.out, "UPS set batt\nQ1 OK\n00000102\r\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(u.get("battdate"), "00000102");
}

TEST_F(CfgBatt, CfgBattSetFailures)
{
    UpsSim &u = ups(0);
    // Dates the command cannot carry fail before the port is opened.
    // Parts that are not numbers alone would otherwise read as 0, or as
    // their leading digits, and a mistyped date would be stored.
    for (const char *date :
         {"2001-03-15", "2001/0315", "2200/01/01", "2001/100/01", "2001/1/-1", "abc/de/fg",
          "2001//15", "2001/03/", "2001/3x/15", "2001/03/15/7", "20O1/03/15", "/03/15"}) {
        cfgtest::Run r = run({"-s", "batt", date, "1"});
        EXPECT_EQ(r.out, "UPS set batt\n") << date;
        EXPECT_EQ(r.status, 255) << date;
    }
    EXPECT_TRUE(rx(u).empty());
    // A unit that refuses the date: two attempts, then 255.
    u.control("reply BRW nak");
    cfgtest::Run r = run({"-s", "batt", "2001/03/15", "1"});
    EXPECT_EQ(r.out, "UPS set batt\nQ1 OK\n20010315\r\nQ1 OK\n20010315\r\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(u.get("battdate"), "20230401");
}

} // namespace
