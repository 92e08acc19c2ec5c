// The agent under a service manager: which environments make it talk to
// the manager's socket and what arrives there, how often the watchdog is
// pinged, and SIGTERM as a stop request with the exit status it leads to.
#include "agent/agent_svc.h"
#include "agent/sysclock.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace
{

// A datagram socket standing for the service manager's.
struct Manager {
    int fd = -1;
    explicit Manager(const std::string &name)
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        socklen_t len = sizeof(sa_family_t) + name.size() + 1;
        name.copy(a.sun_path, sizeof a.sun_path - 1);
        if (name[0] == '@') {
            a.sun_path[0] = '\0';
            len--; // abstract: no terminator
        }
        EXPECT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&a), len), 0) << name;
    }
    ~Manager() { close(fd); }
    std::vector<std::string> received() const
    {
        std::vector<std::string> v;
        char buf[256];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
            v.emplace_back(buf, static_cast<size_t>(n));
        return v;
    }
};

void setenv_or_unset(const char *name, const char *value)
{
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

class Svc : public testing::Test
{
  protected:
    testutil::TempDir dir_;
    void SetUp() override { sysclock_fake(1700000000, 100.0); }
    void TearDown() override
    {
        svc_fini();
        sysclock_real();
        for (const char *v : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
            unsetenv(v);
    }
    void start(const char *sock, const char *usec, const char *pid = nullptr)
    {
        setenv_or_unset("NOTIFY_SOCKET", sock);
        setenv_or_unset("WATCHDOG_USEC", usec);
        setenv_or_unset("WATCHDOG_PID", pid);
        ASSERT_EQ(svc_init(), 0);
    }
};

} // namespace

// Start-up environments: what reaches the manager's socket from the
// readiness and one watchdog pass, and that the agent's own children will
// not see the manager's variables.
TEST_F(Svc, EnvironmentsDecideWhatReachesTheManager)
{
    const std::string path = dir_.path() + "/notify";
    const std::string abstract = "@voltmira-svc-" + std::to_string(getpid());
    Manager by_path(path), by_name(abstract);
    const std::string me = std::to_string(getpid());
    const std::string other = std::to_string(getpid() + 1);
    const std::string too_long = "/" + std::string(sizeof(sockaddr_un::sun_path), 'x');
    const std::string ready = "READY=1\nMAINPID=" + me;
    enum Where { NONE, PATH, ABSTRACT };
    struct Row {
        const char *why;
        const char *sock, *usec, *pid;
        Where where;
        bool watchdog;
    } rows[] = {
        {"not started as a service", nullptr, "2000000", nullptr, NONE, false},
        {"empty socket", "", nullptr, nullptr, NONE, false},
        {"relative path", "notify", nullptr, nullptr, NONE, false},
        {"path too long", too_long.c_str(), nullptr, nullptr, NONE, false},
        {"abstract without a name", "@", nullptr, nullptr, NONE, false},
        {"path, no watchdog", path.c_str(), nullptr, nullptr, PATH, false},
        {"abstract with watchdog", abstract.c_str(), "2000000", nullptr, ABSTRACT, true},
        {"watchdog for this pid", path.c_str(), "2000000", me.c_str(), PATH, true},
        {"watchdog for another pid", path.c_str(), "2000000", other.c_str(), PATH, false},
        {"watchdog pid garbage", path.c_str(), "2000000", "12ab", PATH, false},
        {"usec zero", path.c_str(), "0", nullptr, PATH, false},
        {"usec empty", path.c_str(), "", nullptr, PATH, false},
        {"usec with unit", path.c_str(), "20s", nullptr, PATH, false},
        {"usec signed", path.c_str(), "+2000000", nullptr, PATH, false},
        {"usec blank", path.c_str(), " 2000000", nullptr, PATH, false},
        {"usec overflow", path.c_str(), "99999999999999999999999", nullptr, PATH, false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.why);
        start(r.sock, r.usec, r.pid);
        EXPECT_EQ(getenv("NOTIFY_SOCKET"), nullptr);
        EXPECT_EQ(getenv("WATCHDOG_USEC"), nullptr);
        EXPECT_EQ(getenv("WATCHDOG_PID"), nullptr);
        EXPECT_EQ(svc_notify("STATUS=probe"), r.where == NONE ? 1 : 0);
        svc_ready();
        svc_ready(); // once only
        svc_watchdog();
        svc_stopping();
        std::vector<std::string> want;
        if (r.where != NONE) {
            want = {"STATUS=probe", ready};
            if (r.watchdog)
                want.push_back("WATCHDOG=1");
            want.push_back("STOPPING=1");
        }
        EXPECT_EQ(by_path.received(), r.where == PATH ? want : std::vector<std::string>{});
        EXPECT_EQ(by_name.received(), r.where == ABSTRACT ? want : std::vector<std::string>{});
        EXPECT_EQ(svc_st.watchdog_s, r.watchdog ? 2.0 : 0.0);
    }
    // A manager that went away costs the agent nothing but the datagram.
    start(path.c_str(), nullptr);
    unlink(path.c_str());
    EXPECT_EQ(svc_notify("READY=1"), -1);
}

// The watchdog is pinged once per quarter of its period, however many
// passes the loop makes, and at once on the first pass after a stall.
TEST_F(Svc, WatchdogPingsAQuarterPeriodApartNotEveryPass)
{
    const std::string path = dir_.path() + "/notify";
    Manager m(path);
    start(path.c_str(), "2000000"); // 2 s: a ping every 0.5 s
    auto pings = [&] { return m.received().size(); };
    for (int pass = 0; pass < 32; pass++) { // 4 s of passes 1/8 s apart
        svc_watchdog();
        sysclock_advance(0.125);
    }
    EXPECT_EQ(pings(), 8u);
    svc_watchdog();
    EXPECT_EQ(pings(), 1u) << "0.5 s after the last ping";
    sysclock_advance(0.375);
    svc_watchdog();
    EXPECT_EQ(pings(), 0u) << "0.375 s after the last ping";
    sysclock_advance(30); // one long pass
    svc_watchdog();
    svc_watchdog();
    EXPECT_EQ(pings(), 1u);
}

// Under process 1, SIGTERM asks for a stop instead of ending the process;
// such a stop exits 0, and every other way out stays a failure, whatever
// errno was left at.
TEST_F(Svc, SigtermIsAStopRequestAndAnAskedStopExitsZero)
{
    struct Row {
        bool orderly;
        int err, status;
    } rows[] = {{false, 0, 1}, {false, 5, 5}, {false, 256, 1}, {true, 5, 0}, {true, 0, 0}};
    for (const Row &r : rows) {
        svc_fini();
        if (r.orderly)
            svc_orderly();
        EXPECT_EQ(svc_exitstatus(r.err), r.status) << r.orderly << " " << r.err;
    }
    svc_fini();
    ASSERT_FALSE(svc_stop_requested());
    ASSERT_EQ(svc_catchterm(), 0);
    ASSERT_EQ(raise(SIGTERM), 0);
    EXPECT_TRUE(svc_stop_requested());
    svc_fini();
    EXPECT_FALSE(svc_stop_requested());
    struct sigaction now;
    ASSERT_EQ(sigaction(SIGTERM, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << "the handler stays after the fini";
}
