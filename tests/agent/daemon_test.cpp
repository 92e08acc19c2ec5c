// The daemon loop and its parts, run in-process: the packet buffer, the
// monitor table, the rights rule, the answers that need no engine, the
// command words to a fake UPS channel process on real pipes, and the ways
// the loop leaves.  Sockets are socketpairs, or loopback sockets inside a
// network namespace of the test's own; the engine is a counting fake.
#include "agent/agent_daemon.h"
#include "agent/agent_main.h"
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
#include <crypt.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// ---------------------------------------------------------------------------
// The fake engine: counts requests and remembers the last agent notice.

struct FakeEngine {
    static inline int calls[32];
    static inline int init_result;
    static inline int last_event;
    static inline unsigned last_datatype;
    static int call(int cmd, UPS_EIN_DATA *in, int *, UPS_EOUT_DATA *)
    {
        if (cmd >= 0 && cmd < 32)
            calls[cmd]++;
        last_datatype = in->datatype;
        if (cmd == EA_CHECKAGENT && in->DATA.agentevent != nullptr)
            last_event = in->DATA.agentevent->id;
        return cmd == EA_INIT ? init_result : 0;
    }
    static void reset()
    {
        memset(calls, 0, sizeof calls);
        init_result = 0;
        last_event = 0;
        last_datatype = 0;
    }
};

AGINFO aginfo;

// A fresh daemon with no sockets, no pipes, no UPS port, the fake engine.
class Daemon : public testing::Test
{
  protected:
    testutil::Sysroot root_;
    void SetUp() override
    {
        FakeEngine::reset();
        ASSERT_EQ(testutil::stage_daemon(&agent, &aginfo, FakeEngine::call), 0);
    }
    void TearDown() override
    {
        for (int fd : fds_)
            close(fd);
        testutil::unstage_daemon(&agent);
    }
    // A connected monitor: the daemon's end is registered, the test's end
    // is returned.
    int monitor(const char *ip = "192.0.2.7", uint16_t port = 40000)
    {
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, ip, &a.sin_addr);
        int fd = testutil::stage_monitor(&agent, &a);
        if (fd >= 0)
            fds_.push_back(fd);
        return fd;
    }
    void keep(int fd) { fds_.push_back(fd); }
    std::vector<int> fds_;
};

using testutil::bytes;
using testutil::head;

// The reply the daemon sent the test's end, or "" when none is waiting.
std::string take(int fd)
{
    char buf[65536];
    ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return r > 0 ? std::string(buf, static_cast<size_t>(r)) : std::string();
}

// Writes a request on the test's end and runs one pass, which finds it
// ready at once; returns what came back.
std::string roundtrip(int fd, const std::string &req)
{
    EXPECT_EQ(send(fd, req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
    EXPECT_EQ(daemon_pass(&agent, 1000), 0);
    return take(fd);
}

// Whether the daemon closed its end: end of file within a few seconds.
bool closed_by_peer(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    char c;
    return poll(&p, 1, 5000) == 1 && recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

using testutil::debuglog;

} // namespace

// ---------------------------------------------------------------------------
// The packet buffer

TEST_F(Daemon, BufferStartsAt32KAndGrowsKeepingItsContents)
{
    EXPECT_EQ(Daemon_NetBufLen, DAEMON_INITBUF);
    EXPECT_EQ(Daemon_BufferLen, DAEMON_INITBUF + 28);
    char *before = Daemon_Buffer;
    EXPECT_EQ(daemon_reallocbuf(100), 0);
    EXPECT_EQ(Daemon_Buffer, before) << "enough room already: no new block";

    memcpy(Daemon_Buffer, "origin", 6);
    memcpy(daemon_data(), "request", 7);
    EXPECT_EQ(daemon_reallocbuf(DAEMON_INITBUF + 1000), 0);
    EXPECT_EQ(Daemon_NetBufLen, DAEMON_INITBUF + 1000);
    EXPECT_EQ(Daemon_BufferLen, DAEMON_INITBUF + 1028);
    EXPECT_EQ(memcmp(Daemon_Buffer, "origin", 6), 0);
    EXPECT_EQ(memcmp(daemon_data(), "request", 7), 0);

    char *grown = Daemon_Buffer;
    EXPECT_EQ(daemon_reallocbuf(-1), -1);
    EXPECT_EQ(daemon_reallocbuf(DAEMON_MAXBUF + 1), -1);
    EXPECT_EQ(Daemon_Buffer, grown) << "a refused size keeps the old buffer";
    EXPECT_EQ(Daemon_NetBufLen, DAEMON_INITBUF + 1000);
}

// ---------------------------------------------------------------------------
// The monitor table

TEST_F(Daemon, RemovingSlotThreeOfFiveKeepsTheOthersInOrder)
{
    for (int i = 0; i < 5; i++) {
        struct sockaddr_in a = {};
        a.sin_port = htons(static_cast<uint16_t>(1000 + i));
        ASSERT_EQ(daemon_addclient(&agent.agnet, 100 + i, &a), i);
        net_client_p[i].auth = i;
        net_client_p[i].lang = 10 + i;
        net_client_p[i].os = 20 + i;
    }
    EXPECT_EQ(free_client_sockfd(&agent.agnet, 103), 0);
    const int left[] = {100, 101, 102, 104};
    NETCLI *c = agent.agnet.clilist;
    for (int i = 0; i < 4; i++) {
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c, &net_client_p[i]);
        EXPECT_EQ(c->sockfd, left[i]);
        EXPECT_EQ(c->auth, left[i] - 100);
        EXPECT_EQ(c->lang, left[i] - 90);
        EXPECT_EQ(c->os, left[i] - 80);
        EXPECT_EQ(ntohs(c->addr.sin_port), 900 + left[i]);
        c = c->next;
    }
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(net_client_p[4].sockfd, -1);

    // The last, then the first, then the only one.
    free_client_sockfd(&agent.agnet, 104);
    EXPECT_EQ(net_client_p[2].next, nullptr);
    free_client_sockfd(&agent.agnet, 100);
    EXPECT_EQ(net_client_p[0].sockfd, 101);
    EXPECT_EQ(net_client_p[1].sockfd, 102);
    EXPECT_EQ(net_client_p[1].next, nullptr);
    free_client_sockfd(&agent.agnet, 101);
    free_client_sockfd(&agent.agnet, 102);
    EXPECT_EQ(agent.agnet.clilist, nullptr);
    EXPECT_EQ(net_client_p[0].sockfd, -1);
}

TEST_F(Daemon, ANewConnectionInheritsNoRightsAndTheTableHoldsSixtyFour)
{
    ASSERT_EQ(daemon_addclient(&agent.agnet, 100, nullptr), 0);
    net_client_p[0].auth = AUTH_ADMIN;
    net_client_p[0].lang = 2;
    free_client_sockfd(&agent.agnet, 100);
    ASSERT_EQ(daemon_addclient(&agent.agnet, 101, nullptr), 0);
    EXPECT_EQ(net_client_p[0].auth, AUTH_NONE);
    EXPECT_EQ(net_client_p[0].lang, 0);
    for (int i = 1; i < DAEMON_MAXCLIENTS; i++)
        ASSERT_EQ(daemon_addclient(&agent.agnet, 101 + i, nullptr), i);
    EXPECT_EQ(daemon_addclient(&agent.agnet, 999, nullptr), -1);
}

TEST_F(Daemon, SixteenConnectionsPerAddressSixtyFourInAllTheRestClosed)
{
    testutil::in_netns([] {
        ASSERT_EQ(init_tport(&agent.agnet, NET_PORT_AGENT_TCP), 0);
        ASSERT_NE(agent.agnet.tfdlist, nullptr);
        // A connection from 127.0.0.<host>; one pass takes it.
        auto connect_from = [](int host) {
            int s = socket(AF_INET, SOCK_STREAM, 0);
            struct sockaddr_in a = {};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + static_cast<in_addr_t>(host));
            EXPECT_EQ(bind(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
            a.sin_port = htons(NET_PORT_AGENT_TCP);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            EXPECT_EQ(connect(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
            EXPECT_EQ(daemon_pass(&agent, 1000), 0);
            return s;
        };
        auto used = [] {
            int n = 0;
            while (n < DAEMON_MAXCLIENTS && net_client_p[n].sockfd != -1)
                n++;
            return n;
        };
        std::vector<int> socks;
        for (int i = 0; i < DAEMON_MAXPERADDR; i++)
            socks.push_back(connect_from(1));
        int extra = connect_from(1);
        EXPECT_TRUE(closed_by_peer(extra)) << "a 17th from one address";
        EXPECT_EQ(used(), DAEMON_MAXPERADDR);
        EXPECT_NE(debuglog().find("too many connections from one address"), std::string::npos);

        for (int host = 2; used() < DAEMON_MAXCLIENTS; host += used() % DAEMON_MAXPERADDR ? 0 : 1)
            socks.push_back(connect_from(host));
        int full = connect_from(9);
        EXPECT_TRUE(closed_by_peer(full)) << "the 65th sees the connection end";
        EXPECT_NE(debuglog().find("monitor table full"), std::string::npos);
        std::string got = roundtrip(socks.back(), head(PK_GETUPSINFO, 8));
        EXPECT_EQ(got.size(), 228u) << "the 64th is served";
        for (int s : socks)
            close(s);
        close(extra);
        close(full);
        init_freeservlist(&agent.agnet);
    });
}

TEST_F(Daemon, ListeningFailsWholeWhenAnAddressIsTaken)
{
    testutil::in_netns([] {
        int other = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(NET_PORT_AGENT_TCP);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(other, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(listen(other, 1), 0);
        EXPECT_EQ(init_tport(&agent.agnet, NET_PORT_AGENT_TCP), -1);
        EXPECT_EQ(agent.agnet.tfdlist, nullptr) << "nothing is left listening";
    });
}

// ---------------------------------------------------------------------------
// The loop's passes

TEST_F(Daemon, EveryPassCallsTheEngineAndAQuietPassSeesTheStopRequest)
{
    EXPECT_EQ(FakeEngine::calls[EA_INIT], 1);
    EXPECT_EQ(daemon_pass(&agent, 0), 0);
    EXPECT_EQ(daemon_pass(&agent, 0), 0);
    EXPECT_EQ(FakeEngine::calls[EA_CHECKUPS], 2);
    EXPECT_EQ(FakeEngine::last_datatype, static_cast<unsigned>(E_UPSTAT));

    // Nothing is ready in these passes: they end by time-out.
    aginfo.isagentchg = AGCHG_SETTINGS;
    EXPECT_EQ(daemon_pass(&agent, 0), 0);
    EXPECT_EQ(aginfo.isagentchg, AGCHG_NONE);
    EXPECT_EQ(FakeEngine::calls[EA_CHECKAGENT], 1);
    EXPECT_EQ(FakeEngine::last_event, AGEV_SETTINGS);
    EXPECT_EQ(aginfo.locked, 0);

    aginfo.isagentchg = -1;
    aginfo.locked = 1; // the manager holds the flag: the request waits
    EXPECT_EQ(daemon_pass(&agent, 0), 0);
    aginfo.locked = 0;
    EXPECT_EQ(daemon_pass(&agent, 0), -1);
    EXPECT_EQ(aginfo.locked, 0) << "the flag is given back before leaving";
    EXPECT_NE(debuglog().find("daemon_doagent: receive voltmiractl stop command\n"),
              std::string::npos);
}

TEST_F(Daemon, TheLoopLeavesWhenTheUpsPipeEnds)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    keep(p[0]);
    agent.chnu2a.actpipe[0] = p[0];
    EXPECT_EQ(daemon_pass(&agent, 0), 0);
    close(p[1]);
    EXPECT_EQ(daemon_pass(&agent, 1000), -1);
    EXPECT_NE(debuglog().find("actpipe. daemon_doagent: ups module failed\n"), std::string::npos);
}

TEST_F(Daemon, AFailingEngineStartEndsTheDaemon)
{
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        FakeEngine::init_result = -1;
        daemon_doagent(&agent);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_NE(debuglog().find("daemon_doagent: Event_Action(Init) failed\n"), std::string::npos);
}

TEST_F(Daemon, AMonitorsShutdownRequestLosesItsAgentType)
{
    int m = monitor();
    net_client_p[0].auth = AUTH_ADMIN;
    UPS_AGENTDOWNINFO d = {};
    d.AgentType = 6;
    roundtrip(m, head(PK_SHUTDOWN, 48) + bytes(d));
    UPS_AGENTDOWNINFO seen;
    memcpy(&seen, daemon_data(), sizeof seen);
    EXPECT_EQ(seen.AgentType, 0u);
}

TEST_F(Daemon, AHalfPacketHoldsUpNoOtherMonitor)
{
    int slow = monitor("192.0.2.7");
    int quick = monitor("192.0.2.8");
    std::string req = head(PK_GETUPSINFO, 20) + std::string(12, 'x');
    ASSERT_EQ(send(slow, req.data(), 14, 0), 14);
    ASSERT_EQ(send(quick, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(daemon_pass(&agent, 1000), 0);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(secs, 0.5);
    EXPECT_EQ(take(quick).size(), 228u);
    EXPECT_EQ(take(slow), "");
    EXPECT_EQ(roundtrip(slow, req.substr(14)).size(), 228u) << "served once whole";
}

TEST_F(Daemon, RepliesWaitInABoundedQueueForAMonitorThatDoesNotRead)
{
    int slow = monitor("192.0.2.7");
    int other = monitor("192.0.2.8");
    // Its socket holds all it can already.
    int daemon_end = net_client_p[0].sockfd;
    std::string fill(4096, 'f');
    for (size_t n = fill.size(); n > 0; n /= 2) {
        while (send(daemon_end, fill.data(), n, MSG_DONTWAIT) > 0) {
        }
    }
    std::string req = head(PK_GETUPSINFO, 8);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(send(slow, req.data(), req.size(), 0), 8);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(daemon_pass(&agent, 1000), 0); // a packet a pass
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(secs, 0.3) << "no send waits";
    EXPECT_EQ(netq_pending(daemon_end), 3 * 228u);
    EXPECT_EQ(roundtrip(other, req).size(), 228u);

    // A queue that would pass its bound ends the connection.
    netq_st.max = 1000;
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(send(slow, req.data(), req.size(), 0), 8);
    for (int i = 0; i < 8 && daemon_findclient(daemon_end) >= 0; i++)
        EXPECT_EQ(daemon_pass(&agent, 1000), 0);
    EXPECT_EQ(daemon_findclient(daemon_end), -1) << "a reply would pass the bound";
    EXPECT_EQ(roundtrip(other, req).size(), 228u);
}

TEST_F(Daemon, ARemovedConnectionLeavesNothingToTheNextOnItsDescriptor)
{
    int m = monitor();
    int fd = net_client_p[0].sockfd;
    // Given up half-way through a packet.
    std::string fill(4096, 'f');
    for (size_t n = fill.size(); n > 0; n /= 2) {
        while (send(fd, fill.data(), n, MSG_DONTWAIT) > 0) {
        }
    }
    ASSERT_EQ(send(m, "\x10\x01", 2, 0), 2);
    EXPECT_EQ(daemon_pass(&agent, 1000), 0);
    agent.agnet.cnc.sockfd = fd;
    daemon_replyhead(&agent, PK_EMPTY, 8);
    EXPECT_EQ(net_sendpacketout(&agent), 0);
    EXPECT_EQ(netq_pending(fd), 8u);
    free_client_sockfd(&agent.agnet, fd);

    // A new connection gets the same descriptor.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    ASSERT_EQ(dup2(sv[0], fd), fd);
    close(sv[0]);
    keep(sv[1]);
    ASSERT_EQ(daemon_addclient(&agent.agnet, fd, nullptr), 0);
    EXPECT_EQ(roundtrip(sv[1], head(PK_GETUPSINFO, 8)).size(), 228u);
}

// ---------------------------------------------------------------------------
// The death of the UPS channel process

TEST_F(Daemon, SigchildOnlyRecordsTheUpsProcessDeath)
{
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    keep(p[0]);
    keep(p[1]);
    daemon_st.sigfd[0] = p[0];
    daemon_st.sigfd[1] = p[1];

    // Another child: reaped, nothing recorded.
    pid_t other = fork();
    if (other == 0)
        _exit(0);
    aginfo.upspid = other + 100000;
    siginfo_t si;
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(other), &si, WEXITED | WNOWAIT), 0);
    errno = EDOM;
    sigchild(SIGCHLD);
    EXPECT_EQ(errno, EDOM);
    EXPECT_EQ(waitpid(other, nullptr, WNOHANG), -1) << "reaped by the handler";
    EXPECT_EQ(daemon_pass(&agent, 0), 0);

    // The UPS process: recorded, errno untouched, and the next pass leaves.
    pid_t ups = fork();
    if (ups == 0)
        _exit(0);
    aginfo.upspid = ups;
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(ups), &si, WEXITED | WNOWAIT), 0);
    errno = ERANGE;
    sigchild(SIGCHLD);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(waitpid(ups, nullptr, WNOHANG), -1) << "reaped by the handler";
    EXPECT_EQ(debuglog().find("receive sigchild"), std::string::npos)
        << "the handler itself logs nothing";
    EXPECT_EQ(daemon_pass(&agent, 0), -1);
    EXPECT_NE(debuglog().find("receive sigchild, exit\n"), std::string::npos);
}

TEST_F(Daemon, ARealSigchildMakesTheLoopLeave)
{
    ASSERT_EQ(init_sigchild(), 0);
    keep(daemon_st.sigfd[0]);
    keep(daemon_st.sigfd[1]);
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_BLOCK, &set, &old);
    pid_t ups = fork();
    if (ups == 0)
        _exit(0);
    aginfo.upspid = ups;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    // The pass waits in poll until the signal's byte arrives.
    int r = daemon_pass(&agent, 5000);
    signal(SIGCHLD, SIG_DFL);
    EXPECT_EQ(r, -1);
    EXPECT_NE(debuglog().find("receive sigchild, exit\n"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Command words to the UPS channel process

namespace
{

// A fake UPS channel process on real pipes: for the n-th command word it
// writes replies[n] (0: none), after a byte on the go pipe when late[n].
struct FakeUps {
    int cmd[2], rep[2], go[2];
    pid_t pid = -1;

    bool start(std::vector<uint32_t> replies, std::vector<bool> late)
    {
        if (pipe(cmd) != 0 || pipe(rep) != 0 || pipe(go) != 0)
            return false;
        fflush(nullptr);
        pid = fork();
        if (pid < 0)
            return false;
        if (pid == 0) {
            close(cmd[1]);
            close(rep[0]);
            close(go[1]);
            for (size_t i = 0; i < replies.size(); i++) {
                uint32_t w;
                if (read(cmd[0], &w, sizeof w) != sizeof w)
                    _exit(1);
                char b;
                if (late[i] && read(go[0], &b, 1) != 1)
                    _exit(1);
                if (replies[i] != 0 && write(rep[1], &replies[i], sizeof replies[i]) != 4)
                    _exit(1);
            }
            _exit(0);
        }
        close(cmd[0]);
        close(rep[1]);
        close(go[0]);
        agent.chna2u.actpipe[1] = cmd[1];
        agent.chna2u.paspipe[0] = rep[0];
        return true;
    }
    void release() { (void)!write(go[1], "g", 1); }
    void stop()
    {
        close(cmd[1]);
        close(go[1]);
        waitpid(pid, nullptr, 0);
        close(rep[0]);
        agent.chna2u.actpipe[1] = agent.chna2u.paspipe[0] = -1;
    }
};

} // namespace

TEST_F(Daemon, WithNoUpsPortEveryCommandSucceedsUntouched)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    keep(p[0]);
    keep(p[1]);
    agent.chna2u.actpipe[1] = p[1];
    for (int8_t id : {COMID_NONE, COMID_NOUPS, static_cast<int8_t>(0x80)}) {
        aginfo.ups.ui.ComId = id;
        EXPECT_EQ(daemon_sendcmdtoups(&agent, 0x06000000), 0);
        EXPECT_EQ(daemon_sendcmdtoups(&agent, 0x02000000), 0);
    }
    struct pollfd pf = {p[0], POLLIN, 0};
    EXPECT_EQ(poll(&pf, 1, 0), 0) << "nothing was written";
}

TEST_F(Daemon, CommandsWithoutAReplyAreOnlyWritten)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    keep(p[0]);
    keep(p[1]);
    agent.chna2u.actpipe[1] = p[1];
    aginfo.ups.ui.ComId = 0;
    const uint32_t words[] = {0x02000000, 0x03000000, 0x0C000000, 0x0D000000, 0x30000000};
    for (uint32_t w : words)
        EXPECT_EQ(daemon_sendcmdtoups(&agent, static_cast<int>(w)), 0);
    for (uint32_t w : words) {
        uint32_t got = 0;
        ASSERT_EQ(read(p[0], &got, sizeof got), 4);
        EXPECT_EQ(got, w);
    }
}

TEST_F(Daemon, AwaitedRepliesDecideTheResult)
{
    aginfo.ups.ui.ComId = 1;
    FakeUps ups;
    ASSERT_TRUE(ups.start({0x06000001, 0x0005FFFF, 0x06000001, 0xF000FFFF, 0xF0000001},
                          {false, false, false, false, false}));
    EXPECT_EQ(daemon_sendcmdtoups(&agent, 0x06000000), 0);
    EXPECT_EQ(daemon_sendcmdtoups(&agent, 0x00050000), -1) << "failure reported";
    EXPECT_EQ(daemon_sendcmdtoups(&agent, 0x00050000), -1) << "another command's reply";
    EXPECT_EQ(daemon_sendcmdtoups(&agent, static_cast<int>(0xF0000000)), -1);
    EXPECT_EQ(daemon_sendcmdtoups(&agent, static_cast<int>(0xF0000000)), 0);
    struct pollfd pf = {agent.chna2u.paspipe[0], POLLIN, 0};
    poll(&pf, 1, 0);
    EXPECT_FALSE(pf.revents & POLLIN) << "every reply word was read";
    ups.stop();
}

TEST_F(Daemon, AMissingReplyFailsInBoundedTimeAndIsNotTakenLater)
{
    aginfo.ups.ui.ComId = 1;
    daemon_st.replywait_ms = 200;
    FakeUps ups;
    ASSERT_TRUE(ups.start({0x06000001, 0x00050001}, {true, false}));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(daemon_sendcmdtoups(&agent, 0x06000000), -1);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(secs, 0.19);
    EXPECT_LT(secs, 3.0);

    // The late reply arrives before the next command is sent.
    ups.release();
    struct pollfd pf = {agent.chna2u.paspipe[0], POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 5000), 1);
    EXPECT_EQ(daemon_sendcmdtoups(&agent, 0x00050000), 0);
    ups.stop();
}

TEST_F(Daemon, APipeThatTakesNothingFailsTheCommand)
{
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    keep(p[0]);
    keep(p[1]);
    char fill[4096] = {};
    while (write(p[1], fill, sizeof fill) > 0) {
    }
    agent.chna2u.actpipe[1] = p[1];
    aginfo.ups.ui.ComId = 0;
    daemon_st.cmdwait_ms = 100;
    EXPECT_EQ(daemon_sendcmdtoups(&agent, 0x02000000), -1);
}

// ---------------------------------------------------------------------------
// Rights

TEST_F(Daemon, ControlRequestsNeedAdministratorRightsOnAConnection)
{
    int m = monitor();
    const uint8_t control[] = {PK_CANCELSHUTDOWN, PK_SELFTEST, PK_CANCELTEST, PK_BEEPERON,
                               PK_BATTDATE,       PK_SCHEDULE, PK_CONFIG};
    for (int32_t auth : {AUTH_NONE, AUTH_USER, AUTH_REJECTED}) {
        net_client_p[0].auth = auth;
        for (uint8_t k : control)
            roundtrip(m, head(k, 8));
    }
    EXPECT_EQ(daemon_st.refused, 3 * sizeof control);
    EXPECT_EQ(daemon_st.unserved, 0u);
    EXPECT_NE(debuglog().find("refused without rights"), std::string::npos);

    net_client_p[0].auth = AUTH_ADMIN;
    for (uint8_t k : control)
        roundtrip(m, head(k, 8));
    EXPECT_EQ(daemon_st.refused, 3 * sizeof control);
    // Past the rights check each reaches its handler: those a bare header
    // fits go to the engine, the others fail their own length rule.
    EXPECT_EQ(FakeEngine::calls[EA_DOCOMMAND], 2) << "cancel test, buzzer on";
    EXPECT_EQ(FakeEngine::calls[EA_SETSCHEDULE], 1) << "an empty schedule list";
    EXPECT_EQ(daemon_st.unserved, 0u);

    // Requests that change nothing need no rights.
    net_client_p[0].auth = AUTH_NONE;
    EXPECT_EQ(roundtrip(m, head(PK_GETUPSINFO, 8)).size(), 228u);
    roundtrip(m, head(PK_GETBATTDATE, 8));
    EXPECT_EQ(daemon_st.refused, 3 * sizeof control);
}

TEST_F(Daemon, DatagramsCarryNoRights)
{
    // Served straight from the buffer, as the loop hands a datagram over.
    agent.agnet.ufd = 1000; // never used: nothing below sends
    auto datagram = [](uint8_t kind, const char *from) {
        inet_pton(AF_INET, from, &agent.agnet.cnc.addr.sin_addr);
        agent.agnet.cnc.sockfd = agent.agnet.ufd;
        UPS_CLIADDR *ca = daemon_cliaddr();
        ca->sockfd = agent.agnet.ufd;
        ca->addr = agent.agnet.cnc.addr;
        UPS_PACKET_HEAD h = {NET_VERSION_110, 0, kind, 8};
        *daemon_head() = h;
        return daemon_procnetmsg(&agent, AUTH_NONE, 0);
    };
    // By datagram only another agent's shutdown request (its handler checks
    // type and group) passes from anywhere, and a protector's setting of its
    // agent from this host; every other control kind is refused, from this
    // host too, where any local user can send one.  The reads need no rights.
    const struct {
        uint8_t kind;
        bool remote, local; // served from 192.0.2.9, from 127.x
    } table[] = {
        {PK_SHUTDOWN, true, true},   {PK_PROTCFG, false, true},         {PK_EVENTSET, false, false},
        {PK_CONFIG, false, false},   {PK_SELFTESTLOW, false, false},    {PK_SELFTEST, false, false},
        {PK_SCHEDULE, false, false}, {PK_CANCELSHUTDOWN, false, false}, {PK_PASSWORD, false, false},
        {PK_GETPROTCFG, true, true}, {PK_GETPROTEVENTLOG, true, true},
    };
    for (const auto &row : table) {
        for (const char *from : {"192.0.2.9", "127.0.0.1", "127.3.2.1"}) {
            bool expect = strncmp(from, "127.", 4) == 0 ? row.local : row.remote;
            unsigned long before = daemon_st.refused;
            datagram(row.kind, from);
            EXPECT_EQ(daemon_st.refused - before, expect ? 0u : 1u)
                << int(row.kind) << " from " << from;
        }
    }
}

// ---------------------------------------------------------------------------
// Password

namespace
{

struct FakeUsers {
    static inline std::string name, pwhash, sphash, asked;
    static inline bool shadow;
    static inline uid_t uid;
    static inline long expire;
    static inline struct passwd pw;
    static inline struct spwd sp;
    static struct passwd *getpw(const char *n)
    {
        asked = n;
        if (name != n)
            return nullptr;
        pw = {};
        pw.pw_name = name.data();
        pw.pw_passwd = pwhash.data();
        pw.pw_uid = uid;
        return &pw;
    }
    static struct spwd *getsp(const char *n)
    {
        if (!shadow || name != n)
            return nullptr;
        sp = {};
        sp.sp_namp = name.data();
        sp.sp_pwdp = sphash.data();
        sp.sp_expire = expire;
        return &sp;
    }
};

std::string password_request(const std::string &user, const std::string &pass)
{
    UPS_PASSWORD p = {};
    memcpy(p.username, user.data(), std::min(user.size(), sizeof p.username));
    memcpy(p.password, pass.data(), std::min(pass.size(), sizeof p.password));
    return head(PK_PASSWORD, 68) + bytes(p);
}

std::string password_answer(int32_t right)
{
    return head(PK_PASSWORDANS, 12, NET_VERSION_110, 0x34) + bytes(right);
}

class DaemonPassword : public Daemon
{
  protected:
    void SetUp() override
    {
        Daemon::SetUp();
        daemon_st.getpwnam = FakeUsers::getpw;
        daemon_st.getspnam = FakeUsers::getsp;
        FakeUsers::name = "operator";
        const char *h = crypt("s3cret", "$6$voltmira$");
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(h[0], '$');
        FakeUsers::sphash = h;
        FakeUsers::pwhash = "x";
        FakeUsers::shadow = true;
        FakeUsers::uid = getuid() + 1000;
        FakeUsers::expire = -1;
        testutil::write_file(sysroot_path(SP_CONFIG), "[UPS]\n");
        sysclock_fake(kNow, 1000);
    }
    void TearDown() override
    {
        sysclock_real();
        Daemon::TearDown();
    }
    // One password request a second later: the daemon hashes only a few
    // a second.
    std::string ask(int fd, const std::string &user, const std::string &pass)
    {
        sysclock_advance(1);
        return roundtrip(fd, password_request(user, pass));
    }
    static constexpr time_t kNow = 1780000000; // a day in 2026
};

} // namespace

TEST_F(DaemonPassword, RightsFollowTheShadowHashAndTheConfigurationOwner)
{
    int m = monitor();
    EXPECT_EQ(ask(m, "operator", "wrong"), password_answer(4));
    EXPECT_EQ(net_client_p[0].auth, AUTH_NONE);
    EXPECT_EQ(ask(m, "nobody", "s3cret"), password_answer(4));
    EXPECT_EQ(ask(m, "operator", "s3cret"), password_answer(2));
    EXPECT_EQ(net_client_p[0].auth, AUTH_USER);

    FakeUsers::uid = getuid(); // the owner of the configuration file
    EXPECT_EQ(ask(m, "operator", "s3cret"), password_answer(1));
    EXPECT_EQ(net_client_p[0].auth, AUTH_ADMIN);

    // Without a configuration file no one gets rights.
    unlink(sysroot_path(SP_CONFIG));
    int m2 = monitor("192.0.2.8");
    EXPECT_EQ(ask(m2, "operator", "s3cret"), password_answer(4));
    EXPECT_EQ(net_client_p[1].auth, AUTH_NONE);
}

TEST_F(DaemonPassword, EmptyAndMissingHashes)
{
    int m = monitor();
    // No shadow entry: the user database's field is the hash, here no valid one.
    FakeUsers::shadow = false;
    EXPECT_EQ(ask(m, "operator", "s3cret"), password_answer(4));
    FakeUsers::pwhash = FakeUsers::sphash;
    EXPECT_EQ(ask(m, "operator", "s3cret"), password_answer(2));
    // An empty hash takes only an empty password.
    FakeUsers::pwhash = "";
    EXPECT_EQ(ask(m, "operator", "x"), password_answer(4));
    EXPECT_EQ(ask(m, "operator", ""), password_answer(2));
    // A locked account.
    FakeUsers::shadow = true;
    FakeUsers::sphash = "!";
    EXPECT_EQ(ask(m, "operator", ""), password_answer(4));
}

TEST_F(DaemonPassword, FieldsWithoutTerminatorAreBoundedAndLengthChecked)
{
    int m = monitor();
    std::string longname(40, 'u');
    ask(m, longname + "spill", "s3cret");
    EXPECT_EQ(FakeUsers::asked, longname);
    FakeUsers::name = longname;
    EXPECT_EQ(ask(m, longname, "s3cret"), password_answer(2));

    std::string req = password_request("operator", "s3cret");
    UPS_PACKET_HEAD h = {NET_VERSION_110, 0, PK_PASSWORD, 67};
    EXPECT_EQ(roundtrip(m, bytes(h) + req.substr(8, 59)), "") << "wrong Length: no answer";
    const std::string wiped(59, '\0');
    EXPECT_EQ(std::string(daemon_data(), 59), wiped) << "nor anything left of it";
    // A password by datagram is refused, and not kept either.
    memcpy(daemon_head(), req.data(), req.size());
    daemon_cliaddr()->sockfd = agent.agnet.cnc.sockfd = agent.agnet.ufd = 1000;
    EXPECT_EQ(daemon_procnetmsg(&agent, AUTH_NONE, 0), -1);
    EXPECT_EQ(std::string(daemon_data(), 59), wiped);
}

// A name that is no user costs about what a wrong password for a real one
// costs (both hashed by the system's usual method), so the answer's timing
// does not tell which users exist.  Only a wide margin is asked for.
TEST_F(DaemonPassword, AnUnknownNameTakesAsLongAsAWrongPassword)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    ASSERT_NE(crypt_gensalt_rn(nullptr, 0, nullptr, 0, setting, sizeof setting), nullptr);
    FakeUsers::sphash = crypt("s3cret", setting);
    // The cheapest of three answers in processor time of this thread (the
    // daemon's pass runs here), so a loaded machine cannot make either look
    // slower; each from an address of its own so that no budget of failures
    // is spent.
    auto cpu_now = [] {
        struct timespec ts = {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    };
    auto fastest = [this, &cpu_now](const char *user, int host) {
        double best = 1e9;
        for (int i = 0; i < 3; i++) {
            int m = monitor(("192.0.2." + std::to_string(host + i)).c_str());
            double t0 = cpu_now();
            EXPECT_EQ(ask(m, user, "guess"), password_answer(4)) << user;
            best = std::min(best, cpu_now() - t0);
        }
        return best;
    };
    double known = fastest("operator", 10);
    double unknown = fastest("ghost", 20);
    EXPECT_GT(unknown, known / 4) << "s for a user: " << known << ", for no user: " << unknown;
}

// Password datagrams that fail the length rule are served by no handler:
// the loop itself leaves nothing of them in the buffer.
TEST_F(DaemonPassword, APasswordDatagramNotServedLeavesNoCopy)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv), 0);
    agent.agnet.ufd = sv[0];
    const std::string req = password_request("operator", "s3cret");
    std::string bad_length = req;
    bad_length[4] = static_cast<char>(200);
    const std::string cases[] = {
        bad_length,                                                    // Length says more
        req + std::string(10, 'x'),                                    // more than Length
        req + std::string(static_cast<size_t>(Daemon_NetBufLen), 'x'), // longer than the buffer
        req,                                                           // served, and refused
    };
    for (const std::string &d : cases) {
        ASSERT_EQ(send(sv[1], d.data(), d.size(), 0), static_cast<ssize_t>(d.size()));
        EXPECT_EQ(daemon_pass(&agent, 1000), 0);
        std::string buf(Daemon_Buffer, static_cast<size_t>(Daemon_BufferLen));
        EXPECT_EQ(buf.find("s3cret"), std::string::npos) << d.size() << " bytes";
    }
    agent.agnet.ufd = -1;
    close(sv[0]);
    close(sv[1]);
}

TEST_F(DaemonPassword, FiveFailuresCloseTheConnection)
{
    int m = monitor();
    // A success in between does not wipe the count.
    EXPECT_EQ(ask(m, "operator", "a"), password_answer(4));
    EXPECT_EQ(ask(m, "operator", "s3cret"), password_answer(2));
    for (int i = 2; i <= 4; i++)
        EXPECT_EQ(ask(m, "operator", "b"), password_answer(4)) << i;
    EXPECT_NE(net_client_p[0].sockfd, -1);
    EXPECT_EQ(ask(m, "operator", "c"), password_answer(4));
    EXPECT_EQ(net_client_p[0].sockfd, -1) << "the fifth failure closed it";
    EXPECT_TRUE(closed_by_peer(m));
    EXPECT_NE(debuglog().find("too many failed password requests"), std::string::npos);
}

TEST_F(DaemonPassword, AnAddressThatKeepsFailingIsRefusedAcrossReconnects)
{
    // Each step: a new connection from the address, password right or
    // wrong, seconds passed since the step before, and the answer.
    const struct {
        const char *from;
        const char *pass;
        double later;
        int32_t right;
    } script[] = {
        {"192.0.2.7", "a", 0, 4},
        {"192.0.2.7", "b", 0, 4},
        {"192.0.2.7", "c", 0, 4},
        {"192.0.2.7", "s3cret", 0, 2},
        {"192.0.2.7", "d", 0, 4},
        {"192.0.2.7", "e", 0, 4}, // the fifth failure: refused for 60 s
        {"192.0.2.7", "s3cret", 0, 4},
        {"192.0.2.8", "s3cret", 0, 2}, // others are not
        {"192.0.2.7", "s3cret", 55, 4},
        {"192.0.2.7", "s3cret", 5, 2},
        {"192.0.2.7", "f", 0, 4},
        {"192.0.2.7", "g", 0, 4},
        {"192.0.2.7", "h", 0, 4},
        {"192.0.2.7", "i", 0, 4},
        {"192.0.2.7", "j", 0, 4}, // five more: refused for twice as long
        {"192.0.2.7", "s3cret", 115, 4},
        {"192.0.2.7", "s3cret", 5, 2},
        // An hour without failures and the address starts afresh.
        {"192.0.2.7", "k", 3700, 4},
        {"192.0.2.7", "l", 0, 4},
        {"192.0.2.7", "m", 0, 4},
        {"192.0.2.7", "n", 0, 4},
        {"192.0.2.7", "o", 0, 4},
        {"192.0.2.7", "s3cret", 61, 2},
    };
    uint16_t port = 41000;
    for (size_t i = 0; i < sizeof script / sizeof script[0]; i++) {
        sysclock_advance(script[i].later);
        int m = monitor(script[i].from, port++);
        FakeUsers::asked.clear();
        EXPECT_EQ(ask(m, "operator", script[i].pass), password_answer(script[i].right)) << i;
        close(net_client_p[0].sockfd);
        free_client_sockfd(&agent.agnet, net_client_p[0].sockfd);
        if (i == 6 || i == 8) {
            EXPECT_EQ(FakeUsers::asked, "") << "a refused address is not even looked up";
        }
    }
    std::string log = debuglog();
    EXPECT_EQ(testutil::count_of(log, "from 192.0.2.7, refused for 60 s"), 2u) << log;
    EXPECT_EQ(testutil::count_of(log, "from 192.0.2.7, refused for 120 s"), 1u) << log;
}

TEST_F(DaemonPassword, NoUserExpiryAndAFloodOfRequests)
{
    int m = monitor();
    // A name that is no user costs a hash, as a real one does.
    EXPECT_EQ(ask(m, "ghost", "s3cret"), password_answer(4));
    EXPECT_EQ(daemon_st.cryptruns, 1);
    // An account past its expiry day is refused, one before it is not.
    const long today = kNow / 86400; // the asks below move on by seconds only
    FakeUsers::expire = today;
    EXPECT_EQ(ask(m, "operator", "s3cret"), password_answer(4));
    FakeUsers::expire = today + 1;
    EXPECT_EQ(ask(m, "operator", "s3cret"), password_answer(2));

    // Within one second only three hashes are computed.
    int m2 = monitor("192.0.2.8");
    sysclock_advance(1);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(roundtrip(m2, password_request("operator", "s3cret")), password_answer(2));
    EXPECT_EQ(roundtrip(m2, password_request("operator", "s3cret")), password_answer(4));
    EXPECT_NE(debuglog().find("too many password requests at once"), std::string::npos);
    EXPECT_EQ(ask(m2, "operator", "s3cret"), password_answer(2));
    // No copy of the password is left in the request buffer.
    const UPS_PASSWORD *req = reinterpret_cast<const UPS_PASSWORD *>(daemon_data());
    EXPECT_EQ(std::string(req->password, sizeof req->password),
              std::string(sizeof req->password, '\0'));
}

// ---------------------------------------------------------------------------
// Answers from the daemon's own records

namespace
{

UPS_UPSINFO sample_info()
{
    UPS_UPSINFO ui = {};
    ui.ComId = 1;
    ui.upsstat = 33;
    ui.BattStatus = 1;
    ui.CommStatus = COMM_ESTABLISHED;
    ui.BuzzerCan = 1;
    ui.AutoTestCan = 1;
    ui.AgentType = 4;
    strcpy(ui.upsmodel, "QE1000");
    ui.upsdata.InPutINT = 230;
    ui.upsdata.BattCap = 100;
    ui.PreChangeBatt = {120, 3, 7, 10, 20, 30, 0};
    strcpy(ui.Group, "racks");
    ui.events[0].EventId = 7;
    ui.sftResUPS.Result = SELFTEST_PASSED;
    ui.ufStatus = 0x1200;
    return ui;
}

std::string upsinfo_answer(const UPS_UPSINFO &ui)
{
    return head(PK_UPSINFO, 228, NET_VERSION_110, 0x34) + bytes(ui);
}

} // namespace

TEST_F(Daemon, UpsInformationWithTheUpsReached)
{
    int m = monitor();
    aginfo.ups.ui = sample_info();
    UPS_UPSINFO want = sample_info();
    want.ComId = 2; // counted from 1 for monitors
    EXPECT_EQ(roundtrip(m, head(PK_GETUPSINFO, 8)), upsinfo_answer(want));

    strcpy(aginfo.ups.ui.upsmodel, "UNKNOWN");
    memset(want.upsmodel, 0, sizeof want.upsmodel);
    memcpy(want.upsmodel, "         ", 9);
    EXPECT_EQ(roundtrip(m, head(PK_GETUPSINFO, 20) + std::string(12, 'z')), upsinfo_answer(want))
        << "any length";
    EXPECT_EQ(aginfo.ups.ui.ComId, 1) << "the shared record is left alone";
}

TEST_F(Daemon, UpsInformationWhileTheUpsIsNotReached)
{
    int m = monitor();
    aginfo.ups.ui = sample_info();
    aginfo.ups.ui.CommStatus = COMM_LOST;
    aginfo.ups.ui.ComId = COMID_NONE;
    UPS_UPSINFO want = sample_info();
    want.CommStatus = COMM_LOST;
    want.ComId = COMID_NONE;
    want.BattStatus = 0;
    want.BuzzerCan = 0;
    want.AutoTestCan = 0;
    want.PreChangeBatt = {0, 0, 0, 0, 0, 0, 0};
    memset(&want.upsdata, 0, sizeof want.upsdata);
    memset(want.upsmodel, 0, sizeof want.upsmodel);
    EXPECT_EQ(roundtrip(m, head(PK_GETUPSINFO, 8)), upsinfo_answer(want));
}

TEST_F(Daemon, UpsInformationWithNoUpsConfigured)
{
    int m = monitor();
    testutil::write_file(sysroot_path(SP_CONFIG), "[UPS]\nChangeBattTime = 125,11,30,08,09,10\n");
    aginfo.ups.ui = sample_info();
    aginfo.ups.ui.CommStatus = COMM_NOUPS;
    strcpy(aginfo.ups.ui.upsmodel, "QA500");
    UPS_UPSINFO want = sample_info();
    want.ComId = COMID_NOUPS;
    want.CommStatus = COMM_NOUPS;
    want.BattStatus = 0;
    want.BuzzerCan = 0;
    want.AutoTestCan = 0;
    want.PreChangeBatt = {125, 11, 30, 8, 9, 10, 0}; // a QA unit's date is configured
    memset(&want.upsdata, 0, sizeof want.upsdata);
    memset(want.upsmodel, 0, sizeof want.upsmodel);
    // A monitor of this agent's own kind of system.
    net_client_p[0].os = NET_OS_OWN;
    EXPECT_EQ(roundtrip(m, head(PK_GETUPSINFO, 8)), upsinfo_answer(want));

    // An older monitor of another kind knows no "no UPS": lost, no port.
    net_client_p[0].os = 0;
    want.CommStatus = COMM_LOST;
    want.ComId = COMID_NONE;
    EXPECT_EQ(roundtrip(m, head(PK_GETUPSINFO, 8, NET_VERSION_100)), upsinfo_answer(want));

    // Another family keeps the date the record has.
    strcpy(aginfo.ups.ui.upsmodel, "QE1000");
    want.PreChangeBatt = sample_info().PreChangeBatt;
    EXPECT_EQ(roundtrip(m, head(PK_GETUPSINFO, 8, NET_VERSION_100)), upsinfo_answer(want));
}

TEST_F(Daemon, SystemKindIsRecordedAndEchoed)
{
    int m = monitor();
    PAOSINFO os = {1, 0, 77, "WinMonitor"};
    PAOSINFO back = os;
    back.os = NET_OS_OWN;
    EXPECT_EQ(roundtrip(m, head(PK_OSINFO, 36) + bytes(os)),
              head(PK_OSINFO, 36, NET_VERSION_110, 0x34) + bytes(back));
    EXPECT_EQ(net_client_p[0].os, 0);
    EXPECT_EQ(net_client_p[0].lang, 1);
    // Too short to hold the record: no answer, nothing changed.
    PAOSINFO other = {2, 2, 0, "x"};
    EXPECT_EQ(roundtrip(m, head(PK_OSINFO, 35) + bytes(other).substr(0, 27)), "");
    EXPECT_EQ(net_client_p[0].lang, 1);
}

TEST_F(Daemon, ReadRequestSixGetsAnEmptyAnswerAndTheOthersGoToTheEngine)
{
    int m = monitor();
    UPS_COMMAND_PACKET cp = {RD_NOTHING, 0, 0, 0, 0};
    EXPECT_EQ(roundtrip(m, head(PK_READ, 16) + bytes(cp)),
              head(PK_EMPTY, 8, NET_VERSION_110, 0x34));
    for (int8_t sub : {RD_EVENTLOG, RD_DATALOG, RD_SCHEDULE, RD_EVENTSET, RD_CONFIG}) {
        cp.cmd = sub;
        EXPECT_NE(roundtrip(m, head(PK_READ, 16) + bytes(cp)), "") << int(sub);
    }
    for (int code : {EA_GETEVENTLOG, EA_GETDATALOG, EA_GETSCHEDULE, EA_GETEVENT, EA_GETCONFIG})
        EXPECT_EQ(FakeEngine::calls[code], 1) << code;
    EXPECT_EQ(daemon_st.unserved, 0u);
    cp.cmd = 9;
    EXPECT_EQ(roundtrip(m, head(PK_READ, 16) + bytes(cp)), "");
    cp.cmd = RD_NOTHING;
    EXPECT_EQ(roundtrip(m, head(PK_READ, 9) + bytes(cp).substr(0, 1)), "") << "too short";
    EXPECT_EQ(daemon_st.unserved, 0u);
    EXPECT_EQ(daemon_st.refused, 0u);
}

TEST_F(Daemon, OlderMonitorTests)
{
    daemon_cliaddr()->os = 0;
    daemon_head()->Version = NET_VERSION_110;
    EXPECT_EQ(beMonitorWin110(), 1);
    EXPECT_EQ(beMonitorWin110less(), 1);
    daemon_head()->Version = NET_VERSION_100;
    EXPECT_EQ(beMonitorWin110(), 0);
    EXPECT_EQ(beMonitorWin110less(), 1);
    daemon_cliaddr()->os = NET_OS_OWN;
    EXPECT_EQ(beMonitorWin110less(), 0);
    daemon_cliaddr()->os = 1;
    daemon_head()->Version = 0x0105;
    EXPECT_EQ(beMonitorWin110less(), 0);
}
