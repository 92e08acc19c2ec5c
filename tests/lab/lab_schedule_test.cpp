// Schedules, end to end, on the real clock: one agent whose configuration
// holds a weekly self-test a minute or so ahead and a weekly shutdown a
// minute after it.  The test runs on the test UPS and its result reaches the
// event log; the monitors are warned WARNBEFORESCHE seconds before the
// shutdown; at its instant the host is shut down and the UPS told to switch
// off after its delay and on again when the entry ends.
#include "lab/lab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <vector>

namespace
{

using lab::LabHost;
using lab::LabNet;
using testutil::eventually;
using testutil::mono_ns;

constexpr int kWarnBefore = 50;   // WARNBEFORESCHE
constexpr int kTurnOffDelay = 30; // the UPS goes off 30 s after the command: "S.5"
constexpr int kOffFor = 7200;     // the entry ends two hours after its start
// A pass of the agent's loop is a second; two loaded cores under a
// sanitizer make that several.
constexpr int kSlack = 30000;
constexpr int64_t kSec = 1000000000LL;

// The wall clock for a CLOCK_MONOTONIC reading of this test (transcripts
// and arrivals are stamped on the monotonic clock).
struct WallOfMono {
    int64_t mono = mono_ns();
    time_t wall = time(nullptr);
    double at(int64_t ns) const { return static_cast<double>(wall) + (ns - mono) / 1e9; }
};

// The agent runs without TZ: its local time is the machine's.
struct MachineZone {
    std::string saved;
    bool had;
    MachineZone()
    {
        const char *tz = getenv("TZ");
        had = tz != nullptr;
        saved = had ? tz : "";
        unsetenv("TZ");
        tzset();
    }
    ~MachineZone()
    {
        if (had)
            setenv("TZ", saved.c_str(), 1);
        tzset();
    }
};

// A weekly text for the local minute of t: "minute hour * * weekday".
std::string weekly(time_t t)
{
    struct tm tm;
    localtime_r(&t, &tm);
    return std::to_string(tm.tm_min) + " " + std::to_string(tm.tm_hour) + " * * " +
           std::to_string(tm.tm_wday);
}

std::string config(time_t test_at, time_t down_at)
{
    MachineZone zone;
    return "[ UPS ]\nAgentType = 4\nAutoBoot = 1\n"
           "[ ShutDown ]\nTurnOffDelay = " +
           std::to_string(kTurnOffDelay) + "\nWARNBEFORESCHE = " + std::to_string(kWarnBefore) +
           "\n[ ScheShutDown ]\nSPECIALNO = 0\nMONTHLYNO = 0\nWEEKLYNO = 1\nWEEKLYSTART1 = " +
           weekly(down_at) + "\nWEEKLYEND1 = " + weekly(down_at + kOffFor) +
           "\nWeekScheduleOn1 = 1\n"
           "[ ScheTest ]\nSPECIALNO = 0\nMONTHLYNO = 0\nWEEKLYNO = 1\nWEEKLYSTART1 = " +
           weekly(test_at) + "\nWEEKLYEND1 = " + weekly(test_at + 60) + "\n";
}

// The messages (kind 79) a monitor connection received, with arrival.
struct Heard {
    int64_t ns;
    std::string text;
};

struct Monitor {
    lab::Fd tcp;
    std::vector<Heard> heard;
    bool closed = false; // the agent is gone

    void pump(int ms)
    {
        struct pollfd p = {tcp, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return;
        std::string pk = lab::read_packet(tcp, 2000, &closed);
        if (pk.size() >= sizeof(UPS_PACKET_HEAD) && lab::head_of(pk).DataId == PK_MESSAGE)
            heard.push_back({mono_ns(), pk.substr(8).c_str()});
    }
    const Heard *first(const std::string &starting) const
    {
        for (const Heard &h : heard)
            if (h.text.rfind(starting, 0) == 0)
                return &h;
        return nullptr;
    }
    // Pumps until a message beginning with starting came; it, or null.
    const Heard *wait(const std::string &starting, int ms)
    {
        int64_t end = mono_ns() + static_cast<int64_t>(ms) * 1000000;
        while (first(starting) == nullptr && !closed && mono_ns() < end)
            pump(20);
        return first(starting);
    }
    std::string all() const
    {
        std::string s;
        for (const Heard &h : heard)
            s += h.text + "\n";
        return s;
    }
};

bool has(const std::vector<int> &ids, int id)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

std::string shown(const std::vector<int> &ids)
{
    std::string s;
    for (int id : ids)
        s += std::to_string(id) + " ";
    return s;
}

// A monitor that has not told its language gets the agent's, here the
// untranslated text, with the shutdown's local date and time.
const char kWarning[] = "system shutdown warning begin(schedule:weekly) ";

std::string warning_for(time_t t)
{
    MachineZone zone;
    struct tm tm;
    localtime_r(&t, &tm);
    char s[128];
    snprintf(s, sizeof s, "%s%04dyear %2dmonth %2dday %02d:%02d:00.", kWarning, tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min);
    return s;
}
const char kTimeUp[] = "Time is up! System shutdown will be executed soon";

} // namespace

TEST(LabSchedule, AWeeklySelfTestRunsAndAWeeklyShutdownWarnsShutsDownAndRestoresTheUps)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    // The test on the first whole minute at least 60 s ahead (the agent is
    // up and talking to its UPS within seconds, even on loaded cores under
    // a sanitizer), the shutdown a minute later.
    const time_t test_at = (time(nullptr) + 60 + 59) / 60 * 60;
    const time_t down_at = test_at + 60;
    lab::HostOptions oa;
    oa.config = config(test_at, down_at);
    LabHost &a = net->add_host("a", oa);
    LabHost &m = net->add_host("m");
    testutil::UpsSim &ups = a.attach_ups();
    ASSERT_EQ(ups.control("set tdur 3"), "OK"); // over well before the warning
    ASSERT_EQ(a.start_agent(), 0) << a.console();
    ASSERT_TRUE(a.wait_agent_up(10000)) << a.debug_log();
    AGINFO *ai = a.aginfo();
    ASSERT_NE(ai, nullptr);
    ASSERT_TRUE(eventually([&] { return ai->ups.ui.CommStatus == COMM_ESTABLISHED; }, kSlack))
        << a.debug_log();
    const WallOfMono clock;
    ASSERT_LT(clock.wall, test_at - 5) << "the agent came up too late for its schedule";
    Monitor mon{lab::tcp_connect(m, a.addr(), NET_PORT_AGENT_TCP), {}};
    ASSERT_TRUE(mon.tcp.valid());

    // The self-test: started at its minute, its success logged as the
    // weekly test's.
    auto started = ups.wait_rx("T\r", static_cast<int>(test_at - clock.wall) * 1000 + kSlack);
    ASSERT_TRUE(started.has_value()) << a.debug_log();
    EXPECT_GE(clock.at(started->ns), test_at - 1.0) << "the test started early";
    EXPECT_TRUE(eventually([&] { return has(a.event_ids(), 4); }, kSlack)) << shown(a.event_ids());
    EXPECT_FALSE(has(a.event_ids(), 71)) << shown(a.event_ids());

    // The warning WARNBEFORESCHE before the shutdown, then its instant.
    const Heard *warned =
        mon.wait(kWarning, static_cast<int>(down_at - time(nullptr)) * 1000 + kSlack);
    ASSERT_NE(warned, nullptr) << mon.all() << shown(a.event_ids()) << a.debug_log();
    EXPECT_EQ(warned->text, warning_for(down_at));
    const double warned_at = clock.at(warned->ns);
    EXPECT_GE(warned_at, down_at - kWarnBefore - 1.0) << warned->text;
    EXPECT_LT(warned_at, down_at - kWarnBefore / 2.0) << "warned late: " << warned->text;
    const Heard *up = mon.wait(kTimeUp, static_cast<int>(down_at - time(nullptr)) * 1000 + kSlack);
    ASSERT_NE(up, nullptr) << mon.all() << a.debug_log();
    EXPECT_GE(clock.at(up->ns), down_at - 1.0) << "the deadline came early";

    // The UPS is told: off after its delay, on again when the entry ends
    // (the minutes it stays off count from the off), and the host's own
    // shutdown takes the agent's place, once.
    ASSERT_TRUE(a.wait_agent_gone(kSlack)) << a.debug_log();
    char form[16];
    snprintf(form, sizeof form, "S.%dR%05d\r", kTurnOffDelay / 6, (kOffFor - kTurnOffDelay) / 60);
    auto off = ups.wait_rx(form, 5000);
    ASSERT_TRUE(off.has_value()) << "no \"" << form << "\" in " << ups.get("rx");
    EXPECT_GE(clock.at(off->ns), down_at - 1.0);
    EXPECT_NE(ups.get("shutdown"), "none");
    EXPECT_EQ(testutil::count_of(a.fake_record(), "/sbin/shutdown [-h] [-t0] [0]\n"), 1u)
        << a.fake_record();
    std::vector<int> ev = a.event_ids();
    std::vector<int> order = {4, 75, 131, 22, 8}, seen;
    for (int id : ev)
        if (seen.size() < order.size() && id == order[seen.size()])
            seen.push_back(id);
    EXPECT_EQ(seen, order) << shown(ev);
    EXPECT_EQ(std::count(ev.begin(), ev.end(), 75), 1) << shown(ev);
    EXPECT_EQ(a.sanitizer_reports(), "");
}
