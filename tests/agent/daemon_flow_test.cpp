// What keeps the daemon's loop flowing whoever is on the other side: monitors
// that read slowly or not at all, connections that stop half-way through a
// packet, a listener whose accept fails, a reply word that comes late, a
// lock word whose holder died, and leaving when leaving leads back to
// leaving.  In-process on socketpairs and pipes, with the clock seam where
// time has to pass.
#include "agent/agent_daemon.h"
#include "agent/agent_log.h"
#include "agent/agent_net.h"
#include "agent/net_queue.h"
#include "agent/sysclock.h"
#include "agent/sysroot.h"

#include "daemon_stage.h"
#include "netns.h"
#include "testutil.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <iterator>
#include <poll.h>
#include <string>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using steady = std::chrono::steady_clock;

// The engine: remembers when its periodic request came.
struct Engine {
    static inline std::vector<steady::time_point> ticks;
    static int call(int cmd, UPS_EIN_DATA *in, int *, UPS_EOUT_DATA *)
    {
        if (cmd == EA_CHECKUPS)
            ticks.push_back(steady::now());
        if (cmd == EA_CHECKAGENT && in->DATA.agentevent != nullptr &&
            in->DATA.agentevent->id == AGEV_STOP) {
            printf0("engine logs the stop\n");
            // As when the stop log's write to the UPS process fails.
            net_netexit(&agent);
        }
        return 0;
    }
};

AGINFO aginfo;

class DaemonFlow : public testing::Test
{
  protected:
    testutil::Sysroot root_;
    void SetUp() override
    {
        Engine::ticks.clear();
        ASSERT_EQ(testutil::stage_daemon(&agent, &aginfo, Engine::call), 0);
        sysclock_fake(1700000000, 1000.0);
    }
    void TearDown() override
    {
        sysclock_real();
        for (int fd : fds_)
            close(fd);
        testutil::unstage_daemon(&agent);
    }
    // A monitor at 192.0.2.<host>: the daemon's end is registered, the
    // test's end returned.
    int monitor(int host)
    {
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0xC0000200u + static_cast<uint32_t>(host));
        int fd = testutil::stage_monitor(&agent, &a);
        EXPECT_GE(fd, 0);
        if (fd >= 0)
            fds_.push_back(fd);
        return fd;
    }
    std::vector<int> fds_;
};

std::string request16()
{
    return testutil::head(PK_GETUPSINFO, 8);
}

bool sees_end(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    char buf[4096];
    while (poll(&p, 1, 2000) == 1) {
        ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (r <= 0)
            return r == 0 || errno == ECONNRESET;
    }
    return false;
}

} // namespace

// A full table of monitors on TCP that each read a little every 150 ms while
// asking on, and one among them that asks and never reads: the engine's
// periodic request still comes within every second and a half, and no
// monitor is dropped for reading slowly.
TEST_F(DaemonFlow, SlowMonitorsDoNotDelayTheEnginesCall)
{
    sysclock_real();
    testutil::in_netns([] {
        int lis = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(lis, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(listen(lis, DAEMON_MAXCLIENTS), 0);
        socklen_t alen = sizeof a;
        getsockname(lis, reinterpret_cast<struct sockaddr *>(&a), &alen);
        std::vector<int> ends;
        int small = 4096;
        for (int i = 0; i < DAEMON_MAXCLIENTS; i++) {
            int c = socket(AF_INET, SOCK_STREAM, 0);
            setsockopt(c, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            ASSERT_EQ(connect(c, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
            struct sockaddr_in peer = {};
            socklen_t plen = sizeof peer;
            int d = accept(lis, reinterpret_cast<struct sockaddr *>(&peer), &plen);
            ASSERT_GE(d, 0);
            setsockopt(d, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            ASSERT_EQ(daemon_addclient(&agent.agnet, d, &peer), i);
            ends.push_back(c);
        }
        const std::string req = request16();
        std::string burst;
        for (int k = 0; k < 40; k++)
            burst += req;
        fflush(nullptr);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int fd : ends)
                (void)!send(fd, burst.data(), burst.size(), MSG_NOSIGNAL);
            // Each reads a little every 150 ms, one after the other
            // from the last to the first: the order the loop sends in
            // always finds the next one just past its read.
            char buf[256];
            for (unsigned k = 0;; k++) {
                usleep(150 * 1000 / DAEMON_MAXCLIENTS);
                size_t i = ends.size() - 1 - k % ends.size();
                (void)!send(ends[i], burst.data(), 4 * req.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (i + 1 < ends.size()) // the last one never reads
                    (void)!recv(ends[i], buf, sizeof buf, MSG_DONTWAIT);
            }
        }
        auto start = steady::now();
        while (steady::now() - start < std::chrono::milliseconds(4000))
            ASSERT_EQ(daemon_pass(&agent, 1000), 0);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);

        double worst = 0;
        auto last = start;
        for (auto t : Engine::ticks) {
            worst = std::max(worst, std::chrono::duration<double>(t - last).count());
            last = t;
        }
        EXPECT_LT(worst, 1.5) << "longest wait for the engine's call, s";
        size_t queued = 0;
        int n = 0;
        for (; n < DAEMON_MAXCLIENTS && net_client_p[n].sockfd != -1; n++)
            queued += netq_pending(net_client_p[n].sockfd);
        EXPECT_EQ(n, DAEMON_MAXCLIENTS) << "every monitor is still there";
        EXPECT_GT(queued, 0u) << "the slow readers did fall behind";
    });
}

// Half a packet may wait for its rest for 30 s, then the connection ends; a
// connection that is merely quiet is kept.
TEST_F(DaemonFlow, HalfAPacketHeldThirtySecondsEndsTheConnection)
{
    int half = monitor(1);
    int quiet = monitor(2);
    std::string req = request16() + std::string(12, 'x');
    memcpy(req.data() + 4, "\x14\0\0\0", 4);
    int halfend = net_client_p[0].sockfd;
    ASSERT_EQ(send(half, req.data(), 14, 0), 14);
    EXPECT_EQ(daemon_pass(&agent, 1000), 0);
    sysclock_advance(29);
    EXPECT_EQ(daemon_pass(&agent, 0), 0);
    EXPECT_EQ(daemon_findclient(halfend), 0) << "29 s: still waiting";
    sysclock_advance(1.5);
    EXPECT_EQ(daemon_pass(&agent, 0), 0);
    EXPECT_EQ(daemon_findclient(halfend), -1);
    EXPECT_TRUE(sees_end(half));
    EXPECT_NE(testutil::debuglog().find("half a packet held too long"), std::string::npos);
    sysclock_advance(3600);
    EXPECT_EQ(daemon_pass(&agent, 0), 0);
    ASSERT_EQ(send(quiet, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    EXPECT_EQ(daemon_pass(&agent, 1000), 0);
    struct pollfd p = {quiet, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    char buf[512];
    EXPECT_EQ(recv(quiet, buf, sizeof buf, 0), 228) << "served after an hour's silence";
}

namespace
{

struct Accepts {
    static inline int err;
    static inline int calls;
    static int fail(int, struct sockaddr *, socklen_t *, int)
    {
        calls++;
        errno = err;
        return -1;
    }
};

} // namespace

// Accept errors that name a passing condition of the network or a refused
// attempt leave the loop running; running out of descriptors or memory
// rests the listeners for a second instead of spinning on them; anything
// else means the listener is broken.
TEST_F(DaemonFlow, AcceptErrors)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fds_.push_back(p[0]);
    fds_.push_back(p[1]);
    ASSERT_EQ(write(p[1], "c", 1), 1); // a listener with a connection waiting
    NETSERV listener = {};
    listener.tcpfd = p[0];
    agent.agnet.tfdlist = &listener;
    daemon_st.accept = Accepts::fail;
    Accepts::calls = 0;

    const int transient[] = {ENETDOWN, EPROTO,       ENOPROTOOPT, EHOSTDOWN,
                             ENONET,   EHOSTUNREACH, EOPNOTSUPP,  ENETUNREACH,
                             EPERM,    ECONNABORTED, EINTR,       EAGAIN};
    for (int e : transient) {
        Accepts::err = e;
        EXPECT_EQ(daemon_pass(&agent, 1000), 0) << strerror(e);
    }
    EXPECT_EQ(Accepts::calls, static_cast<int>(std::size(transient)));

    for (int e : {EMFILE, ENFILE, ENOMEM, ENOBUFS}) {
        sysclock_advance(1.1); // past the rest of the case before
        Accepts::err = e;
        Accepts::calls = 0;
        EXPECT_EQ(daemon_pass(&agent, 1000), 0);
        for (int i = 0; i < 3; i++) {
            sysclock_advance(0.3);
            EXPECT_EQ(daemon_pass(&agent, 0), 0);
        }
        EXPECT_EQ(Accepts::calls, 1) << strerror(e) << ": the listener rests";
        sysclock_advance(0.2);
        EXPECT_EQ(daemon_pass(&agent, 1000), 0);
        EXPECT_EQ(Accepts::calls, 2) << strerror(e) << ": and is watched again";
    }

    sysclock_advance(1.1);
    Accepts::err = EBADF;
    EXPECT_EQ(daemon_pass(&agent, 1000), -1);
    EXPECT_NE(testutil::debuglog().find("daemon_doagent: accept\n"), std::string::npos);
    agent.agnet.tfdlist = nullptr;
}

// A reply given up on that comes later is logged with the command it
// answers; the command's own log line has no line end.
TEST_F(DaemonFlow, ALateReplyWordIsLogged)
{
    EXPECT_GT(daemon_st.replywait_ms, 11000) << "outlasts a poll on a failing line";
    int cmd[2], rep[2];
    ASSERT_EQ(pipe(cmd), 0);
    ASSERT_EQ(pipe(rep), 0);
    for (int fd : {cmd[0], cmd[1], rep[0], rep[1]})
        fds_.push_back(fd);
    agent.chna2u.actpipe[1] = cmd[1];
    agent.chna2u.paspipe[0] = rep[0];
    aginfo.ups.ui.ComId = 0;
    daemon_st.replywait_ms = 100;
    EXPECT_EQ(daemon_sendcmdtoups(&agent, 0x06000000), -1);
    EXPECT_EQ(daemon_pass(&agent, 0), 0);
    EXPECT_EQ(testutil::debuglog().find("late reply"), std::string::npos);

    uint32_t word = 0x06000001;
    ASSERT_EQ(write(rep[1], &word, sizeof word), 4);
    EXPECT_EQ(daemon_pass(&agent, 1000), 0);
    std::string l = testutil::debuglog();
    EXPECT_NE(l.find("late reply 100663297 to command 100663296\n"), std::string::npos) << l;
    EXPECT_NE(l.find("write actpipe, sendcmdtoups, 100663296.paspipe"), std::string::npos) << l;
    agent.chna2u.actpipe[1] = agent.chna2u.paspipe[0] = -1;
}

// A lock word held for seconds on end belongs to a manager that died with
// it: cleared, and the stop request behind it is obeyed.  A word that is let
// go in between is a live manager's.
TEST_F(DaemonFlow, ALockWordLeftHeldIsClearedAfterSeconds)
{
    aginfo.isagentchg = -1;
    aginfo.locked = 1;
    EXPECT_EQ(daemon_pass(&agent, 0), 0);
    sysclock_advance(3);
    aginfo.locked = 0; // let go, and taken again
    aginfo.isagentchg = 0;
    EXPECT_EQ(daemon_pass(&agent, 0), 0);
    aginfo.locked = 1;
    aginfo.isagentchg = -1;
    sysclock_advance(1);
    EXPECT_EQ(daemon_pass(&agent, 0), 0);
    sysclock_advance(4);
    EXPECT_EQ(daemon_pass(&agent, 0), 0);
    EXPECT_EQ(aginfo.locked, 1) << "four seconds held";
    sysclock_advance(1.5);
    EXPECT_EQ(daemon_pass(&agent, 0), -1);
    EXPECT_EQ(aginfo.locked, 0);
    EXPECT_NE(testutil::debuglog().find("lock word held too long, cleared\n"), std::string::npos);
    EXPECT_NE(testutil::debuglog().find("receive voltmiractl stop command\n"), std::string::npos);
}

// Leaving while leaving (the engine's stop log ends in net_netexit again):
// the monitors are told and the stop is logged once, the segment goes, the
// process ends normally.
TEST_F(DaemonFlow, LeavingEndsOnceWhenEnteredAgain)
{
    int id = shmget(IPC_PRIVATE, sizeof(AGINFO), IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        agent.aip = static_cast<AGINFOP>(shmat(id, nullptr, 0));
        agent.shmid = id;
        errno = 0;
        net_netexit(&agent);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "not ended by a signal";
    struct shmid_ds ds;
    EXPECT_EQ(shmctl(id, IPC_STAT, &ds), -1) << "the segment is gone";
    std::string l = testutil::debuglog();
    EXPECT_EQ(testutil::count_of(l, "engine logs the stop\n"), 1u);
    EXPECT_EQ(testutil::count_of(l, "net_netexit called\n"), 1u);
}
