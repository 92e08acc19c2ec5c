// The UPS channel process as the daemon sees it: ups_doupschan runs in a
// child process on real pipes, with the shared record in real shared memory
// and the test UPS on a staged serial port; the test plays the daemon.  It
// checks what each command word puts on the line and what comes back, the
// communication states, and how the process ends.
#include "agent/agent_ups.h"
#include "agent/net.h"
#include "agent/sysroot.h"

#include "testutil.h"
#include "upssim_harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <new>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using testutil::UpsSim;
using Seq = std::vector<std::string>;

namespace
{

// Reads a field that the other process writes.
template <class T> T peek(const T &field)
{
    return __atomic_load_n(&field, __ATOMIC_SEQ_CST);
}

using testutil::eventually;

// The channel process with the daemon's ends of its pipes; killed and
// reaped with the object, whatever the test did.
struct Channel {
    pid_t pid = -1;
    int cmd = -1;   // the daemon's end of chna2u.actpipe
    int reply = -1; // the daemon's end of chna2u.paspipe
    int status = -1;

    void start(AGINFO *info)
    {
        int act[2], pas[2];
        ASSERT_EQ(pipe(act), 0);
        ASSERT_EQ(pipe(pas), 0);
        fflush(nullptr); // the child must not write our buffered output again
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(act[1]);
            close(pas[0]);
            static AGENT ag;
            ag.chna2u.actpipe[0] = act[0];
            ag.chna2u.actpipe[1] = -1;
            ag.chna2u.paspipe[0] = -1;
            ag.chna2u.paspipe[1] = pas[1];
            ag.aip = info;
            ups_doupschan(&ag);
            _exit(99);
        }
        close(act[0]);
        close(pas[1]);
        cmd = act[1];
        reply = pas[0];
    }
    void send(uint32_t word) { ASSERT_EQ(write(cmd, &word, sizeof word), 4); }
    // The next reply word, if one comes within the time.
    std::optional<uint32_t> next_reply(int timeout_ms)
    {
        uint32_t w;
        size_t got = 0;
        while (got < sizeof w) {
            struct pollfd p = {reply, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) <= 0)
                return std::nullopt;
            ssize_t n = read(reply, reinterpret_cast<char *>(&w) + got, sizeof w - got);
            if (n <= 0)
                return std::nullopt;
            got += static_cast<size_t>(n);
        }
        return w;
    }
    // Waits until the channel has taken every word written so far.
    bool drained(int timeout_ms)
    {
        return eventually(
            [&] {
                int n = 0;
                return ioctl(cmd, FIONREAD, &n) == 0 && n == 0;
            },
            timeout_ms);
    }
    // Waits for the process to end; true with status filled in.
    bool ended(int timeout_ms)
    {
        return eventually(
            [&] {
                pid_t r = waitpid(pid, &status, WNOHANG);
                if (r == pid)
                    pid = -1;
                return pid == -1;
            },
            timeout_ms);
    }
    void close_cmd()
    {
        if (cmd >= 0)
            close(cmd);
        cmd = -1;
    }
    ~Channel()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close_cmd();
        if (reply >= 0)
            close(reply);
    }
};

class UpsChan : public testing::Test
{
  protected:
    void SetUp() override
    {
        // As in the daemon: a channel process that is gone shows as a failed
        // write, not as the end of this process.
        signal(SIGPIPE, SIG_IGN);
        void *m = mmap(nullptr, sizeof(AGINFO), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                       -1, 0);
        ASSERT_NE(m, MAP_FAILED);
        info = new (m) AGINFO{};
        // As the daemon leaves the record at start-up.
        info->ups.ui.CommStatus = COMM_LOST;
        info->ups.ui.ComId = COMID_NONE;
    }
    void TearDown() override
    {
        chan.reset(); // the process goes before the record it maps
        if (info != nullptr)
            munmap(info, sizeof(AGINFO));
    }

    // A unit of the model on ttyS2 (ComSet 3) and the channel process on
    // it, connected; the transcript starts after that.
    void start(const std::string &model, const std::vector<std::string> &cmds = {})
    {
        UpsSim::Options opt;
        opt.model = model;
        opt.port = 2;
        opt.commands = cmds;
        sim = std::make_unique<UpsSim>(opt);
        run(3);
        ASSERT_TRUE(connected(5000));
        ASSERT_EQ(peek(info->ups.ui.ComId), 2);
        sim->clear_transcript();
    }
    void run(int32_t comset)
    {
        info->ups.up.workparam.ComSet = comset;
        chan = std::make_unique<Channel>();
        chan->start(info);
    }
    bool connected(int timeout_ms)
    {
        return eventually([&] { return peek(info->ups.ui.CommStatus) == COMM_ESTABLISHED; },
                          timeout_ms);
    }
    void control(const std::string &c) { ASSERT_EQ(sim->control(c), "OK") << c; }
    Seq rx(const UpsSim &s)
    {
        Seq out;
        for (const auto &e : s.transcript("RX"))
            out.push_back(e.bytes);
        return out;
    }
    Seq rx() { return rx(*sim); }
    static int count(const Seq &s, const std::string &what)
    {
        return static_cast<int>(std::count(s.begin(), s.end(), what));
    }
    // Sends a status refresh and expects its reply to be the next word:
    // proves that nothing sent before it left a reply word behind.
    void expect_only_refresh_reply()
    {
        chan->send(UPSCMD_REFRESH);
        EXPECT_EQ(chan->next_reply(3000), std::optional<uint32_t>(0xF0000001));
    }
    void no_reply(int ms = 300) { EXPECT_EQ(chan->next_reply(ms), std::nullopt); }
    void downarg(int32_t delay, int32_t last, int32_t len = 8)
    {
        UPSDOWNARG a{delay, last};
        memcpy(info->ba2u.buf, &a, sizeof a);
        info->ba2u.msglen = len;
    }
    std::string debug_log() const
    {
        const char *p = sysroot_path(SP_DEBUGLOG);
        return testutil::file_exists(p) ? testutil::read_file(p) : "";
    }

    testutil::Sysroot root; // first: the ports and the debug log live there
    AGINFO *info = nullptr;
    std::unique_ptr<UpsSim> sim;
    std::unique_ptr<Channel> chan; // last: ends before the unit it talks to
};

using UpsChanCommands = UpsChan;
using UpsChanBuzzer = UpsChan;
using UpsChanState = UpsChan;
using UpsChanLine = UpsChan;
using UpsChanPipe = UpsChan;

TEST_F(UpsChanCommands, WordsWithoutAReplyReachTheLine)
{
    start("QE1000");
    BATTCHGTIME bt{};
    bt.BattTime = UPS_TIMEINFO{124, 1, 15, 0, 0, 0, 0};
    const struct {
        uint32_t word;
        Seq line;
        std::function<void()> before;
    } table[] = {
        {UPSCMD_TEST10, {"AR\r", "T\r"}, [&] { info->ba2u.msglen = 4; }},
        {UPSCMD_TESTCANCEL, {"CT\r"}, nullptr},
        {UPSCMD_TESTLOW, {"AR\r", "TL\r"}, nullptr},
        {UPSCMD_TESTCANCEL, {"CT\r"}, nullptr},
        {UPSCMD_DOWNCANCEL, {"C\r"}, nullptr},
        {UPSCMD_AUTOTESTOFF, {"AC\r"}, nullptr},
        {UPSCMD_AUTOTESTON, {"AR\r"}, nullptr},
        {UPSCMD_BUZZEROFF, {"Bf\r"}, nullptr},
        {UPSCMD_BUZZERON | 0xBEEF, {"Bn\r"}, nullptr}, // the lower half plays no part
        {UPSCMD_RESTARTOFF, {"Af\r"}, nullptr},
        {UPSCMD_RESTARTON, {"An\r"}, nullptr},
        {UPSCMD_LEVELA, {"VA\r"}, nullptr},
        {UPSCMD_LEVELB, {"VB\r"}, nullptr},
        {UPSCMD_LEVELH, {"VH\r"}, nullptr},
        {UPSCMD_LEVELL, {"VL\r"}, nullptr},
        {UPSCMD_SETBATTDATE,
         {"BRW20240115\r"},
         [&] {
             memcpy(info->ba2u.buf, &bt, sizeof bt);
             info->ba2u.msglen = sizeof bt;
         }},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(t.line.back());
        if (t.before)
            t.before();
        sim->clear_transcript();
        chan->send(t.word);
        ASSERT_TRUE(sim->wait_rx(t.line.back(), 3000));
        expect_only_refresh_reply();
        // The command's bytes, in order, among the polls around them.
        Seq got = rx();
        auto at = std::find(got.begin(), got.end(), t.line.front());
        ASSERT_LE(t.line.size(), static_cast<size_t>(got.end() - at));
        EXPECT_EQ(Seq(at, at + static_cast<long>(t.line.size())), t.line);
    }
    EXPECT_EQ(sim->get("battdate"), "20240115");
    EXPECT_EQ(sim->get("level"), "2");
    EXPECT_EQ(sim->get("buzzer"), "on");
    no_reply();
}

TEST_F(UpsChanCommands, WordsWithAReplyAndRefusedWords)
{
    start("QE1000");
    // Battery date refresh: the switch states and the date, nothing else.
    chan->send(UPSCMD_BATTDATE);
    EXPECT_EQ(chan->next_reply(3000), std::optional<uint32_t>(0x00050001));
    Seq got = rx();
    bool alone = false;
    for (size_t i = 0; i + 1 < got.size(); i++) {
        if (got[i] == "V\r" && got[i + 1] == "BRR\r" &&
            (i + 2 == got.size() || got[i + 2] != "V2\r"))
            alone = true;
    }
    EXPECT_TRUE(alone) << testing::PrintToString(got);

    // Shutdown: answered with the unit's verdict.
    sim->clear_transcript();
    downarg(45, -1);
    chan->send(UPSCMD_SHUTDOWN);
    EXPECT_EQ(chan->next_reply(3000), std::optional<uint32_t>(0x06000001));
    EXPECT_EQ(count(rx(), "S.7\r"), 1);
    EXPECT_EQ(sim->get("shutdown"), "pending");
    chan->send(UPSCMD_DOWNCANCEL);
    downarg(45, -1, 7);
    sim->clear_transcript();
    chan->send(UPSCMD_SHUTDOWN);
    EXPECT_EQ(chan->next_reply(3000), std::optional<uint32_t>(0x0600FFFF));
    EXPECT_EQ(sim->get("shutdown"), "none");
    EXPECT_EQ(count(rx(), "S.7\r"), 0);

    // Status refresh, whatever its lower half says.
    chan->send(UPSCMD_REFRESH);
    EXPECT_EQ(chan->next_reply(3000), std::optional<uint32_t>(0xF0000001));
    chan->send(0xF0001234);
    EXPECT_EQ(chan->next_reply(3000), std::optional<uint32_t>(0xF0000001));

    // Unknown codes are refused with their own upper half.
    sim->clear_transcript();
    chan->send(0x12340000);
    EXPECT_EQ(chan->next_reply(3000), std::optional<uint32_t>(0x1234FFFF));
    chan->send(0x0100ABCD);
    EXPECT_EQ(chan->next_reply(3000), std::optional<uint32_t>(0x0100FFFF));
    for (const std::string &c : rx())
        EXPECT_TRUE(c == "Q1\r" || c == "CF\r" || c == "Si ?\r" || c == "Lf ?\r" || c == "Bl ?\r" ||
                    c == "V\r" || c == "BRR\r" || c == "V2\r")
            << c; // polls only
    no_reply();
}

// A poll that fails while Q1 still answers is no loss, and the refresh says
// it failed.
TEST_F(UpsChanCommands, RefreshReportsAFailedPoll)
{
    start("QE1000");
    control("reply Si nak");
    control("reply Lf nak");
    control("reply Bl nak");
    chan->send(UPSCMD_REFRESH);
    EXPECT_EQ(chan->next_reply(5000), std::optional<uint32_t>(0xF000FFFF));
    usleep(1500000); // a failing regular poll and its Q1 check
    EXPECT_EQ(peek(info->ups.ui.CommStatus), COMM_ESTABLISHED);
    control("clear");
    chan->send(UPSCMD_REFRESH);
    EXPECT_EQ(chan->next_reply(5000), std::optional<uint32_t>(0xF0000001));
}

TEST_F(UpsChanBuzzer, DisabledBuzzerIsEnabledSoundedAndDisabledOverThreePasses)
{
    start("QE1000", {"set vbit 1 1"});
    ASSERT_EQ(peek(info->ups.ui.BuzzerCan), 0);
    chan->send(UPSCMD_BUZZERTEST);
    ASSERT_TRUE(sim->wait_rx("Bf\r", 5000));
    Seq got = rx();
    auto bn = std::find(got.begin(), got.end(), "Bn\r");
    auto bt = std::find(got.begin(), got.end(), "Bt\r");
    auto bf = std::find(got.begin(), got.end(), "Bf\r");
    ASSERT_TRUE(bn < bt && bt < bf) << testing::PrintToString(got);
    // One step per pass: a poll between the steps.
    EXPECT_NE(std::find(bn, bt, "Q1\r"), bt);
    EXPECT_NE(std::find(bt, bf, "Q1\r"), bf);
    EXPECT_EQ(count(got, "Bn\r") + count(got, "Bt\r") + count(got, "Bf\r"), 3);
    EXPECT_EQ(sim->get("beeps"), "1");
    EXPECT_EQ(sim->get("buzzer"), "off");
    usleep(1200000); // the sequence is over
    EXPECT_EQ(count(rx(), "Bt\r"), 1);
    no_reply();
}

TEST_F(UpsChanBuzzer, EnabledBuzzerSoundsAtOnce)
{
    start("QE1000");
    ASSERT_EQ(peek(info->ups.ui.BuzzerCan), 1);
    chan->send(UPSCMD_BUZZERTEST);
    ASSERT_TRUE(sim->wait_rx("Bt\r", 3000));
    usleep(2500000);
    Seq got = rx();
    EXPECT_EQ(count(got, "Bt\r"), 1);
    EXPECT_EQ(count(got, "Bn\r") + count(got, "Bf\r"), 0);
    EXPECT_EQ(sim->get("beeps"), "1");
    no_reply();
}

TEST_F(UpsChanBuzzer, UnitWithoutTheSwitchSoundsOnce)
{
    start("QE1000", {"set cfbit 12 0", "set vbit 1 1"});
    ASSERT_EQ(peek(info->ups.ui.ufStatus) & UPSFN_BUZZER, 0);
    ASSERT_EQ(peek(info->ups.ui.BuzzerCan), 0);
    chan->send(UPSCMD_BUZZERTEST);
    ASSERT_TRUE(sim->wait_rx("Bt\r", 3000));
    usleep(2500000); // two more passes
    Seq got = rx();
    EXPECT_EQ(count(got, "Bt\r"), 1);
    EXPECT_EQ(count(got, "Bn\r") + count(got, "Bf\r"), 0);
}

// Without an established link every word is read and dropped: no reply, no
// effect, not even after the link comes up.
TEST_F(UpsChanState, WordsAreDroppedUntilTheLinkIsEstablished)
{
    sim = std::make_unique<UpsSim>("QE1000", 2);
    run(1); // ttyS0: nothing there
    ASSERT_TRUE(eventually([&] { return peek(info->ups.protocol) == 1; }, 3000));
    EXPECT_EQ(peek(info->ups.ui.CommStatus), COMM_LOST);
    downarg(45, -1);
    for (uint32_t w : {UPSCMD_REFRESH, UPSCMD_SHUTDOWN, UPSCMD_BATTDATE, 0x12340000u,
                       UPSCMD_BUZZERON, UPSCMD_BUZZERTEST, UPSCMD_TESTLOW})
        chan->send(w);
    ASSERT_TRUE(chan->drained(3000));
    no_reply(500);
    EXPECT_EQ(peek(info->ups.ui.CommStatus), COMM_LOST);
    EXPECT_EQ(peek(info->ups.ui.ComId), COMID_NONE);

    info->ups.up.workparam.ComSet = 3;
    ASSERT_TRUE(connected(5000));
    EXPECT_EQ(peek(info->ups.ui.ComId), 2);
    usleep(2500000); // a buzzer sequence would be under way by now
    expect_only_refresh_reply();
    Seq got = rx();
    for (const char *c : {"S.7\r", "Bn\r", "Bt\r", "AR\r", "TL\r"})
        EXPECT_EQ(count(got, c), 0) << c;
    EXPECT_EQ(sim->get("shutdown"), "none");
}

// A first poll that fails while Q1 answers leaves the link not established;
// the first poll that works establishes it.
TEST_F(UpsChanState, LinkIsEstablishedByTheFirstPollThatWorks)
{
    UpsSim::Options opt;
    opt.commands = {"reply Lf nak", "reply Bl nak", "reply V nak"};
    sim = std::make_unique<UpsSim>(opt);
    run(3);
    ASSERT_TRUE(eventually([&] { return peek(info->ups.ui.ComId) == 2; }, 5000));
    ASSERT_TRUE(sim->wait_rx("V\r", 5000));
    usleep(500000);
    EXPECT_EQ(peek(info->ups.ui.CommStatus), COMM_LOST);
    chan->send(UPSCMD_REFRESH);
    no_reply(500);
    control("clear");
    ASSERT_TRUE(connected(4000));
    EXPECT_EQ(peek(info->ups.ui.ComId), 2);
    expect_only_refresh_reply();
}

TEST_F(UpsChanState, NoUpsWhileConnectedAndBack)
{
    start("QE1000");
    info->ups.up.workparam.ComSet = COMSET_NOUPS;
    int64_t t0 = testutil::mono_ns();
    ASSERT_TRUE(eventually([&] { return peek(info->ups.ui.CommStatus) == COMM_NOUPS; }, 3000));
    // Within one pass: the pass under way may finish its poll first.
    EXPECT_LT((testutil::mono_ns() - t0) / 1e9, 1.5);
    EXPECT_EQ(peek(info->ups.ui.ComId), COMID_NOUPS);
    EXPECT_EQ(peek(info->ups.ui.BuzzerCan), 0);
    EXPECT_EQ(peek(info->ups.ui.AutoTestCan), 0);
    EXPECT_EQ(peek(info->ups.ui.ufStatus), 0);
    EXPECT_EQ(peek(info->ups.ui.BattStatus), 0);
    EXPECT_EQ(peek(info->ups.ui.iDetectionLvl), 0);
    EXPECT_EQ(peek(info->ups.ui.upsdata.InPutINT), 0);
    EXPECT_EQ(std::string(info->ups.ui.upsmodel), "");
    // The flag word is left alone, and the port is closed: nothing more
    // reaches the unit, and words are dropped.
    info->ups.upsstat |= UPSF_UTILFAIL;
    sim->clear_transcript();
    chan->send(UPSCMD_BUZZERON);
    chan->send(UPSCMD_REFRESH);
    ASSERT_TRUE(chan->drained(3000));
    no_reply(1500);
    EXPECT_EQ(rx(), Seq{});
    EXPECT_EQ(peek(info->ups.upsstat) & UPSF_UTILFAIL, UPSF_UTILFAIL);
    EXPECT_EQ(peek(info->ups.ui.CommStatus), COMM_NOUPS);

    info->ups.up.workparam.ComSet = 3;
    ASSERT_TRUE(connected(5000));
    EXPECT_EQ(peek(info->ups.ui.ComId), 2);
    EXPECT_EQ(std::string(info->ups.ui.upsmodel), "QE1000");
    expect_only_refresh_reply();
}

TEST_F(UpsChanState, ChangedPortIsSearchedWhileStillEstablished)
{
    UpsSim other("QA1500", 3);
    start("QE1000");
    bool dropped = false;
    info->ups.up.workparam.ComSet = 4;
    ASSERT_TRUE(eventually(
        [&] {
            dropped |= peek(info->ups.ui.CommStatus) != COMM_ESTABLISHED;
            return peek(info->ups.ui.ComId) == 3;
        },
        5000));
    ASSERT_TRUE(eventually([&] { return std::string(info->ups.ui.upsmodel) == "QA1500"; }, 3000));
    EXPECT_FALSE(dropped);
    sim->clear_transcript();
    usleep(1500000);
    EXPECT_EQ(rx(), Seq{});
    EXPECT_GE(count(rx(other), "Q1\r"), 2);
}

// The one loss in this suite: a silent line costs about 11 s to decide.
TEST_F(UpsChanState, SilentUnitIsLostAndFoundAgain)
{
    start("QE1000");
    control("silence on");
    int64_t t0 = testutil::mono_ns();
    ASSERT_TRUE(eventually([&] { return peek(info->ups.ui.CommStatus) == COMM_LOST; }, 25000));
    // Usually the idle second, four Q1 tries of the poll and two more of the
    // check, 1.8 s each: 10.8 to 11.8 s.  Silence that starts inside a poll
    // fails the poll through its error budget instead: between about 9 and
    // 16 s.
    double lost = (testutil::mono_ns() - t0) / 1e9;
    EXPECT_GT(lost, 8.5);
    EXPECT_LT(lost, 18.0);
    EXPECT_EQ(peek(info->ups.ui.ComId), COMID_NONE);
    EXPECT_EQ(peek(info->ups.ui.BattStatus), 0);
    EXPECT_EQ(peek(info->ups.ui.BuzzerCan), 0);
    EXPECT_EQ(peek(info->ups.ui.upsdata.OutPutINT), 0);
    EXPECT_EQ(peek(info->ups.ui.upsdata.Load), 0);
    EXPECT_EQ(std::string(info->ups.ui.upsmodel), "");

    control("silence off");
    t0 = testutil::mono_ns();
    ASSERT_TRUE(connected(10000));
    EXPECT_LT((testutil::mono_ns() - t0) / 1e9, 5.0);
    EXPECT_EQ(peek(info->ups.ui.ComId), 2);
    EXPECT_EQ(std::string(info->ups.ui.upsmodel), "QE1000");
    EXPECT_EQ(peek(info->ups.ui.upsdata.OutPutINT), 100);
    expect_only_refresh_reply();
}

// Seconds of CPU the process has used.
double cpu_seconds(pid_t pid)
{
    std::string s = testutil::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t p = s.rfind(')');
    unsigned long ut = 0, st = 0;
    if (p == std::string::npos ||
        sscanf(s.c_str() + p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut,
               &st) != 2)
        return -1;
    return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST_F(UpsChanLine, UnaskedDataIsThrownAwayAndPollsKeepTheirPace)
{
    start("QE1000");
    // Right after a poll, with the next one a second away.
    ASSERT_TRUE(sim->wait_rx("V2\r", 3000));
    usleep(100000);
    sim->clear_transcript();
    double cpu0 = cpu_seconds(chan->pid);
    control("send WAKE\\r");
    usleep(200000);
    control("send NOISE FROM THE UNIT\\r");
    ASSERT_TRUE(sim->wait_rx("V2\r", 3000));
    ASSERT_TRUE(sim->wait_for(
        [](const UpsSim::Entry &e) { return e.kind == "RX" && e.bytes == "CF\r"; }, 3000));
    // Read and gone, not left to spin the loop until the next poll.
    EXPECT_LT(cpu_seconds(chan->pid) - cpu0, 0.3);
    // The poll after it needed no second Q1.
    Seq got = rx();
    auto cf = std::find(got.begin(), got.end(), "CF\r");
    EXPECT_EQ(std::count(got.begin(), cf, "Q1\r"), 1) << testing::PrintToString(got);
    EXPECT_EQ(peek(info->ups.ui.CommStatus), COMM_ESTABLISHED);

    // A second from the end of one poll to the start of the next.
    sim->clear_transcript();
    ASSERT_TRUE(eventually([&] { return count(rx(), "Q1\r") >= 4; }, 6000));
    std::vector<int64_t> q1;
    for (const auto &e : sim->transcript("RX"))
        if (e.bytes == "Q1\r")
            q1.push_back(e.ns);
    for (size_t i = 1; i < q1.size(); i++) {
        double gap = (q1[i] - q1[i - 1]) / 1e9;
        EXPECT_GT(gap, 0.95);
        EXPECT_LT(gap, 1.4);
    }
}

TEST_F(UpsChanPipe, WordSplitAcrossWritesIsReadWhole)
{
    start("QE1000");
    uint32_t w = UPSCMD_REFRESH;
    const char *b = reinterpret_cast<const char *>(&w);
    ASSERT_EQ(write(chan->cmd, b, 1), 1);
    usleep(300000);
    ASSERT_EQ(write(chan->cmd, b + 1, 2), 2);
    usleep(300000);
    ASSERT_EQ(write(chan->cmd, b + 3, 1), 1);
    EXPECT_EQ(chan->next_reply(3000), std::optional<uint32_t>(0xF0000001));
    EXPECT_EQ(peek(info->ups.ui.CommStatus), COMM_ESTABLISHED);
}

TEST_F(UpsChanPipe, EndOfFileEndsTheProcessWithItsMessage)
{
    start("QE1000");
    chan->close_cmd();
    ASSERT_TRUE(chan->ended(3000));
    ASSERT_TRUE(WIFEXITED(chan->status));
    EXPECT_EQ(WEXITSTATUS(chan->status), 0);
    EXPECT_NE(debug_log().find("0. read actpipe error, exit\n"), std::string::npos) << debug_log();
    EXPECT_EQ(chan->next_reply(500), std::optional<uint32_t>(0x0000FFFF));

    // Half a word, then the end: the same, with the count.
    testutil::write_file(sysroot_path(SP_DEBUGLOG), "");
    run(3);
    ASSERT_TRUE(connected(5000));
    uint32_t w = UPSCMD_REFRESH;
    ASSERT_EQ(write(chan->cmd, &w, 2), 2);
    chan->close_cmd();
    ASSERT_TRUE(chan->ended(3000));
    EXPECT_NE(debug_log().find("2. read actpipe error, exit\n"), std::string::npos) << debug_log();
    EXPECT_EQ(chan->next_reply(500), std::optional<uint32_t>(0x0000FFFF));

    // Also without a UPS, where no command is served.
    testutil::write_file(sysroot_path(SP_DEBUGLOG), "");
    run(COMSET_NOUPS);
    ASSERT_TRUE(eventually([&] { return peek(info->ups.ui.CommStatus) == COMM_NOUPS; }, 3000));
    chan->close_cmd();
    ASSERT_TRUE(chan->ended(3000));
    EXPECT_NE(debug_log().find("0. read actpipe error, exit\n"), std::string::npos);
}

TEST_F(UpsChanPipe, ReplyThatCannotBeWrittenEndsTheProcess)
{
    start("QE1000");
    close(chan->reply); // the daemon is gone
    chan->reply = -1;
    chan->send(UPSCMD_REFRESH);
    ASSERT_TRUE(chan->ended(3000));
    ASSERT_TRUE(WIFEXITED(chan->status));
    EXPECT_EQ(WEXITSTATUS(chan->status), EPIPE);
    EXPECT_NE(debug_log().find("ups:write to paspipe error, exit\n"), std::string::npos)
        << debug_log();
}

// The two ways of dropping a unit, in this process: what the record shows
// afterwards and what the module forgets.
TEST(UpsChanDrop, LossAndNoUpsClearWhatTheRecordShowsAboutTheUnit)
{
    testutil::Sysroot root;
    testutil::write_file(sysroot_path(SP_CONFIG), "[UPS]\nChangeBattTime=121,06,30,08,15,00\n");
    AGINFO info{};
    AGENT ag{};
    ag.aip = &info;
    auto fill = [&] {
        ups_init();
        snprintf(ups_st.ups_model_s, sizeof ups_st.ups_model_s, "QA1500");
        snprintf(info.ups.ui.upsmodel, sizeof info.ups.ui.upsmodel, "QA1500");
        ups_st.cf_V = ups_st.cmd_Lfx = ups_st.beTesting = ups_st.buzzerStep = 1;
        ups_st.upsstatus = 0x1000;
        ups_st.comid = 2;
        info.ups.ui.ComId = 2;
        info.ups.ui.CommStatus = COMM_ESTABLISHED;
        info.ups.ui.BattStatus = BATT_WEAK;
        info.ups.ui.BuzzerCan = info.ups.ui.AutoTestCan = info.ups.ui.bAutoReboot = 1;
        info.ups.ui.iDetectionLvl = 3;
        info.ups.ui.ufStatus = 0x4000;
        info.ups.ui.upsstat = UPSST_UTILFAIL;
        info.ups.ui.upsdata.InPutINT = 100;
        info.ups.ui.upsdata.Load = 20;
        info.ups.ui.PreChangeBatt = UPS_TIMEINFO{123, 4, 1, 0, 0, 0, 0};
        info.ups.upsstat = UPSF_TEST | UPSF_TESTENDED | UPSF_BATTDISC | UPSF_UTILFAIL;
    };

    fill();
    EXPECT_EQ(ups_lostcomm(&ag), 0);
    EXPECT_EQ(ups_st.comfd, -1);
    EXPECT_EQ(ups_st.comid, -1);
    EXPECT_EQ(info.ups.ui.ComId, COMID_NONE);
    EXPECT_EQ(info.ups.ui.CommStatus, COMM_LOST);
    EXPECT_EQ(info.ups.ui.BattStatus, 0);
    EXPECT_EQ(info.ups.ui.BuzzerCan + info.ups.ui.AutoTestCan, 0);
    EXPECT_EQ(info.ups.ui.upsdata.InPutINT + info.ups.ui.upsdata.Load, 0);
    EXPECT_STREQ(info.ups.ui.upsmodel, "");
    EXPECT_EQ(info.ups.upsstat, UPSF_UTILFAIL);
    // A QA unit's battery date comes back from the configuration.
    EXPECT_EQ(info.ups.ui.PreChangeBatt.year, 121);
    EXPECT_EQ(info.ups.ui.PreChangeBatt.month, 6);
    EXPECT_EQ(info.ups.ui.PreChangeBatt.day, 30);
    EXPECT_EQ(info.ups.ui.PreChangeBatt.hour, 8);
    EXPECT_STREQ(ups_st.ups_model_s, "");
    EXPECT_EQ(ups_st.cf_V + ups_st.cmd_Lfx + ups_st.beTesting + ups_st.buzzerStep, 0);
    EXPECT_EQ(ups_st.upsstatus, 0u);
    // Settings the daemon shows are not the link's to clear.
    EXPECT_EQ(info.ups.ui.bAutoReboot, 1);
    EXPECT_EQ(info.ups.ui.iDetectionLvl, 3);

    fill();
    EXPECT_EQ(ups_comnone(&ag), 0);
    EXPECT_EQ(ups_st.comid, -2);
    EXPECT_EQ(info.ups.ui.ComId, COMID_NOUPS);
    EXPECT_EQ(info.ups.ui.CommStatus, COMM_NOUPS);
    EXPECT_EQ(info.ups.ui.BattStatus + info.ups.ui.upsstat, 0);
    EXPECT_EQ(info.ups.ui.BuzzerCan + info.ups.ui.AutoTestCan + info.ups.ui.bAutoReboot +
                  info.ups.ui.iDetectionLvl + info.ups.ui.bACPI,
              0);
    EXPECT_EQ(info.ups.ui.ufStatus, 0);
    EXPECT_EQ(info.ups.ui.upsdata.InPutINT + info.ups.ui.upsdata.Load, 0);
    EXPECT_STREQ(info.ups.ui.upsmodel, "");
    EXPECT_EQ(ups_st.cf_V + ups_st.cmd_Lfx + ups_st.beTesting + ups_st.buzzerStep, 0);
    // The flag word and the battery date stay.
    EXPECT_EQ(info.ups.upsstat, UPSF_TEST | UPSF_TESTENDED | UPSF_BATTDISC | UPSF_UTILFAIL);
    EXPECT_EQ(info.ups.ui.PreChangeBatt.year, 123);
    ups_fini();
}

} // namespace
