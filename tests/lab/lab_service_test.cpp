// The agent as a service manager runs it: a child of process 1 with the
// manager's notification socket.  It says it is ready once it listens and
// its UPS process runs, keeps the watchdog fed, logs a power event to the
// system log, and ends in order on SIGTERM and on the agent manager's stop
// request (status 0, so that a restart on failure leaves it stopped), but
// with a failure status when its UPS process dies (so that it is restarted).
#include "lab/lab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace
{

using lab::Fd;
using lab::LabHost;
using lab::LabNet;
using testutil::eventually;
using testutil::mono_ns;

// Generous for two loaded cores under a sanitizer.
constexpr int kStart = 15000;
constexpr int kStop = 15000;
// The UPS channel waits 3 s, then searches for the UPS.
constexpr int kComm = 30000;
// The agent's event-log id of its own stop.
constexpr int kStopEvent = 8;

// A datagram socket bound at path in the test's namespaces; the agent
// reaches it through the file system from inside its host.
Fd bind_dgram(const std::string &path)
{
    Fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path)
        return Fd();
    path.copy(a.sun_path, path.size());
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0)
        return Fd();
    return fd;
}

// The datagrams of fd, with their arrival, read as they come.
struct Inbox {
    Fd fd;
    std::vector<std::pair<int64_t, std::string>> got;
    // Waits until a datagram satisfying pred arrives; its index or -1.
    template <class Pred> int wait(Pred pred, int timeout_ms)
    {
        int64_t end = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
        for (size_t next = got.size();;) {
            for (; next < got.size(); next++)
                if (pred(got[next].second))
                    return static_cast<int>(next);
            int64_t left = (end - mono_ns()) / 1000000;
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, left > 0 ? static_cast<int>(left) : 0) <= 0)
                return -1;
            char buf[2048];
            ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n >= 0)
                got.emplace_back(mono_ns(), std::string(buf, static_cast<size_t>(n)));
        }
    }
    int wait_text(const std::string &text, int timeout_ms)
    {
        return wait([&](const std::string &s) { return s == text; }, timeout_ms);
    }
    // Those sent since the mark that arrived so far (the sender is gone).
    size_t count(const std::string &text, int64_t since)
    {
        wait([](const std::string &) { return false; }, 0);
        return static_cast<size_t>(std::count_if(got.begin(), got.end(), [&](const auto &g) {
            return g.first >= since && g.second == text;
        }));
    }
};

// The process id of pid as its own PID namespace sees it.
std::string inner_pid(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("NSpid:", 0) == 0)
            return line.substr(line.find_last_of(" \t") + 1);
    return "";
}

bool listens_on_4112(LabHost &h)
{
    std::vector<std::string> l = h.tcp_listeners();
    return std::any_of(l.begin(), l.end(), [](const std::string &s) {
        return s.size() > 5 && s.compare(s.size() - 5, 5, ":4112") == 0;
    });
}

// A system-log line of facility daemon, from the agent.
bool daemon_line(const std::string &s)
{
    int pri = -1;
    return sscanf(s.c_str(), "<%d>", &pri) == 1 && (pri >> 3) == 3 &&
           s.find("voltmirad[") != std::string::npos;
}

} // namespace

TEST(LabService, ReadyWatchdogAndAnOrderlyStopUnderTheServiceManager)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    lab::HostOptions opt;
    // A long battery: pulling the mains raises events, never a shutdown.
    opt.config = "[ UPS ]\nAgentType = 4\nGroup = Lab Service\n"
                 "[ ShutDown ]\nEXPECTBLIFE = 3600\nFIRSTWARN = 0\nINTERVAL = 60\n";
    LabHost &a = net->add_host("a", opt);
    testutil::UpsSim &ups = a.attach_ups();
    const std::string notify = a.at("/notify");
    Inbox mgr{bind_dgram(notify), {}};
    Inbox syslog{bind_dgram(a.at("/dev/log")), {}};
    ASSERT_TRUE(mgr.fd.valid() && syslog.fd.valid()) << notify;
    LabHost::AgentStart service;
    service.env = {"NOTIFY_SOCKET=" + notify, "WATCHDOG_USEC=2000000"};
    service.under_init = true;

    // Ready only once the agent listens and its UPS process runs.
    ASSERT_EQ(a.start_agent(service), 0);
    auto is_ready = [](const std::string &s) { return s.rfind("READY=1\n", 0) == 0; };
    int ready = mgr.wait(is_ready, kStart);
    ASSERT_GE(ready, 0) << a.console() << a.debug_log();
    EXPECT_TRUE(listens_on_4112(a)) << "ready before listening";
    const pid_t daemon = a.daemon_pid();
    EXPECT_GT(a.ups_pid(), 0) << "ready before the UPS process runs";
    ASSERT_GT(daemon, 0);
    EXPECT_EQ(mgr.got[static_cast<size_t>(ready)].second, "READY=1\nMAINPID=" + inner_pid(daemon));

    // Fed from the loop: a ping every half second of a 2 s watchdog.
    const int64_t fed = mono_ns();
    mgr.wait([](const std::string &) { return false; }, 4000);
    EXPECT_GE(mgr.count("WATCHDOG=1", fed), 3u);

    // A power event reaches the system log.
    AGINFO *ai = a.aginfo();
    ASSERT_NE(ai, nullptr);
    ASSERT_TRUE(eventually([&] { return ai->ups.ui.CommStatus == COMM_ESTABLISHED; }, kComm))
        << a.debug_log();
    ASSERT_EQ(ups.control("mains off"), "OK");
    EXPECT_GE(syslog.wait(daemon_line, kComm), 0) << "no system-log line of facility daemon";
    ASSERT_EQ(ups.control("mains on"), "OK");

    // SIGTERM: an orderly stop, exit status 0.
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_GE(mgr.wait_text("STOPPING=1", kStop), 0);
    EXPECT_EQ(a.wait_foreground(kStop), 0) << a.debug_log();
    std::vector<int> ids = a.event_ids();
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.back(), kStopEvent);
    EXPECT_EQ(a.segment_id(), -1) << "the shared record is left";
    EXPECT_TRUE(a.wait_agent_gone(kStop));
    EXPECT_NE(a.debug_log().find("daemon_doagent: receive stop signal\n"), std::string::npos);

    // The agent manager's stop request is as orderly; the death of the UPS
    // process is a failure, told as one.
    for (bool by_manager : {true, false}) {
        SCOPED_TRACE(by_manager ? "manager's stop" : "UPS process killed");
        const int64_t t = mono_ns();
        ASSERT_EQ(a.start_agent(service), 0);
        ASSERT_GE(mgr.wait(is_ready, kStart), 0);
        const pid_t ups_pid = a.ups_pid();
        ASSERT_GT(ups_pid, 0);
        if (by_manager)
            ASSERT_TRUE(a.request_stop());
        else
            ASSERT_EQ(kill(ups_pid, SIGKILL), 0);
        int status = a.wait_foreground(kStop);
        if (by_manager)
            EXPECT_EQ(status, 0);
        else
            EXPECT_TRUE(status > 0 && status < 128) << status;
        EXPECT_EQ(mgr.count("STOPPING=1", t), by_manager ? 1u : 0u);
        EXPECT_TRUE(a.wait_agent_gone(kStop));
    }
    EXPECT_EQ(a.sanitizer_reports(), "");
}

TEST(LabService, ASigtermAfterTheDeadlineTellsTheUpsBeforeTheAgentGoes)
{
    // Type 6 waits two minutes of grace after its deadline.  Someone shuts
    // the host down at the warning: the service manager's SIGTERM comes
    // during that wait, and the UPS must still hear its switch-off (after
    // 30 s: "S.5"), the agent's shutdown must still run.
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    lab::HostOptions opt;
    opt.config = "[ UPS ]\nAgentType = 6\nIgnoreOtherAgentDown = 0\nGroup = Lab Service\n"
                 "[ ShutDown ]\nEXPECTBLIFE = 5\nFIRSTWARN = 0\nINTERVAL = 60\n"
                 "TurnOffDelay = 30\n";
    LabHost &a = net->add_host("a", opt);
    testutil::UpsSim &ups = a.attach_ups();
    Inbox mgr{bind_dgram(a.at("/notify")), {}};
    ASSERT_TRUE(mgr.fd.valid());
    LabHost::AgentStart service;
    service.env = {"NOTIFY_SOCKET=" + a.at("/notify")};
    service.under_init = true;
    ASSERT_EQ(a.start_agent(service), 0);
    ASSERT_GE(mgr.wait([](const std::string &m) { return m.rfind("READY=1\n", 0) == 0; }, kStart),
              0)
        << a.debug_log();
    const pid_t daemon = a.daemon_pid();
    ASSERT_GT(daemon, 0);
    AGINFO *ai = a.aginfo();
    ASSERT_NE(ai, nullptr);
    ASSERT_TRUE(eventually([&] { return ai->ups.ui.CommStatus == COMM_ESTABLISHED; }, kComm))
        << a.debug_log();

    ASSERT_EQ(ups.control("mains off"), "OK");
    // The deadline: 5 s of battery and a pass or two; the grace runs on.
    ASSERT_TRUE(eventually([&] { return ai->ups.ui.ShutdownS == 1; }, kComm)) << a.debug_log();
    EXPECT_FALSE(ups.wait_rx("S.5\r", 0).has_value()) << "told before the grace was over";
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_TRUE(ups.wait_rx("S.5\r", 40000).has_value()) << a.debug_log();
    // The process became the system's shutdown (a recording stand-in here).
    EXPECT_EQ(a.wait_foreground(40000), 0) << a.debug_log();
    EXPECT_NE(a.fake_record().find("/sbin/shutdown [-h] [-t0] [0]\n"), std::string::npos)
        << a.fake_record();
    EXPECT_NE(a.debug_log().find("own shutdown under way, the UPS is told first"),
              std::string::npos);
    EXPECT_EQ(a.sanitizer_reports(), "");
}
