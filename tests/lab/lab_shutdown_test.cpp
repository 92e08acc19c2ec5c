// A mains failure, end to end, with the real agents and the test UPS: a
// monitor sees the countdown, the UPS is told to switch off after its
// delay, the monitors and the group hear that the agent goes down, the
// system's shutdown runs once, and a second agent of the group follows; a
// mains return before the deadline leaves everything running.
#include "lab/lab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <poll.h>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace
{

using lab::Fd;
using lab::LabHost;
using lab::LabNet;
using testutil::eventually;
using testutil::mono_ns;

// Battery life and warnings from the first second on, every kWarnEvery s.
// Agent type 4 has no grace period: the deadline is the shutdown.
constexpr int kLife = 20;
constexpr int kWarnEvery = 5;
// Generous for two loaded cores under a sanitizer: a pass of the agent's
// loop is a second, the UPS channel searches for 3 s before its first poll.
constexpr int kSlack = 30000;
constexpr int64_t kSec = 1000000000LL;

std::string config(int ignore_others, int turn_off_delay)
{
    return "[ UPS ]\nAgentType = 4\nGroup = Lab Power\nIgnoreOtherAgentDown = " +
           std::to_string(ignore_others) +
           "\n[ ShutDown ]\nEXPECTBLIFE = " + std::to_string(kLife) +
           "\nFIRSTWARN = 0\nINTERVAL = " + std::to_string(kWarnEvery) +
           "\nTurnOffDelay = " + std::to_string(turn_off_delay) + "\n";
}

struct Heard {
    int64_t ns;
    std::string from; // sender's address (datagrams)
    std::string text; // kind 79: the message
    uint8_t kind;
    int32_t cmd; // kind 240: eAdd / Delete
};

// A monitor host's view of the agents: one monitor connection, and the
// broadcast ports of the monitors (4113) and of the agents (4114).
struct Watch {
    Fd tcp, monitors, agents;
    std::vector<Heard> heard;

    // Takes in all that has arrived, waiting at most ms for the first.
    void pump(int ms)
    {
        struct pollfd p[3] = {{tcp, POLLIN, 0}, {monitors, POLLIN, 0}, {agents, POLLIN, 0}};
        if (poll(p, 3, ms) <= 0)
            return;
        if (p[0].revents & POLLIN) {
            std::string pk = lab::read_packet(tcp, 2000);
            if (pk.size() >= sizeof(UPS_PACKET_HEAD) && lab::head_of(pk).DataId == PK_MESSAGE)
                heard.push_back({mono_ns(), "", pk.substr(8).c_str(), PK_MESSAGE, 0});
        }
        for (int i = 1; i < 3; i++) {
            if (!(p[i].revents & POLLIN))
                continue;
            auto d = lab::recv_datagram(p[i].fd, 0);
            if (!d || d->bytes.size() < sizeof(UPS_PACKET_HEAD))
                continue;
            uint8_t kind = lab::head_of(d->bytes).DataId;
            int32_t cmd = kind == PK_ANSAGENT ? lab::record_at<UPS_ANSAGENT>(d->bytes, 8).cmd : 0;
            heard.push_back({d->ns, d->from, "", kind, cmd});
        }
    }
    // Pumps until cond holds; whether it did within ms.
    bool until(const std::function<bool()> &cond, int ms)
    {
        int64_t end = mono_ns() + static_cast<int64_t>(ms) * 1000000;
        while (!cond()) {
            if (mono_ns() >= end)
                return false;
            pump(20);
        }
        return true;
    }
    std::vector<Heard> messages(const std::string &starting) const
    {
        std::vector<Heard> v;
        for (const Heard &h : heard)
            if (h.kind == PK_MESSAGE && h.text.rfind(starting, 0) == 0)
                v.push_back(h);
        return v;
    }
    // Datagrams of a kind from one address (with cmd for kind 240).
    std::vector<Heard> datagrams(uint8_t kind, const std::string &from, int32_t cmd = 0) const
    {
        std::vector<Heard> v;
        for (const Heard &h : heard)
            if (h.kind == kind && h.from == from && h.cmd == cmd)
                v.push_back(h);
        return v;
    }
};

Watch watch(LabHost &m, LabHost &a)
{
    Watch w;
    w.monitors = lab::udp_open(m, NET_PORT_MONITOR_UDP);
    w.agents = lab::udp_open(m, NET_PORT_AGENT_UDP);
    w.tcp = lab::tcp_connect(m, a.addr(), NET_PORT_AGENT_TCP);
    return w;
}

void start(LabHost &h)
{
    ASSERT_EQ(h.start_agent(), 0) << h.console();
    ASSERT_TRUE(h.wait_agent_up(10000)) << h.debug_log();
    AGINFO *ai = h.aginfo();
    ASSERT_NE(ai, nullptr);
    ASSERT_TRUE(eventually([&] { return ai->ups.ui.CommStatus == COMM_ESTABLISHED; }, kSlack))
        << h.debug_log();
}

// The shutdown commands the test UPS received ("S.5\r", "S02\r", ...).
std::vector<testutil::UpsSim::Entry> shutdown_commands(const testutil::UpsSim &ups)
{
    static const std::regex form("Sf?(\\.[0-9]|[0-9]{2})(R[0-9]{4,5})?\r");
    std::vector<testutil::UpsSim::Entry> v;
    for (const auto &e : ups.transcript("RX"))
        if (std::regex_match(e.bytes, form))
            v.push_back(e);
    return v;
}

size_t shutdown_calls(const LabHost &h)
{
    return testutil::count_of(h.fake_record(), "/sbin/shutdown");
}

// Whether want appears in have in this order (other ids between).
bool in_order(const std::vector<int> &have, const std::vector<int> &want)
{
    size_t i = 0;
    for (int id : have)
        if (i < want.size() && id == want[i])
            i++;
    return i == want.size();
}

std::string shown(const std::vector<int> &ids)
{
    std::string s;
    for (int id : ids)
        s += std::to_string(id) + " ";
    return s;
}

const char kWarning[] = "UPS Ac fail, System will be shut down in ";
const char kTimeUp[] = "Time is up! System shutdown will be executed soon";

} // namespace

TEST(LabShutdown, AMainsFailureShutsThisHostDownOnceAndThenItsGroup)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    lab::HostOptions oa, ob;
    oa.config = config(1, 30);  // off in 30 s: "S.5"
    ob.config = config(0, 120); // follows its group; off in 2 minutes: "S02"
    LabHost &a = net->add_host("a", oa);
    LabHost &b = net->add_host("b", ob);
    LabHost &m = net->add_host("m");
    testutil::UpsSim &ups_a = a.attach_ups();
    testutil::UpsSim &ups_b = b.attach_ups();
    start(a);
    start(b);
    if (HasFatalFailure())
        return;
    Watch w = watch(m, a);
    ASSERT_TRUE(w.tcp.valid() && w.monitors.valid() && w.agents.valid());

    const int64_t off = mono_ns();
    ASSERT_EQ(ups_a.control("mains off"), "OK");
    // The countdown, then the deadline.
    ASSERT_TRUE(w.until([&] { return !w.messages(kTimeUp).empty(); }, kLife * 1000 + kSlack))
        << a.debug_log();
    const int64_t time_up = w.messages(kTimeUp).front().ns;
    EXPECT_GE(time_up - off, (kLife - 1) * kSec) << "the battery life was cut short";

    std::vector<Heard> warnings = w.messages(kWarning);
    ASSERT_GE(warnings.size(), 2u);

    EXPECT_LT(warnings.front().ns - off, kSlack / 2 * 1000000LL) << "the failure was seen late";
    static const std::regex form("UPS Ac fail, System will be shut down in 0 minute\\(s\\) and "
                                 "([0-9]+) second\\(s\\)\\.");
    // Each warning at least the interval after the one before (the first
    // may come twice: the call after a new reason begins its count again).
    int last = -1;
    for (const Heard &h : warnings) {
        std::smatch mt;
        ASSERT_TRUE(std::regex_match(h.text, mt, form)) << h.text;
        int left = std::stoi(mt[1]);
        if (last < 0) {
            EXPECT_GE(left, kLife - 2) << h.text;
        } else if (left != last) {
            EXPECT_GE(last - left, kWarnEvery - 1) << h.text;
        }
        EXPECT_LT(h.ns, time_up);
        last = left;
    }

    // The UPS is told to switch off after its delay, the agent goes down
    // and the system's shutdown takes its place, once.
    ASSERT_TRUE(a.wait_agent_gone(kSlack)) << a.debug_log();
    ASSERT_TRUE(ups_a.wait_rx("S.5\r", 5000).has_value());
    auto cmds = shutdown_commands(ups_a);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_GE(cmds[0].ns - off, (kLife - 1) * kSec);
    EXPECT_NE(ups_a.get("shutdown"), "none");
    EXPECT_EQ(shutdown_calls(a), 1u) << a.fake_record();
    EXPECT_NE(a.fake_record().find("/sbin/shutdown [-h] [-t0] [0]\n"), std::string::npos)
        << a.fake_record();
    EXPECT_TRUE(in_order(a.event_ids(), {65, 129, 22, 8})) << shown(a.event_ids());

    // The monitors heard it go down, the other agents were told to follow:
    // three times with the last message, three times before the shutdown.
    w.until(
        [&] {
            return w.datagrams(PK_ANSAGENT, a.addr(), Delete).size() >= 6 &&
                   w.datagrams(PK_SHUTDOWN, a.addr()).size() >= 6;
        },
        5000);
    std::vector<Heard> down = w.datagrams(PK_ANSAGENT, a.addr(), Delete);
    std::vector<Heard> asked = w.datagrams(PK_SHUTDOWN, a.addr());
    EXPECT_EQ(down.size(), 6u);
    EXPECT_EQ(asked.size(), 6u);
    ASSERT_FALSE(down.empty() || asked.empty());
    EXPECT_GE(down.front().ns - off, (kLife - 1) * kSec);
    EXPECT_GE(asked.front().ns - off, (kLife - 1) * kSec);

    // The second agent of the group follows: its own UPS off after its own
    // delay, its own shutdown, and its own word to the rest of the group.
    ASSERT_TRUE(b.wait_agent_gone(kSlack))
        << "the second agent did not follow the group's shutdown request\n"
        << b.debug_log();
    EXPECT_EQ(shutdown_calls(b), 1u) << b.fake_record();
    EXPECT_NE(b.fake_record().find("/sbin/shutdown [-h] [-t0] [0]\n"), std::string::npos);
    auto cmds_b = shutdown_commands(ups_b);
    ASSERT_EQ(cmds_b.size(), 1u);
    EXPECT_EQ(cmds_b[0].bytes, "S02\r");
    EXPECT_GE(cmds_b[0].ns - off, (kLife - 1) * kSec) << "not before the first one's deadline";
    ASSERT_TRUE(w.until([&] { return !w.datagrams(PK_SHUTDOWN, b.addr()).empty(); }, 5000));
    EXPECT_TRUE(in_order(b.event_ids(), {22, 8})) << shown(b.event_ids());
    EXPECT_EQ(a.sanitizer_reports() + b.sanitizer_reports(), "");
}

TEST(LabShutdown, AMainsReturnBeforeTheDeadlineCancelsEverything)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    lab::HostOptions oa, ob;
    oa.config = config(1, 30);
    ob.config = config(0, 120);
    LabHost &a = net->add_host("a", oa);
    LabHost &b = net->add_host("b", ob);
    LabHost &m = net->add_host("m");
    testutil::UpsSim &ups_a = a.attach_ups();
    b.attach_ups();
    start(a);
    start(b);
    if (HasFatalFailure())
        return;
    const pid_t daemon_a = a.daemon_pid(), daemon_b = b.daemon_pid();
    Watch w = watch(m, a);
    ASSERT_TRUE(w.tcp.valid() && w.monitors.valid() && w.agents.valid());

    const int64_t off = mono_ns();
    ASSERT_EQ(ups_a.control("mains off"), "OK");
    ASSERT_TRUE(w.until([&] { return !w.messages(kWarning).empty(); }, kSlack));
    AGINFO *ai = a.aginfo();
    ASSERT_NE(ai, nullptr);
    EXPECT_TRUE(eventually([&] { return ai->ups.ui.nextdown.year != 0; }, 5000))
        << "the monitors are not shown the shutdown time";
    ASSERT_EQ(ups_a.control("mains on"), "OK");
    ASSERT_TRUE(w.until([&] { return !w.messages("UPS AC Restore").empty(); }, kSlack));
    EXPECT_TRUE(eventually([&] { return ai->ups.ui.nextdown.year == 0; }, 5000))
        << "the displayed shutdown time stays";

    // Past the old deadline, with room for a late tick: nothing happened.
    const int64_t past = off + (kLife + 10) * kSec;
    while (mono_ns() < past)
        w.pump(50);
    EXPECT_TRUE(w.messages(kTimeUp).empty());
    EXPECT_TRUE(w.datagrams(PK_ANSAGENT, a.addr(), Delete).empty());
    EXPECT_TRUE(w.datagrams(PK_SHUTDOWN, a.addr()).empty());
    EXPECT_TRUE(shutdown_commands(ups_a).empty());
    EXPECT_EQ(shutdown_calls(a) + shutdown_calls(b), 0u) << a.fake_record() << b.fake_record();
    EXPECT_EQ(a.daemon_pid(), daemon_a);
    EXPECT_EQ(b.daemon_pid(), daemon_b);
    std::vector<int> ev = a.event_ids();
    EXPECT_TRUE(in_order(ev, {65, 0})) << shown(ev);
    for (int id : {129, 22, 8})
        EXPECT_EQ(std::count(ev.begin(), ev.end(), id), 0) << id << " in " << shown(ev);
    EXPECT_EQ(a.sanitizer_reports() + b.sanitizer_reports(), "");
}
