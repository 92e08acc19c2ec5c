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
