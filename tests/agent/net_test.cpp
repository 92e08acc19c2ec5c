// The daemon's network side, run in-process: TCP framing on socketpairs
// (fed byte by byte where the case needs it), the datagram length rule,
// replies, messages to monitors by language, the inquiry answer, the
// going-down notices and leaving.  Everything that sends a datagram runs
// in a child inside network, IPC and UTS namespaces of the test's own, where
// a broadcast from a loopback-bound socket stays on the loopback interface.
#include "agent/agent_daemon.h"
#include "agent/agent_log.h"
#include "agent/agent_net.h"
#include "agent/net_queue.h"
#include "agent/sysroot.h"

#include "daemon_stage.h"
#include "netns.h"
#include "testutil.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

int quiet_engine(int cmd, UPS_EIN_DATA *in, int *, UPS_EOUT_DATA *)
{
    if (cmd == EA_CHECKAGENT && in->DATA.agentevent != nullptr) {
        char msg[64];
        snprintf(msg, sizeof msg, "engine agent event %d\n", in->DATA.agentevent->id);
        printf0(msg);
    }
    return 0;
}

AGINFO aginfo;

class Net : public testing::Test
{
  protected:
    testutil::Sysroot root_;
    void SetUp() override
    {
        ASSERT_EQ(testutil::stage_daemon(&agent, &aginfo, quiet_engine), 0);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        ours_ = sv[0];
        theirs_ = sv[1];
        cli_ = NETCLI{};
        cli_.sockfd = ours_;
        cli_.addr.sin_family = AF_INET;
        cli_.addr.sin_port = htons(40001);
        cli_.addr.sin_addr.s_addr = htonl(0xC0000207);
        cli_.os = 3;
        cli_.lang = 1;
        cli_.auth = AUTH_USER;
    }
    void TearDown() override
    {
        close(ours_);
        if (theirs_ >= 0)
            close(theirs_);
        testutil::unstage_daemon(&agent);
    }
    void send_bytes(const std::string &s)
    {
        ASSERT_EQ(send(theirs_, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
    }
    // As the loop does: only once the connection is readable.
    int read_packet()
    {
        struct pollfd p = {cli_.sockfd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 5000), 1);
        int len = -7;
        int r = net_readpacketfromtcpsocket(&cli_, &len);
        if (r > 1) {
            EXPECT_EQ(len, r);
        } else {
            EXPECT_EQ(len, 0);
        }
        return r;
    }
    int ours_ = -1, theirs_ = -1;
    NETCLI cli_;
};

using testutil::bytes;
using testutil::head;

std::string buffered(size_t n)
{
    return std::string(reinterpret_cast<const char *>(daemon_head()), n);
}

using testutil::datagrams;
using testutil::debuglog;
using testutil::udp_socket;

// The agent's UDP socket on the loopback, and a monitor's socket to ask
// from: one pass of the loop serves each datagram.
struct UdpPeers {
    int mon = -1;
    uint16_t agent_port = 0;
    void open()
    {
        agent.agnet.ufd = udp_socket(0, &agent_port);
        mon = udp_socket(0);
        ASSERT_GE(agent.agnet.ufd, 0);
        ASSERT_GE(mon, 0);
    }
    std::vector<std::string> ask(const std::string &req)
    {
        struct sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(agent_port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(sendto(mon, req.data(), req.size(), 0, reinterpret_cast<struct sockaddr *>(&to),
                         sizeof to),
                  static_cast<ssize_t>(req.size()));
        EXPECT_EQ(daemon_pass(&agent, 1000), 0);
        return datagrams(mon);
    }
};

} // namespace

// ---------------------------------------------------------------------------
// Validity

TEST_F(Net, ValidKindsAndPrototypes)
{
    std::vector<int> valid;
    for (int k = 0; k < 256; k++) {
        UPS_PACKET_HEAD h = {NET_VERSION_110, 0, static_cast<uint8_t>(k), 8};
        if (net_checkisvalidpacket(&h) == 0)
            valid.push_back(k);
        h.Prototype = 1;
        EXPECT_EQ(net_checkisvalidpacket(&h), valid.empty() || valid.back() != k ? -1 : 0);
        for (int8_t p : {static_cast<int8_t>(-1), static_cast<int8_t>(2)}) {
            h.Prototype = p;
            EXPECT_EQ(net_checkisvalidpacket(&h), -1);
        }
    }
    std::vector<int> want;
    for (int k = 16; k <= 35; k++) {
        if (k != 27)
            want.push_back(k);
    }
    want.insert(want.end(), {80, 81, 82, 241});
    EXPECT_EQ(valid, want);
    EXPECT_EQ(net_checkisvalidpacket(nullptr), -1);
}

// ---------------------------------------------------------------------------
// TCP framing

TEST_F(Net, KeepAliveBytesAndWholePackets)
{
    PAOSINFO os = {2, 1, 0, "mon"};
    send_bytes("\xff\xff" + head(PK_OSINFO, 36, NET_VERSION_100, 1) + bytes(os));
    EXPECT_EQ(read_packet(), 1);
    EXPECT_EQ(read_packet(), 1);
    EXPECT_EQ(read_packet(), 64);
    EXPECT_EQ(buffered(36), head(PK_OSINFO, 36, NET_VERSION_100, 1) + bytes(os));
    const UPS_CLIADDR *ca = daemon_cliaddr();
    EXPECT_EQ(ca->sockfd, ours_);
    EXPECT_EQ(ca->addr.sin_port, cli_.addr.sin_port);
    EXPECT_EQ(ca->os, 3);
    EXPECT_EQ(ca->lang, 1);
    EXPECT_EQ(agent.agnet.cnc.sockfd, ours_);
    EXPECT_EQ(agent.agnet.cnc.auth, AUTH_USER);
    EXPECT_EQ(agent.agnet.cnc.addr.sin_addr.s_addr, cli_.addr.sin_addr.s_addr);

    close(theirs_);
    theirs_ = -1;
    EXPECT_EQ(read_packet(), -1) << "end of file";
}

TEST_F(Net, ImpossibleLengthsCloseTheConnectionUnread)
{
    for (uint32_t bad : {0u, 7u, static_cast<uint32_t>(DAEMON_MAXREQUEST) + 1, 0xFFFFFFFFu}) {
        for (uint8_t kind : {static_cast<uint8_t>(PK_GETUPSINFO), static_cast<uint8_t>(27)}) {
            int sv[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
            cli_.sockfd = sv[0];
            memset(daemon_data(), 0x5A, 2000);
            int cap = Daemon_NetBufLen;
            std::string pkt = head(kind, bad) + std::string(1500, 'A');
            ASSERT_EQ(send(sv[1], pkt.data(), pkt.size(), 0), static_cast<ssize_t>(pkt.size()));
            EXPECT_EQ(read_packet(), -1) << bad << " kind " << int(kind);
            EXPECT_EQ(Daemon_NetBufLen, cap);
            EXPECT_EQ(std::string(daemon_data(), 2000), std::string(2000, 0x5A))
                << "nothing reached the buffer";
            close(sv[0]);
            close(sv[1]);
        }
    }
}

TEST_F(Net, ThePacketOfTheLargestLengthIsRead)
{
    std::string data(DAEMON_MAXREQUEST - 8, 'e');
    send_bytes(head(PK_EVENTSET, DAEMON_MAXREQUEST) + data);
    EXPECT_EQ(read_packet(), DAEMON_MAXREQUEST + 28);
    EXPECT_EQ(std::string(daemon_data(), data.size()), data);
}

TEST_F(Net, PacketsNotServedAreSkippedWithTheirData)
{
    // Each rejected packet's data looks like a header: were it left in the
    // stream, the next read would take it for one.
    std::string decoy = head(PK_OSINFO, 8);
    send_bytes(head(27, 16) + decoy);                                 // kind outside the list
    send_bytes(head(PK_MESSAGE, 16) + decoy);                         // an answer kind
    send_bytes(head(PK_PROTREPORT, 54) + decoy + std::string(38, 0)); // UDP only
    send_bytes(head(PK_GETUPSINFO, 16, NET_VERSION_110, 2) + decoy);  // Prototype 2
    send_bytes(head(PK_GETUPSINFO, 8));
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(read_packet(), 0) << i;
    EXPECT_EQ(read_packet(), 36);
    EXPECT_EQ(daemon_head()->DataId, PK_GETUPSINFO);
}

namespace
{

// Writes s on fd one byte at a time, each only once the reader has taken
// the one before, so that every read finds a single byte.
pid_t trickle(int fd, const std::string &s)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    for (char c : s) {
        if (send(fd, &c, 1, MSG_NOSIGNAL) != 1)
            _exit(1);
        for (int i = 0; i < 5000; i++) {
            int queued = 0;
            if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued == 0)
                break;
            struct pollfd none;
            poll(&none, 0, 1);
        }
    }
    _exit(0);
}

} // namespace

TEST_F(Net, APacketArrivingByteByByte)
{
    PAOSINFO os = {1, 0, 0, "slow"};
    std::string pkt = head(PK_OSINFO, 36, NET_VERSION_110, 1) + bytes(os);
    pid_t w = trickle(theirs_, pkt);
    int r = 0, calls = 0;
    while (r == 0 && calls++ < 100)
        r = read_packet();
    EXPECT_EQ(r, 64);
    // Each call takes what has come and keeps it; two bytes may land
    // between two calls, so the count is at most one call a byte.
    EXPECT_LE(calls, 36);
    EXPECT_GT(calls, 1) << "a call waited for the whole packet";
    EXPECT_EQ(buffered(36), pkt);
    int status;
    waitpid(w, &status, 0);
    EXPECT_EQ(status, 0);

    // A header that came in pieces is taken from protocol 1 monitors only.
    w = trickle(theirs_, head(PK_GETUPSINFO, 8, NET_VERSION_110, 0));
    r = 0;
    calls = 0;
    while (r == 0 && calls++ < 100)
        r = read_packet();
    EXPECT_EQ(r, -1);
    EXPECT_LE(calls, 8);
    EXPECT_GT(calls, 1);
    waitpid(w, &status, 0);
}

TEST_F(Net, AHalfPacketIsKeptUntilItsRestComes)
{
    PAOSINFO os = {2, 1, 0, "patient"};
    std::string pkt = head(PK_OSINFO, 36) + bytes(os);
    send_bytes(pkt.substr(0, 17));
    EXPECT_EQ(read_packet(), 0) << "no wait for the rest";
    memset(daemon_data(), 0, 64); // the buffer serves others meanwhile
    send_bytes(pkt.substr(17));
    EXPECT_EQ(read_packet(), 64);
    EXPECT_EQ(buffered(36), pkt);

    // What is kept for a connection goes with it: a later connection on
    // the same descriptor starts afresh.
    send_bytes(pkt.substr(0, 20));
    EXPECT_EQ(read_packet(), 0);
    net_forget(ours_);
    send_bytes(head(PK_GETUPSINFO, 8));
    EXPECT_EQ(read_packet(), 36);
    EXPECT_EQ(daemon_head()->DataId, PK_GETUPSINFO);

    // An end in the middle of a packet ends the connection.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    cli_.sockfd = sv[0];
    ASSERT_EQ(send(sv[1], pkt.data(), 30, 0), 30);
    EXPECT_EQ(read_packet(), 0);
    close(sv[1]);
    EXPECT_EQ(read_packet(), -1);
    close(sv[0]);
}

// ---------------------------------------------------------------------------
// Replies and messages

TEST_F(Net, AReplyGoesDownItsConnectionWhole)
{
    UPS_CLIADDR *ca = daemon_cliaddr();
    ca->sockfd = ours_;
    std::string pkt = head(PK_UPSINFO, 228) + std::string(220, 'i');
    memcpy(daemon_head(), pkt.data(), pkt.size());
    EXPECT_EQ(net_sendpacketout(&agent), 0);
    char buf[512];
    EXPECT_EQ(recv(theirs_, buf, sizeof buf, MSG_DONTWAIT), 228);
    EXPECT_EQ(std::string(buf, 228), pkt);

    // A header whose Length does not fit the buffer is never sent.
    daemon_head()->Length = 7;
    EXPECT_EQ(net_sendpacketout(&agent), -1);
    daemon_head()->Length = static_cast<uint32_t>(Daemon_NetBufLen) + 1;
    EXPECT_EQ(net_sendpacketout(&agent), -1);
    EXPECT_EQ(recv(theirs_, buf, sizeof buf, MSG_DONTWAIT), -1);
}

TEST_F(Net, MessagesReachTheMonitorsOfTheirLanguage)
{
    // Monitors of languages 0, 1, 2 and 3, and one whose socket is full.
    int peer[5];
    for (int i = 0; i < 5; i++) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        ASSERT_EQ(daemon_addclient(&agent.agnet, sv[0], nullptr), i);
        net_client_p[i].lang = i < 4 ? i : 0;
        peer[i] = sv[1];
    }
    std::string fill(65536, 'f');
    while (send(net_client_p[4].sockfd, fill.data(), fill.size(), MSG_DONTWAIT) > 0) {
    }
    std::string msg = head(PK_MESSAGE, 13) + "hello";
    auto deliver = [&](int (*fn)(AGENT *, int), int lang) {
        memcpy(daemon_head(), msg.data(), msg.size());
        EXPECT_EQ(fn(&agent, lang), 0);
        std::string who;
        char buf[64];
        for (int i = 0; i < 4; i++) {
            ssize_t r = recv(peer[i], buf, sizeof buf, MSG_DONTWAIT);
            if (r > 0) {
                EXPECT_EQ(std::string(buf, static_cast<size_t>(r)), msg);
                who += static_cast<char>('0' + i);
            }
        }
        return who;
    };
    EXPECT_EQ(deliver(broadcastmsg2monitor, 1), "013");
    EXPECT_EQ(deliver(broadcastmsg2monitor, 2), "2");
    EXPECT_EQ(deliver(broadcastmsg2monitor, 0), "03");
    EXPECT_EQ(deliver(sendpacketout_msg, 2), "2");
    auto all = [](AGENT *ap, int) { return net_broadcastmsg2monitor(ap); };
    EXPECT_EQ(deliver(all, 0), "0123");
    auto reply = [](AGENT *ap, int) { return net_sendpacketout(ap); };
    EXPECT_EQ(deliver(reply, 0), "0123") << "a message as a reply goes to every monitor";

    // The monitor whose socket was full has the four messages meant for it
    // waiting in its queue, none skipped.
    EXPECT_EQ(netq_pending(net_client_p[4].sockfd), 4 * msg.size());

    msg = head(PK_UPSINFO, 13) + "hello";
    EXPECT_EQ(deliver(sendpacketout_msg, 0), "") << "only messages";
    for (int p : peer)
        close(p);
}

// ---------------------------------------------------------------------------
// Datagrams and the inquiry

namespace
{

std::string inquiry(int16_t version = NET_VERSION_110)
{
    UPS_INQAGENT q = {eAdd, "console"};
    return head(PK_INQAGENT, 28, version) + bytes(q);
}

void configure(uint32_t type)
{
    UPS_COMMPARAM *cp = &aginfo.ups.up.commparam;
    cp->AgentType = type;
    cp->bIgnore = 1;
    strcpy(cp->Agent, "guardian");
    strcpy(cp->Group, "racks");
    UPS_UPSINFO *ui = &aginfo.ups.ui;
    ui->upsstat = 33;
    ui->BattStatus = 18;
    ui->CommStatus = COMM_ESTABLISHED;
    strcpy(ui->upsmodel, "qe1000");
    aginfo.ups.up.workparam.ComSet = 0;
}

UPS_ANSAGENT agent_answer(uint32_t type)
{
    UPS_ANSAGENT a = {};
    a.cmd = Reply;
    strcpy(a.Agent, "guardian");
    if (type != AGTYPE_PLAIN)
        strcpy(a.upsmodel, "QE1000");
    a.UPSStatus = 33;
    a.NT = NET_OS_OWN;
    strcpy(a.Group, "racks");
    a.AgentType = type;
    a.BattStatus = 18;
    a.CommStatus = COMM_ESTABLISHED;
    a.bIgnore = 1;
    return a;
}

std::string answer240(const UPS_ANSAGENT &a)
{
    return head(PK_ANSAGENT, 100, NET_VERSION_110, 0x34) + bytes(a);
}

} // namespace

TEST_F(Net, DatagramLengthRuleAndOnlyDatagramKindsAnswered)
{
    testutil::in_netns([] {
        UdpPeers u;
        u.open();
        configure(AGTYPE_GROUPED);
        auto sized = [](uint32_t length, size_t size) {
            std::string d = inquiry();
            memcpy(d.data() + 4, &length, sizeof length);
            d.resize(size, '\0');
            return d;
        };
        const std::string answer = answer240(agent_answer(AGTYPE_GROUPED));
        using V = std::vector<std::string>;
        EXPECT_EQ(u.ask(sized(28, 28)), V{answer});
        EXPECT_EQ(u.ask(sized(28, 29)), V{answer}) << "a trailing NUL is tolerated";
        EXPECT_EQ(u.ask(sized(28, 30)), V{});
        EXPECT_EQ(u.ask(sized(28, 27)), V{});
        EXPECT_EQ(u.ask(sized(27, 29)), V{});
        EXPECT_EQ(u.ask(sized(8, 7)), V{}) << "shorter than a header";
        EXPECT_EQ(u.ask(sized(7, 7)), V{}) << "a Length below a header";
        EXPECT_EQ(u.ask(sized(7, 8)), V{});

        // Requests that are no datagram kinds are served (kind 17 records
        // nothing for a datagram), but nothing goes back: a forged sender
        // address would have the answers, many times the request's size.
        PAOSINFO os = {1, 0, 0, "forged"};
        UPS_COMMAND_PACKET cp = {RD_NOTHING, 0, 0, 0, 0};
        for (const std::string &req : {head(PK_GETUPSINFO, 8), head(PK_OSINFO, 36) + bytes(os),
                                       head(PK_READ, 16) + bytes(cp)})
            EXPECT_EQ(u.ask(req), V{}) << "kind " << static_cast<int>(static_cast<uint8_t>(req[3]));
        EXPECT_EQ(u.ask(inquiry()), V{answer}) << "and an inquiry still is answered";
    });
}

TEST_F(Net, InquiryAnswersByAgentType)
{
    testutil::in_netns([] {
        ASSERT_EQ(sethostname("voltnode.example.org", 20), 0);
        UdpPeers u;
        u.open();
        using V = std::vector<std::string>;

        configure(AGTYPE_SILENT);
        EXPECT_EQ(u.ask(inquiry()), V{});

        configure(AGTYPE_PROTECTOR);
        UPS_ANSPROT p = {};
        p.cmd = Reply;
        p.NT = NET_OS_OWN;
        strcpy(p.Agent, "guardian");
        strcpy(p.myname, "voltnode");
        EXPECT_EQ(u.ask(inquiry()), V{head(PK_ANSPROT, 48, NET_VERSION_110, 0x34) + bytes(p)});
        ASSERT_EQ(sethostname("averyveryverylonghostname", 25), 0);
        strcpy(p.myname, "averyveryverylo");
        EXPECT_EQ(u.ask(inquiry()), V{head(PK_ANSPROT, 48, NET_VERSION_110, 0x34) + bytes(p)});

        configure(AGTYPE_PLAIN);
        EXPECT_EQ(u.ask(inquiry()), V{answer240(agent_answer(AGTYPE_PLAIN))});
        configure(AGTYPE_GROUPED);
        EXPECT_EQ(u.ask(inquiry()), V{answer240(agent_answer(AGTYPE_GROUPED))});
        configure(6);
        EXPECT_EQ(u.ask(inquiry()), V{answer240(agent_answer(6))});

        // Only an inquiry of the right length is answered.
        std::string q = inquiry();
        q[4] = 29;
        EXPECT_EQ(u.ask(q + std::string(1, 'x')), V{});
    });
}

TEST_F(Net, InquiryModelAndCommunicationSubstitutions)
{
    testutil::in_netns([] {
        UdpPeers u;
        u.open();
        using V = std::vector<std::string>;
        configure(AGTYPE_GROUPED);

        strcpy(aginfo.ups.ui.upsmodel, "Unknown");
        UPS_ANSAGENT a = agent_answer(AGTYPE_GROUPED);
        memset(a.upsmodel, 0, sizeof a.upsmodel);
        EXPECT_EQ(u.ask(inquiry()), V{answer240(a)}) << "UNKNOWN in any case is no model";

        strcpy(aginfo.ups.ui.upsmodel, "QE1000");
        aginfo.ups.ui.CommStatus = COMM_LOST;
        a.CommStatus = COMM_LOST;
        EXPECT_EQ(u.ask(inquiry()), V{answer240(a)}) << "no model while the UPS is not reached";

        aginfo.ups.ui.CommStatus = COMM_NOUPS;
        a.CommStatus = COMM_NOUPS;
        EXPECT_EQ(u.ask(inquiry(0x0115)), V{answer240(a)});
        a.CommStatus = COMM_LOST;
        EXPECT_EQ(u.ask(inquiry(NET_VERSION_100)), V{answer240(a)})
            << "an older monitor of another system knows no \"no UPS\"";

        // No UPS configured: 6 in the answer whoever asks, and in the record.
        aginfo.ups.ui.CommStatus = COMM_ESTABLISHED;
        aginfo.ups.up.workparam.ComSet = COMSET_NOUPS;
        strcpy(a.upsmodel, "QE1000");
        a.CommStatus = COMM_NOUPS;
        EXPECT_EQ(u.ask(inquiry(NET_VERSION_100)), V{answer240(a)});
        EXPECT_EQ(aginfo.ups.ui.CommStatus, COMM_NOUPS);
    });
}

TEST_F(Net, ADatagramIsAnsweredForItsSenderNotForTheLastConnection)
{
    testutil::in_netns([] {
        UdpPeers u;
        u.open();
        configure(AGTYPE_GROUPED);
        aginfo.ups.ui.CommStatus = COMM_NOUPS;
        UPS_ANSAGENT a = agent_answer(AGTYPE_GROUPED);
        memset(a.upsmodel, 0, sizeof a.upsmodel);
        a.CommStatus = COMM_LOST;
        using V = std::vector<std::string>;
        EXPECT_EQ(u.ask(inquiry(NET_VERSION_100)), V{answer240(a)});

        // A monitor of our own kind of system says so on its connection.
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        struct sockaddr_in peer = {};
        peer.sin_family = AF_INET;
        ASSERT_EQ(daemon_addclient(&agent.agnet, sv[0], &peer), 0);
        PAOSINFO os = {2, NET_OS_OWN, 0, "own"};
        std::string req = head(PK_OSINFO, 36) + bytes(os);
        ASSERT_EQ(send(sv[1], req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
        EXPECT_EQ(daemon_pass(&agent, 1000), 0);
        EXPECT_EQ(net_client_p[0].os, NET_OS_OWN);

        // The datagram's sender told nothing: what that connection said
        // is not taken for it.
        EXPECT_EQ(u.ask(inquiry(NET_VERSION_100)), V{answer240(a)});
        EXPECT_EQ(net_client_p[0].os, NET_OS_OWN);
        EXPECT_EQ(net_client_p[0].lang, 2);
    });
}

TEST_F(Net, InquiryNamesAreConvertedAndBounded)
{
    testutil::in_netns([] {
        UdpPeers u;
        u.open();
        configure(AGTYPE_GROUPED);
        // EUC-JP in the agent's name: Shift_JIS for kind 1, as it is for kind 2.
        strcpy(aginfo.ups.up.commparam.Agent, "\xb0\xa1-ups");
        UPS_ANSAGENT a = agent_answer(AGTYPE_GROUPED);
        memset(a.Agent, 0, sizeof a.Agent);
        strcpy(a.Agent, "\x88\x9f-ups");
        EXPECT_EQ(u.ask(inquiry()), std::vector<std::string>{answer240(a)});
        strcpy(a.Agent, "\xb0\xa1-ups");
        EXPECT_EQ(u.ask(inquiry(0x0115)), std::vector<std::string>{answer240(a)});

        // Fields filled to the brim, without a terminator.
        memset(aginfo.ups.up.commparam.Agent, 'n', sizeof aginfo.ups.up.commparam.Agent);
        memset(aginfo.ups.up.commparam.Group, 'g', sizeof aginfo.ups.up.commparam.Group);
        memset(aginfo.ups.ui.upsmodel, 'm', sizeof aginfo.ups.ui.upsmodel);
        memset(a.Agent, 'n', 15);
        a.Agent[15] = '\0';
        memset(a.Group, 'g', 15);
        a.Group[15] = '\0';
        memset(a.upsmodel, 'M', 31);
        a.upsmodel[31] = '\0';
        EXPECT_EQ(u.ask(inquiry(0x0115)), std::vector<std::string>{answer240(a)});
    });
}

// ---------------------------------------------------------------------------
// Going down

namespace
{

// Broadcast receivers for the monitors' and the agents' ports, and the
// agent's UDP socket bound to the loopback so that its broadcasts go there.
struct Listeners {
    int monitors = -1, agents = -1;
    void open()
    {
        monitors = udp_socket(NET_PORT_MONITOR_UDP, nullptr, INADDR_ANY);
        agents = udp_socket(NET_PORT_AGENT_UDP, nullptr, INADDR_ANY);
        agent.agnet.ufd = udp_socket(0);
        ASSERT_GE(monitors, 0);
        ASSERT_GE(agents, 0);
        ASSERT_GE(agent.agnet.ufd, 0);
    }
};

} // namespace

TEST_F(Net, GoingDownNoticesForMonitorsAndAgents)
{
    testutil::in_netns([] {
        ASSERT_EQ(sethostname("voltnode.example.org", 20), 0);
        Listeners l;
        l.open();

        configure(AGTYPE_SILENT);
        EXPECT_EQ(net_broadcastdown2monitor(&agent), 0);
        EXPECT_TRUE(datagrams(l.monitors).empty());

        configure(AGTYPE_PROTECTOR);
        EXPECT_EQ(net_broadcastdown2monitor(&agent), 0);
        UPS_ANSPROT p = {};
        p.cmd = Delete;
        p.NT = 1;
        strcpy(p.Agent, "guardian");
        strcpy(p.myname, "voltnode.exampl"); // not cut at the dot
        EXPECT_EQ(datagrams(l.monitors),
                  std::vector<std::string>{head(PK_ANSPROT, 48, NET_VERSION_110, 0x34) + bytes(p)});

        configure(AGTYPE_GROUPED);
        strcpy(aginfo.ups.ui.upsmodel, "unknown");
        aginfo.ups.ui.CommStatus = COMM_LOST;
        EXPECT_EQ(net_broadcastdown2monitor(&agent), 0);
        UPS_ANSAGENT a = agent_answer(AGTYPE_GROUPED);
        a.cmd = Delete;
        memset(a.upsmodel, 0, sizeof a.upsmodel);
        a.CommStatus = COMM_LOST;
        EXPECT_EQ(datagrams(l.monitors), std::vector<std::string>{answer240(a)});

        EXPECT_EQ(net_broadcastdown2agent(&agent), 0);
        UPS_AGENTDOWNINFO d = {};
        d.DownId = 22;
        d.AgentType = AGTYPE_GROUPED;
        strcpy(d.Agent, "guardian");
        strcpy(d.Group, "racks");
        EXPECT_EQ(
            datagrams(l.agents),
            std::vector<std::string>{head(PK_SHUTDOWN, 48, NET_VERSION_110, 0x34) + bytes(d)});

        EXPECT_EQ(net_broadcastdown(&agent), 0);
        EXPECT_EQ(datagrams(l.monitors).size(), 3u);
        EXPECT_EQ(datagrams(l.agents).size(), 3u);
        configure(AGTYPE_PLAIN);
        EXPECT_EQ(net_broadcastdown(&agent), 0);
        EXPECT_EQ(datagrams(l.monitors).size(), 3u);
        EXPECT_TRUE(datagrams(l.agents).empty()) << "agents of type 2 tell no other agent";

        // Bound to every address, the limited broadcast has no route here and
        // goes to the broadcast-capable interfaces instead: there are none.
        close(agent.agnet.ufd);
        agent.agnet.ufd = udp_socket(0, nullptr, INADDR_ANY);
        EXPECT_EQ(net_broadcastdown2monitor(&agent), 0);
        EXPECT_TRUE(datagrams(l.monitors).empty());
    });
}

TEST_F(Net, LeavingTellsTheMonitorsLogsAndRemovesTheSegment)
{
    testutil::in_netns([] {
        Listeners l;
        l.open();
        configure(AGTYPE_GROUPED);
        int id = shmget(IPC_PRIVATE, sizeof(AGINFO), IPC_CREAT | 0600);
        ASSERT_GE(id, 0);
        void *seg = shmat(id, nullptr, 0);
        ASSERT_NE(seg, reinterpret_cast<void *>(-1));
        memcpy(seg, &aginfo, sizeof aginfo);
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            // The whole road: a stop request in a quiet pass, then leaving.
            agent.aip = static_cast<AGINFOP>(seg);
            agent.shmid = id;
            agent.aip->isagentchg = -1;
            daemon_doagent(&agent);
            _exit(99);
        }
        shmdt(seg);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_NE(WEXITSTATUS(status), 99);
        struct shmid_ds ds;
        EXPECT_EQ(shmctl(id, IPC_STAT, &ds), -1) << "the segment is gone";
        EXPECT_EQ(datagrams(l.monitors).size(), 3u);
        std::string log = debuglog();
        size_t stop = log.find("daemon_doagent: receive voltmiractl stop command\n");
        size_t engine = log.find("engine agent event 4\n", stop);
        size_t out = log.find("net_netexit called\n", engine);
        EXPECT_NE(stop, std::string::npos);
        EXPECT_NE(engine, std::string::npos);
        EXPECT_NE(out, std::string::npos);
    });
}

namespace
{

// Runs the "ip" tool with args in the test's namespaces; true when it succeeds.
bool ip(std::vector<const char *> args)
{
    args.insert(args.begin(), "ip");
    args.push_back(nullptr);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
            execv(p, const_cast<char *const *>(args.data()));
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

} // namespace

// Only the limited broadcast falls back to each interface's broadcast
// address; an answer whose (forged) sender cannot be reached is not turned
// into a broadcast to the whole segment.
TEST_F(Net, OnlyABroadcastFallsBackToTheInterfaces)
{
    testutil::in_netns([] {
        if (!ip({"link", "add", "va", "type", "veth", "peer", "name", "vb"}))
            GTEST_SKIP() << "no veth pair for the test";
        ASSERT_TRUE(ip({"addr", "add", "192.0.2.1/24", "brd", "+", "dev", "va"}));
        ASSERT_TRUE(ip({"link", "set", "va", "up"}));
        ASSERT_TRUE(ip({"link", "set", "vb", "up"}));
        Listeners l;
        l.open();
        close(agent.agnet.ufd);
        agent.agnet.ufd = udp_socket(0, nullptr, INADDR_ANY); // no route for 255.255.255.255
        configure(AGTYPE_GROUPED);

        EXPECT_EQ(net_broadcastdown2monitor(&agent), 0);
        EXPECT_EQ(datagrams(l.monitors).size(), 1u) << "the announcement, by 192.0.2.255";

        // An inquiry "from" an address without a route, at the monitors' port.
        std::string q = inquiry();
        memcpy(daemon_head(), q.data(), q.size());
        agent.agnet.cnc.sockfd = agent.agnet.ufd;
        agent.agnet.cnc.addr.sin_family = AF_INET;
        agent.agnet.cnc.addr.sin_port = htons(NET_PORT_MONITOR_UDP);
        inet_pton(AF_INET, "203.0.113.5", &agent.agnet.cnc.addr.sin_addr);
        *daemon_cliaddr() = UPS_CLIADDR{};
        daemon_cliaddr()->sockfd = agent.agnet.ufd;
        daemon_cliaddr()->addr = agent.agnet.cnc.addr;
        daemon_procnetmsg(&agent, AUTH_NONE, 0);
        EXPECT_TRUE(datagrams(l.monitors).empty());
    });
}

// A converted text that no longer fits its field is cut between characters,
// in the code it is now in, and the rest of the field is zeroed.
TEST(NetText, ConvertedTextsAreCutOnlyBetweenCharacters)
{
    auto rep = [](const char *s, int n) {
        std::string r;
        for (int i = 0; i < n; i++)
            r += s;
        return r;
    };
    struct Row {
        bool out;
        int kind;
        std::string src;
        size_t field;
        std::string want;
    } rows[] = {
        // EUC-JP "a" (hiragana) to Shift_JIS: 15 bytes of room hold 7.
        {true, 1, rep("\xA4\xA2", 10), 16, rep("\x82\xA0", 7)},
        // A peer of the agent's code gets a copy, cut the same way.
        {true, 2, rep("\xA4\xA2", 10), 16, rep("\xA4\xA2", 7)},
        // Shift_JIS half-width katakana double on the way in.
        {false, 1, rep("\xB1", 20), 21, rep("\x8E\xB1", 10)},
        {false, 1, "dom\xB1", 21, "dom\xB1"}, // not Shift_JIS enough: copied whole
        {true, 1, "abcdefghijklmnopqrstuvwxyz", 16, "abcdefghijklmno"},
        {true, 1, "", 16, ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.want);
        char field[300];
        memset(field, 'x', sizeof field);
        if (r.out)
            net_textout(field, r.field, r.src.c_str(), r.src.size(), r.kind);
        else
            net_textin(field, r.field, r.src.c_str(), r.src.size(), r.kind);
        EXPECT_EQ(std::string(field, strnlen(field, r.field)), r.want);
        EXPECT_EQ(std::string(field + r.want.size(), r.field - r.want.size()),
                  std::string(r.field - r.want.size(), '\0'));
        EXPECT_EQ(field[r.field], 'x');
    }
}
