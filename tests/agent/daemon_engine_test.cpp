// What the daemon does for each callback kind of the engine: the command
// words and their data to a fake UPS channel process on real pipes, the
// battery-date read, the announcements and the going-down notices.  Every
// broadcast is sent inside network, IPC and UTS namespaces of the test's own.
#include "agent/agent_daemon.h"
#include "agent/agent_net.h"
#include "agent/daemon_engine.h"
#include "agent/strings.h"
#include "ea/ea_state.h"

#include "daemon_stage.h"
#include "netns.h"
#include "testutil.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using testutil::bytes;
using testutil::datagrams;
using testutil::head;
using testutil::udp_socket;

int no_engine(int, UPS_EIN_DATA *, int *, UPS_EOUT_DATA *)
{
    return 0;
}

AGINFO aginfo;

class DaemonEngine : public testing::Test
{
  protected:
    testutil::Sysroot root_;
    void SetUp() override { ASSERT_EQ(testutil::stage_daemon(&agent, &aginfo, no_engine), 0); }
    void TearDown() override { testutil::unstage_daemon(&agent); }
};

// A fake UPS channel process: echoes each command word it reads on seen and,
// for a word that owes a reply, answers what the test queued on ctl.
struct FakeUps {
    int cmd[2], rep[2], seen[2], ctl[2];
    pid_t pid = -1;
    bool start()
    {
        if (pipe(cmd) || pipe(rep) || pipe(seen) || pipe(ctl))
            return false;
        fflush(nullptr);
        if ((pid = fork()) == 0) {
            for (int fd : {cmd[1], rep[0], seen[0], ctl[1]})
                close(fd);
            uint32_t w, r;
            while (read(cmd[0], &w, 4) == 4) {
                uint32_t code = w & UPSCMD_MASK;
                if (write(seen[1], &w, 4) != 4 ||
                    ((code == UPSCMD_SHUTDOWN || code == UPSCMD_BATTDATE) &&
                     (read(ctl[0], &r, 4) != 4 || write(rep[1], &r, 4) != 4)))
                    _exit(1);
            }
            _exit(0);
        }
        for (int fd : {cmd[0], rep[1], seen[1], ctl[0]})
            close(fd);
        agent.chna2u.actpipe[1] = cmd[1];
        agent.chna2u.paspipe[0] = rep[0];
        return pid > 0;
    }
    void reply(uint32_t r) { ASSERT_EQ(write(ctl[1], &r, 4), 4); }
    uint32_t word()
    {
        struct pollfd p = {seen[0], POLLIN, 0};
        uint32_t w = 0;
        if (poll(&p, 1, 10000) != 1 || read(seen[0], &w, 4) != 4)
            return 0;
        return w;
    }
    // Ends the child; what it saw and nobody took yet.
    std::string stop()
    {
        close(cmd[1]);
        close(ctl[1]);
        waitpid(pid, nullptr, 0);
        std::string rest = testutil::read_all(seen[0]);
        close(seen[0]);
        close(rep[0]);
        agent.chna2u.actpipe[1] = agent.chna2u.paspipe[0] = -1;
        return rest;
    }
};

std::string words(std::initializer_list<uint32_t> w)
{
    std::string s;
    for (uint32_t v : w)
        s += bytes(v);
    return s;
}

BATTCHGTIME battdate()
{
    BATTCHGTIME b;
    memset(&b, 0xAA, sizeof b);
    return b;
}

} // namespace

TEST_F(DaemonEngine, EveryCommandKindItsWordsDataAndResult)
{
    const BATTCHGTIME date = {1, {124, 5, 17, 0, 0, 0, 0}};
    struct Row {
        int kind;
        unsigned arg1, arg2;
        bool msg;                   // a BATTCHGTIME at msg, else null
        std::vector<uint32_t> sent; // the words, in order
        std::string data;           // ba2u after the call ("" untouched)
        uint32_t reply;             // queued for a word that owes one
        int result;
    } rows[] = {
        {0, 0, 0, false, {}, "", 0, 0},
        {CB_UPSDOWN, 120, 3600, false, {UPSCMD_SHUTDOWN}, words({120, 3600}), 0x06000001, 0},
        {CB_UPSDOWN, 60, 0, false, {UPSCMD_SHUTDOWN}, words({60, 0}), 0x0600FFFF, -1},
        {4, 0, 0, false, {UPSCMD_DOWNCANCEL}, "", 0, 0},
        {CB_SELFTEST, 0, 0, false, {UPSCMD_TEST10}, words({10}), 0, 0},
        {CB_SELFTEST, 0, 45, false, {UPSCMD_TEST10}, words({45}), 0, 0},
        {CB_SELFTESTLOW, 0, 0, false, {UPSCMD_TESTLOW}, "", 0, 0},
        {CB_CANCELTEST, 0, 0, false, {UPSCMD_TESTCANCEL}, "", 0, 0},
        {CB_BUZZERON, 0, 0, false, {UPSCMD_BUZZERON}, "", 0, 0},
        {CB_BUZZEROFF, 0, 0, false, {UPSCMD_BUZZEROFF}, "", 0, 0},
        {CB_AUTOTESTON, 0, 0, false, {UPSCMD_AUTOTESTON}, "", 0, 0},
        {CB_AUTOTESTOFF, 0, 0, false, {UPSCMD_AUTOTESTOFF}, "", 0, 0},
        {CB_SETBATTDATE, 0, 0, true, {UPSCMD_SETBATTDATE}, bytes(date), 0, 0},
        {CB_SETBATTDATE, 0, 0, false, {}, "", 0, -1},
        {CB_GETBATTDATE, 0, 0, true, {UPSCMD_BATTDATE}, "", 0x00050001, 0},
        {CB_GETBATTDATE, 0, 0, true, {UPSCMD_BATTDATE}, "", 0x0005FFFF, -1},
        {CB_GETBATTDATE, 0, 0, false, {}, "", 0, -1},
        {CB_AUTOBOOTON, 0, 0, false, {UPSCMD_RESTARTON}, "", 0, 0},
        {CB_AUTOBOOTOFF, 0, 0, false, {UPSCMD_RESTARTOFF}, "", 0, 0},
        {CB_BUZZERTEST, 0, 0, false, {UPSCMD_BUZZERTEST}, "", 0, 0},
        {CB_DETECTLEVEL, 0, 0, false, {}, "", 0, 0},
        {CB_DETECTLEVEL, 0, 1, false, {UPSCMD_LEVELA, UPSCMD_LEVELL}, "", 0, 0},
        {CB_DETECTLEVEL, 0, 2, false, {UPSCMD_LEVELB, UPSCMD_LEVELL}, "", 0, 0},
        {CB_DETECTLEVEL, 0, 3, false, {UPSCMD_LEVELA, UPSCMD_LEVELH}, "", 0, 0},
        {CB_DETECTLEVEL, 0, 4, false, {UPSCMD_LEVELB, UPSCMD_LEVELH}, "", 0, 0},
        {CB_DETECTLEVEL, 0, 5, false, {}, "", 0, -1},
        {3, 0, 0, false, {}, "", 0, -1},
        {0x200000, 0, 0, false, {}, "", 0, -1},
    };
    UPS_UPSINFO *ui = &aginfo.ups.ui;
    ui->BattStatus = -16; // sign-extended into the record
    ui->PreChangeBatt = {123, 11, 30, 8, 9, 10, 0};
    FakeUps ups;
    ASSERT_TRUE(ups.start());
    for (int8_t comid : {int8_t{0}, COMID_NONE}) {
        ui->ComId = comid;
        for (const Row &r : rows) {
            SCOPED_TRACE(testing::Message()
                         << "kind " << r.kind << " arg2 " << r.arg2 << " ComId " << int(comid));
            memset(&aginfo.ba2u, 0x5A, sizeof aginfo.ba2u);
            BATTCHGTIME b = r.kind == CB_SETBATTDATE ? date : battdate();
            if (comid == 0 && r.reply != 0)
                ups.reply(r.reply);
            int got = Event_CallBack(r.kind, r.msg ? reinterpret_cast<char *>(&b) : nullptr, r.arg1,
                                     r.arg2);
            // With no UPS port nothing is sent, and every command succeeds.
            EXPECT_EQ(got, comid == 0 || r.sent.empty() ? r.result : 0);
            for (size_t i = 0; comid == 0 && i < r.sent.size(); i++)
                EXPECT_EQ(ups.word(), r.sent[i]);
            if (r.data.empty()) {
                EXPECT_EQ(aginfo.ba2u.msglen, 0x5A5A5A5A);
            } else {
                EXPECT_EQ(aginfo.ba2u.msglen, static_cast<int32_t>(r.data.size()));
                EXPECT_EQ(aginfo.ba2u.msgseqno, 1);
                EXPECT_EQ(aginfo.ba2u.msgremained, 0);
                EXPECT_EQ(std::string(aginfo.ba2u.buf, r.data.size()), r.data);
            }
            if (r.kind == CB_GETBATTDATE && r.msg) {
                BATTCHGTIME want = battdate();
                if (got == 0) {
                    want.uBattStatus = 0xFFFFFFF0;
                    want.BattTime.year = 123;
                    want.BattTime.month = 11;
                    want.BattTime.day = 30;
                }
                EXPECT_EQ(bytes(b), bytes(want)) << "only the status and the date are filled";
            }
        }
    }
    EXPECT_EQ(ups.stop(), "") << "no word beyond those expected";
}

// ---------------------------------------------------------------------------
// The network

namespace
{

// What a monitor's connection holds now.
std::string take(int fd)
{
    std::string got;
    char buf[512];
    ssize_t r;
    while ((r = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        got.append(buf, static_cast<size_t>(r));
    return got;
}

// The monitors' and the agents' ports, and the agent's UDP socket on the
// loopback, where a limited broadcast stays.
struct Ports {
    int monitors = udp_socket(NET_PORT_MONITOR_UDP, nullptr, INADDR_ANY);
    int agents = udp_socket(NET_PORT_AGENT_UDP, nullptr, INADDR_ANY);
    Ports() { agent.agnet.ufd = udp_socket(0); }
};

void configure(uint32_t type, const char *name, const char *model)
{
    UPS_COMMPARAM *cp = &aginfo.ups.up.commparam;
    cp->AgentType = type;
    cp->bIgnore = 1;
    wp_strlcpy(cp->Agent, name, sizeof cp->Agent);
    wp_strlcpy(cp->Group, "racks", sizeof cp->Group);
    UPS_UPSINFO *ui = &aginfo.ups.ui;
    ui->upsstat = 33;
    ui->BattStatus = 18;
    ui->CommStatus = COMM_ESTABLISHED;
    memset(ui->upsmodel, 0, sizeof ui->upsmodel);
    wp_strlcpy(ui->upsmodel, model, sizeof ui->upsmodel);
}

} // namespace

TEST_F(DaemonEngine, AnnouncementsByAgentType)
{
    testutil::in_netns([] {
        ASSERT_EQ(sethostname("voltnode.example.org", 20), 0);
        Ports p;
        ASSERT_GE(p.monitors, 0);
        UPS_ANSPROT prot = {eAdd, NET_OS_OWN, "guardian", "voltnode.exampl"};
        auto agentrec = [](uint32_t type, const char *name, const char *model, const char *group) {
            UPS_ANSAGENT a = {};
            a.cmd = eAdd;
            wp_strlcpy(a.Agent, name, sizeof a.Agent);
            wp_strlcpy(a.upsmodel, model, sizeof a.upsmodel);
            a.UPSStatus = 33;
            a.NT = NET_OS_OWN;
            wp_strlcpy(a.Group, group, sizeof a.Group);
            a.AgentType = type;
            a.BattStatus = 18;
            a.CommStatus = COMM_ESTABLISHED;
            a.bIgnore = 1;
            return head(PK_ANSAGENT, 100, NET_VERSION_110, 0x34) + bytes(a);
        };
        const char *euc = "\xa4\xa2\xa4\xa4"; // sent as stored, not converted
        const std::string spaces = "          ";
        struct {
            uint32_t type;
            int kind;
            const char *name, *model;
            std::string want;
        } rows[] = {
            {AGTYPE_PROTECTOR, CB_ANNOUNCE, "guardian", "QE1000",
             head(PK_ANSPROT, 48, NET_VERSION_110, 0x34) + bytes(prot)},
            {AGTYPE_SILENT, CB_ANNOUNCE_STATE, "guardian", "",
             head(PK_ANSPROT, 48, NET_VERSION_110, 0x34) + bytes(prot)},
            {AGTYPE_PLAIN, CB_ANNOUNCE, euc, "qe1000", agentrec(2, euc, "qe1000", "")},
            {AGTYPE_PLAIN, CB_ANNOUNCE, "guardian", "unknown",
             agentrec(2, "guardian", spaces.c_str(), "")},
            {4, CB_ANNOUNCE_STATE, euc, "QR200ZB", agentrec(4, euc, "QR200ZB", "racks")},
            {4, CB_ANNOUNCE, "guardian", "XE500", agentrec(4, "guardian", spaces.c_str(), "racks")},
            {6, CB_ANNOUNCE, "guardian", "", agentrec(6, "guardian", spaces.c_str(), "racks")},
        };
        for (const auto &r : rows) {
            SCOPED_TRACE(testing::Message() << "type " << r.type << " model " << r.model);
            configure(r.type, r.name, r.model);
            EXPECT_EQ(Event_CallBack(r.kind, nullptr, 0, 0), 0);
            EXPECT_EQ(datagrams(p.monitors), std::vector<std::string>{r.want});
        }
        EXPECT_TRUE(datagrams(p.agents).empty());
    });
}

TEST_F(DaemonEngine, AGoingDownMessageThenTheNotices)
{
    testutil::in_netns([] {
        Ports p;
        ASSERT_GE(p.agents, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        int mon = testutil::stage_monitor(&agent, &a);
        ASSERT_GE(mon, 0);
        auto kinds = [](const std::vector<std::string> &v) {
            std::string k;
            for (const std::string &d : v)
                k += d.size() > 3 ? static_cast<char>(d[3]) : '?';
            return k;
        };
        const std::string three_down(3, static_cast<char>(PK_ANSAGENT));
        const std::string three_agents(3, static_cast<char>(PK_SHUTDOWN));

        configure(AGTYPE_GROUPED, "guardian", "QE1000");
        EXPECT_EQ(Event_CallBack(CB_NETDOWNMSG, const_cast<char *>("bye"), 0, 0), 0);
        EXPECT_EQ(take(mon), head(PK_MESSAGE, 11, NET_VERSION_110, 0x34) + "bye");
        EXPECT_EQ(kinds(datagrams(p.monitors)), three_down);
        EXPECT_EQ(kinds(datagrams(p.agents)), three_agents);

        configure(AGTYPE_PLAIN, "guardian", "QE1000");
        EXPECT_EQ(Event_CallBack(CB_NETDOWNMSG, nullptr, 0, 0), 0);
        EXPECT_EQ(take(mon), head(PK_MESSAGE, 8, NET_VERSION_110, 0x34));
        EXPECT_EQ(kinds(datagrams(p.monitors)), three_down);
        EXPECT_TRUE(datagrams(p.agents).empty()) << "agents of type 2 tell no other agent";

        EXPECT_EQ(Event_CallBack(CB_DOWN2MONITOR, nullptr, 0, 0), 0);
        EXPECT_EQ(kinds(datagrams(p.monitors)), std::string(1, static_cast<char>(PK_ANSAGENT)));

        // The shutdown's own broadcast, after the UPS was told.
        configure(AGTYPE_GROUPED, "guardian", "QE1000");
        EXPECT_EQ(Event_CallBack(CB_BROADCASTDOWN, nullptr, 0, 0), 0);
        EXPECT_EQ(kinds(datagrams(p.monitors)), three_down);
        EXPECT_EQ(kinds(datagrams(p.agents)), three_agents);

        // A message that reached no one is not followed by the notices.
        close(mon);
        configure(AGTYPE_GROUPED, "guardian", "QE1000");
        EXPECT_EQ(Event_CallBack(CB_NETDOWNMSG, const_cast<char *>("bye"), 0, 0), -1);
        EXPECT_TRUE(datagrams(p.monitors).empty());
        EXPECT_TRUE(datagrams(p.agents).empty());
    });
}

namespace
{

// What a shutdown request handed the engine: "cmd/id/name" or "".
std::string handed;

int recording_engine(int cmd, UPS_EIN_DATA *in, int *, UPS_EOUT_DATA *)
{
    if (cmd == EA_CHECKAGENT && in->DATA.agentevent && in->DATA.agentevent->adip)
        handed = "18/" + std::to_string(in->DATA.agentevent->id) + "/" +
                 std::string(in->DATA.agentevent->adip->Agent, 16).c_str();
    else if (cmd == EA_DOCOMMAND && in->DATA.acp && in->DATA.acp->arg.adip)
        handed = "11/" + std::to_string(in->DATA.acp->cmd) + "/" +
                 std::string(in->DATA.acp->arg.adip->Agent, 16).c_str();
    return 0;
}

} // namespace

// Another agent's order is followed only from an agent of the group that is
// not of a lower type, unless this one ignores such orders; a monitor's
// request over its connection is a user shutdown.
TEST_F(DaemonEngine, ShutdownRequestsFromMonitorsAndOtherAgents)
{
    daemon_st.engine = recording_engine;
    agent.agnet.ufd = 100;
    UPS &ups = agent.aip->ups;
    strcpy(ups.up.commparam.Group, "Room 1");
    const struct {
        bool datagram;
        uint32_t sender, own;
        const char *group;
        int ignore;
        uint32_t length;
        int result;
        const char *handed;
    } rows[] = {
        {true, 4, 4, "ROOM 1", 0, 48, 0, "18/2/peer-host"},
        {true, 6, 4, "room 1", 0, 48, 0, "18/2/peer-host"},
        {true, 4, 6, "Room 1", 0, 48, 0, ""},  // a lower type is not followed
        {true, 4, 4, "Room 2", 0, 48, 0, ""},  // another group
        {true, 4, 4, "Room 1", 1, 48, 0, ""},  // orders ignored here
        {true, 3, 4, "Room 1", 0, 48, -1, ""}, // no agent of its own UPS
        {true, 4, 7, "Room 1", 0, 48, -1, ""}, // no type of this agent
        {true, 4, 4, "Room 1", 0, 47, -1, ""}, // short
        {false, 0, 4, "", 0, 48, 0, "11/18/peer-host"},
        {false, 4, 4, "Room 1", 0, 48, -1, ""}, // a typed request by connection
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.datagram ? "datagram " : "connection ") +
                     std::to_string(r.sender) + " " + r.group);
        handed.clear();
        ups.up.commparam.AgentType = r.own;
        ups.ui.bIgnoreDown = r.ignore;
        agent.agnet.cnc.sockfd = r.datagram ? 100 : 101;
        UPS_AGENTDOWNINFO d{};
        d.DownId = 22;
        d.AgentType = r.sender;
        memcpy(d.Agent, "peer-host", 9);
        memcpy(d.Group, r.group, strlen(r.group));
        std::string p = head(PK_SHUTDOWN, r.length) + bytes(d);
        memcpy(daemon_head(), p.data(), p.size());
        EXPECT_EQ(daemon_shutdownups(&agent), r.result);
        EXPECT_EQ(handed, r.handed);
    }
}
