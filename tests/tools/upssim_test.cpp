// The test UPS is what every protocol test stands on, so its own logic is
// checked where a fault in it could hide a fault of the agent: the exact
// reply layouts, the timing of tests and shutdowns, and the injected faults.
// The tests talk to it as the agent does, through the slave side of its
// pseudo-terminal, with raw line settings of their own (so CR stays CR).
#include "upssim_harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using testutil::UpsSim;

namespace
{

// The port opened as the agent opens it, but raw.
class Port
{
  public:
    explicit Port(const std::string &path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0)
            return;
        struct termios t;
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        cfsetispeed(&t, B2400);
        cfsetospeed(&t, B2400);
        t.c_cflag |= CLOCAL | CREAD;
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~Port()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    void send(const std::string &cmd)
    {
        tcflush(fd_, TCIOFLUSH);
        ASSERT_EQ(write(fd_, cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
    }
    // Bytes until a CR (included), max bytes, or a gap of gap_ms.
    std::string read_reply(size_t max = 256, int gap_ms = 300)
    {
        std::string got;
        while (got.size() < max) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, gap_ms) <= 0)
                break;
            char c;
            if (read(fd_, &c, 1) != 1)
                break;
            got += c;
            if (c == '\r')
                break;
        }
        return got;
    }
    std::string ask(const std::string &cmd, size_t max = 256, int gap_ms = 300)
    {
        send(cmd);
        return read_reply(max, gap_ms);
    }

  private:
    int fd_ = -1;
};

void expect_q1_shape(const std::string &r)
{
    ASSERT_EQ(r.size(), 47u) << r;
    EXPECT_EQ(r[0], '(');
    for (int p : {4, 10, 16, 25, 35})
        EXPECT_EQ(r[p], '.') << "position " << p << " in " << r;
    EXPECT_TRUE(r[29] == '.' || r[30] == '.') << r;
    for (int p : {6, 12, 18, 22, 27, 32, 37})
        EXPECT_EQ(r[p], ' ') << "position " << p << " in " << r;
    EXPECT_EQ(r[46], '\r');
}

} // namespace

TEST(UpsSimQ1, ReplyHasTheLayoutTheAgentChecks)
{
    UpsSim::Options o;
    o.commands = {"set input 101.5", "set output 99.8", "set load 7",         "set infreq 59.9",
                  "set battv 27.4",  "set temp 31.2",   "set status 10000001"};
    UpsSim ups(o);
    Port port(ups.link());
    ASSERT_TRUE(port.ok());
    std::string r = port.ask("Q1\r");
    expect_q1_shape(r);
    EXPECT_EQ(r, "(101.5 100.0 099.8 007 59.9 27.4 31.2 10000001\r");
}

TEST(UpsSimQ1, CellVoltageFormKeepsTheShapeAndUnknownTemperatureIsDashes)
{
    UpsSim::Options o;
    o.model = "QA1000";
    o.commands = {"set battform d.dd", "set battv 2.27", "set temp -"};
    UpsSim ups(o);
    Port port(ups.link());
    std::string r = port.ask("Q1\r");
    expect_q1_shape(r);
    EXPECT_EQ(r.substr(28, 4), "2.27");
    EXPECT_EQ(r[29], '.');
    EXPECT_EQ(r.substr(33, 4), "--.-");
}

TEST(UpsSimModel, FamiliesAnswerTheModelAndCapabilityQueries)
{
    UpsSim qr("QR200ZB");
    {
        Port port(qr.link());
        // A QR name ends at the blank, so the reply must have one.
        EXPECT_EQ(port.ask("Si ?\r"), "QR200ZB 1.00\r");
        std::string cf = port.ask("CF\r");
        ASSERT_EQ(cf.size(), 40u) << cf;
        for (int p : {8, 17, 26})
            EXPECT_EQ(cf[p], ' ');
        EXPECT_EQ(cf.substr(15, 2), "11"); // battery date offered
        EXPECT_EQ(port.ask("V\r"), "00000000\r");
        EXPECT_EQ(port.ask("V2\r"), "00000000\r");
        EXPECT_EQ(port.ask("(SiCC)\r"), "NAK\r");
    }
}

TEST(UpsSimModel, BracketVariantAnswersOnlyItsOwnQueriesAndNeverOk)
{
    UpsSim ups("QE5500");
    Port port(ups.link());
    EXPECT_EQ(port.ask("(SiCC)\r"), "[QE5500 1.00\r");
    EXPECT_EQ(port.ask("(BvB8)\r"), "[27.4V\r");
    EXPECT_EQ(port.ask("(Lf ?11)\r"), "[60.0Hz\r");
    EXPECT_EQ(port.ask("CF\r"), "NAK\r");
    EXPECT_EQ(port.ask("Si ?\r"), "NAK\r");
    EXPECT_EQ(port.ask("T\r", 16, 150), "");
    EXPECT_EQ(ups.get("test"), "10s");
}

TEST(UpsSimLine, AgentLineSettingsTurnTheReplyCrIntoNewline)
{
    UpsSim ups("QE1000");
    int fd = open(ups.link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(isatty(fd));
    // The settings the agent applies, on top of what the port had.
    struct termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfsetispeed(&t, B2400);
    cfsetospeed(&t, B2400);
    t.c_cflag &= ~(CSTOPB | PARENB | CSIZE);
    t.c_cflag |= CS8 | CLOCAL;
    t.c_iflag &= ~(ISTRIP | IGNCR);
    t.c_iflag |= ICRNL | IXON | IXOFF;
    t.c_oflag &= ~(ONLCR | ONOCR);
    t.c_lflag &= ~(ICANON | ECHO);
    t.c_lflag |= FLUSHO;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 10;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    ASSERT_EQ(write(fd, "Si ?\r", 5), 5);
    std::string got;
    for (int i = 0; i < 20 && got.find('\n') == std::string::npos; i++) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 300) <= 0)
            break;
        char buf[32];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, n);
    }
    close(fd);
    EXPECT_EQ(got, "QE1000\n");
    auto rx = ups.transcript("RX");
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_EQ(rx[0].bytes, "Si ?\r");
}

TEST(UpsSimShutdown, DelayThenOffThenRestoreFollowTheTimescale)
{
    UpsSim::Options o;
    o.timescale = 600; // 30 s delay: 50 ms; 1 min restore: 100 ms
    UpsSim ups(o);
    Port port(ups.link());
    EXPECT_EQ(port.ask("S.5R00001\r"), "OK\r");
    auto rx = ups.wait_rx("S.5R00001\r", 1000);
    ASSERT_TRUE(rx);
    std::string q = port.ask("Q1\r");
    expect_q1_shape(q);
    EXPECT_EQ(q[44], '1') << "b1 during the delay: " << q;
    EXPECT_EQ(q.substr(13, 5), "100.0");

    auto off = ups.wait_event("output off", 2000);
    ASSERT_TRUE(off);
    EXPECT_GE(off->ns - rx->ns, 49000000);
    EXPECT_LT(off->ns - rx->ns, 200000000);
    q = port.ask("Q1\r");
    expect_q1_shape(q);
    if (ups.get("output") == "off") {
        EXPECT_EQ(q.substr(13, 5), "000.0") << q;
        EXPECT_EQ(q.substr(19, 3), "000") << q;
        EXPECT_EQ(q[44], '0') << q;
    }
    auto on = ups.wait_event("output on", 2000);
    ASSERT_TRUE(on);
    EXPECT_GE(on->ns - off->ns, 99000000);
    EXPECT_LT(on->ns - off->ns, 300000000);
    EXPECT_EQ(ups.get("output"), "on");
    EXPECT_EQ(ups.get("shutdown"), "none");
}

TEST(UpsSimShutdown, PlainFormStaysOffAndCancelOnlyStopsThePendingOne)
{
    UpsSim::Options o;
    o.timescale = 600;
    UpsSim ups(o);
    Port port(ups.link());
    EXPECT_EQ(port.ask("S01\r"), "OK\r"); // 60 s: 100 ms
    EXPECT_EQ(ups.get("status"), "00000010");
    EXPECT_EQ(port.ask("C\r"), "OK\r");
    EXPECT_EQ(ups.get("status"), "00000000");
    usleep(150000);
    EXPECT_EQ(ups.get("output"), "on");

    EXPECT_EQ(port.ask("S.0\r"), "OK\r");
    ASSERT_TRUE(ups.wait_event("output off", 1000));
    EXPECT_EQ(port.ask("C\r"), "OK\r");
    usleep(100000);
    EXPECT_EQ(ups.get("output"), "off");
    EXPECT_EQ(ups.get("shutdown"), "off");
}

TEST(UpsSimShutdown, RestoreDigitsFollowTheVariantAndSfNeedsItsFlag)
{
    UpsSim::Options o;
    o.model = "QE350";
    // Real time: nothing here may go off while it is looked at.
    o.timescale = 1;
    UpsSim bracket(o);
    {
        Port port(bracket.link());
        EXPECT_EQ(port.ask("S.1R00001\r", 16, 100), "");
        EXPECT_EQ(bracket.get("shutdown"), "none");
        EXPECT_EQ(port.ask("S02R0001\r", 16, 100), "");
        EXPECT_EQ(bracket.get("shutdown"), "pending");
    }
    o.model = "QE1000";
    UpsSim other(o);
    Port port(other.link());
    EXPECT_EQ(port.ask("S02R0001\r"), "NAK\r");
    EXPECT_EQ(port.ask("Sf.5\r"), "NAK\r");
    EXPECT_EQ(other.get("shutdown"), "none");
    EXPECT_EQ(other.control("set cfbit 33 1"), "OK");
    EXPECT_EQ(port.ask("CF\r").substr(27, 8), "00000110");
    EXPECT_EQ(port.ask("Sf.5\r", 16, 100), "");
    EXPECT_EQ(other.get("shutdown"), "pending");
}

TEST(UpsSimSelfTest, TestBitIsSetForTheTestAndTheOutcomeWrittenAfter)
{
    UpsSim::Options o;
    o.timescale = 100; // 10 s test: 100 ms
    o.commands = {"set outcome b4", "set tldur 5"};
    UpsSim ups(o);
    Port port(ups.link());
    EXPECT_EQ(port.ask("T\r"), "OK\r");
    auto rx = ups.wait_rx("T\r", 1000);
    ASSERT_TRUE(rx);
    std::string q = port.ask("Q1\r");
    EXPECT_EQ(q.substr(38, 8), "00000100") << q;
    EXPECT_EQ(port.ask("T\r"), "NAK\r"); // one test at a time
    auto end = ups.wait_event("test end", 2000);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->bytes, "test end b4");
    EXPECT_GE(end->ns - rx->ns, 99000000);
    EXPECT_LT(end->ns - rx->ns, 300000000);
    q = port.ask("Q1\r");
    EXPECT_EQ(q.substr(38, 8), "00010000") << q;

    // A later test replaces the outcome: here a weak battery seen in "V".
    EXPECT_EQ(ups.control("set outcome v7,b0"), "OK");
    ups.clear_transcript();
    EXPECT_EQ(port.ask("TL\r"), "OK\r");
    EXPECT_EQ(ups.get("test"), "low");
    ASSERT_TRUE(ups.wait_event("test end", 2000));
    EXPECT_EQ(ups.get("status"), "00000001");
    EXPECT_EQ(port.ask("V\r"), "00000001\r");

    // Cancelled: the bit goes at once and nothing is written.
    EXPECT_EQ(ups.control("set outcome b4"), "OK");
    EXPECT_EQ(port.ask("T\r"), "OK\r");
    EXPECT_EQ(port.ask("CT\r"), "OK\r");
    EXPECT_EQ(ups.get("status"), "00000001");
    EXPECT_EQ(ups.get("test"), "none");
}

TEST(UpsSimFault, NakRefusesAndCutStopsTheReplyShort)
{
    UpsSim ups("QE1000");
    Port port(ups.link());
    EXPECT_EQ(ups.control("reply BRW nak"), "OK");
    EXPECT_EQ(port.ask("BRW20240315\r"), "NAK\r");
    EXPECT_EQ(ups.get("battdate"), "20230401");
    EXPECT_EQ(ups.control("reply BRW normal"), "OK");
    EXPECT_EQ(port.ask("BRW20240315\r"), "OK\r");
    EXPECT_EQ(port.ask("BRR\r"), "20240315\r");

    EXPECT_EQ(ups.control("cut Q1 40"), "OK");
    std::string cut = port.ask("Q1\r", 256, 200);
    EXPECT_EQ(cut.size(), 40u) << cut;
    EXPECT_EQ(port.ask("Q1\r").size(), 47u); // once only

    // A 39-byte capability reply, exactly as given.
    std::string odd = "01000000 00011111 11110110 00000100 00\r";
    EXPECT_EQ(ups.control("reply CF raw 01000000 00011111 11110110 00000100 00\\r"), "OK");
    EXPECT_EQ(port.ask("CF\r"), odd);
    EXPECT_EQ(odd.size(), 39u);
}

TEST(UpsSimFault, WakeLinesGarbageDelayAndSilence)
{
    UpsSim ups("QA1000");
    Port port(ups.link());
    EXPECT_EQ(ups.control("wake 2"), "OK");
    port.send("Si ?\r");
    EXPECT_EQ(port.read_reply(), "WAKE\r");
    EXPECT_EQ(port.read_reply(), "WAKE\r");
    EXPECT_EQ(port.read_reply(), "QA1000\r");

    EXPECT_EQ(ups.control("garbage 10"), "OK");
    std::string g = port.ask("Bl ?\r");
    ASSERT_EQ(g.size(), 14u);
    EXPECT_EQ(g.substr(10), "100\r");

    EXPECT_EQ(ups.control("set delay 150"), "OK");
    int64_t t0 = testutil::mono_ns();
    EXPECT_EQ(port.ask("Bl ?\r", 16, 400), "100\r");
    EXPECT_GE(testutil::mono_ns() - t0, 150000000);
    EXPECT_EQ(ups.control("set delay 0"), "OK");

    EXPECT_EQ(ups.control("silence on"), "OK");
    EXPECT_EQ(port.ask("Q1\r", 64, 150), "");
    EXPECT_EQ(ups.transcript("DROP").back().bytes, "Q1\r");
    EXPECT_EQ(ups.control("silence off"), "OK");
    EXPECT_EQ(port.ask("Q1\r").size(), 47u);
}

TEST(UpsSimLine, PacedRepliesTakeTheTimeOfTheWire)
{
    UpsSim::Options o;
    o.pace = true;
    UpsSim ups(o);
    Port port(ups.link());
    int64_t t0 = testutil::mono_ns();
    std::string r = port.ask("Q1\r");
    int64_t t1 = testutil::mono_ns();
    EXPECT_EQ(r.size(), 47u);
    // 3 bytes in and 47 out at 10 bits a byte and 2400 baud.
    EXPECT_GE(t1 - t0, 50LL * 10 * 1000000000 / 2400 - 5000000);
    auto rx = ups.transcript("RX");
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_GE(rx[0].ns - t0, 3LL * 10 * 1000000000 / 2400 - 1000000);
}

TEST(UpsSimLine, NoiseAndOverlongCommandsAreSurvived)
{
    UpsSim ups("QR1500");
    Port port(ups.link());
    std::string noise;
    unsigned x = 12345;
    for (int i = 0; i < 6000; i++) {
        x = x * 1103515245 + 12345;
        char c = static_cast<char>(x >> 16);
        if (c != '\x11' && c != '\x13')
            noise += c;
    }
    ASSERT_EQ(write(port.fd(), noise.data(), noise.size()), static_cast<ssize_t>(noise.size()));
    port.send(std::string(100, 'A') + "\r");
    usleep(100000);
    tcflush(port.fd(), TCIOFLUSH);
    EXPECT_EQ(ups.control("ping"), "OK");
    EXPECT_EQ(port.ask("Q1\r").size(), 47u);
    EXPECT_FALSE(ups.transcript("DROP").empty());
}

TEST(UpsSimSwitches, SwitchCommandsChangeTheStateReplies)
{
    UpsSim ups("QE1000");
    Port port(ups.link());
    for (const char *c : {"Bf\r", "AC\r", "VB\r", "VH\r", "Af\r"})
        EXPECT_EQ(port.ask(c), "OK\r") << c;
    EXPECT_EQ(port.ask("V\r"), "01111000\r");
    EXPECT_EQ(port.ask("V2\r"), "10000000\r");
    EXPECT_EQ(ups.get("level"), "4");
    EXPECT_EQ(ups.get("buzzer"), "off");
    EXPECT_EQ(ups.get("autorestart"), "off");
    EXPECT_EQ(port.ask("Bt\r"), "OK\r");
    EXPECT_EQ(ups.get("beeps"), "0");
    EXPECT_EQ(port.ask("Bn\r"), "OK\r");
    EXPECT_EQ(port.ask("Bt\r"), "OK\r");
    EXPECT_EQ(ups.get("beeps"), "1");
    EXPECT_EQ(ups.get("bt"), "2");
    EXPECT_EQ(port.ask("XYZ\r"), "NAK\r");
}

TEST(UpsSimLifecycle, TermRemovesTheLinkAndTheSocket)
{
    UpsSim ups("QE1000");
    ASSERT_TRUE(testutil::file_exists(ups.link()));
    ASSERT_EQ(kill(ups.pid(), SIGTERM), 0);
    for (int i = 0; i < 200 && testutil::file_exists(ups.link()); i++)
        usleep(10000);
    EXPECT_FALSE(testutil::file_exists(ups.link()));
    EXPECT_EQ(ups.control("ping"), "ERR no answer");
}

TEST(UpsSimLifecycle, DiesWithTheProcessThatStartedIt)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(p[0]);
        // Started, then abandoned without the destructor running.
        auto *ups = new UpsSim("QE1000", 3);
        std::string link = ups->link();
        ssize_t n = write(p[1], link.data(), link.size());
        (void)n;
        _exit(0);
    }
    close(p[1]);
    char buf[512];
    ssize_t n = read(p[0], buf, sizeof buf);
    close(p[0]);
    waitpid(child, nullptr, 0);
    ASSERT_GT(n, 0);
    std::string link(buf, n);
    for (int i = 0; i < 200 && testutil::file_exists(link); i++)
        usleep(10000);
    EXPECT_FALSE(testutil::file_exists(link));
}
