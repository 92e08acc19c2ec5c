// The monitor requests the engine carries out or stores: what reaches a
// recording fake engine for each kind, length and UPS model, what the agent
// keeps of the settings, and the answers, over a monitor's connection with
// administrator rights and by datagram on the loopback.
#include "agent/daemon_engine.h"

#include "agent/daemon_stage.h"
#include "netns.h"
#include "testutil.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

using testutil::bytes;
using testutil::head;

const BATTCHGTIME battdate = {5, {126, 3, 14, 0, 0, 0, 0}};

// The engine: writes down each request but the periodic one, as
// "request/datatype[/command/argument]", and keeps a stored schedule list.
struct Rec {
    static inline std::string log;
    static inline std::vector<SCHEDULEINFO> stored;
    static inline int result;
    static std::string arg(const AGENTCMD *c)
    {
        switch (c->cmd) {
        case PK_CANCELSHUTDOWN:
            return c->arg.hp;
        case PK_SELFTEST:
        case PK_DETECTLEVEL:
            return std::to_string(c->arg.last);
        case PK_BATTDATE:
            return std::to_string(c->arg.bctp->BattTime.year);
        case PK_PROTREPORT:
            return c->arg.pip->Protector;
        default:
            return c->arg.hp == nullptr ? "-" : "?";
        }
    }
    static int call(int cmd, UPS_EIN_DATA *in, int *, UPS_EOUT_DATA *out)
    {
        if (cmd == EA_CHECKUPS)
            return 0;
        std::string e = std::to_string(cmd) + "/" + std::to_string(in->datatype);
        if (cmd == EA_DOCOMMAND && in->DATA.acp->cmd == PK_GETBATTDATE) {
            // A message meanwhile goes through the packet buffer.
            Event_CallBack(CB_MESSAGE, const_cast<char *>("mid-call"), 1, 0);
            *out->acp->arg.bctp = battdate;
            e += "/30/" + std::string(in->DATA.acp->arg.bctp == out->acp->arg.bctp ? "b" : "?");
        } else if (cmd == EA_DOCOMMAND) {
            e += "/" + std::to_string(in->DATA.acp->cmd) + "/" + arg(in->DATA.acp);
        } else if (cmd == EA_SETSCHEDULE) {
            stored.clear();
            for (const SCHEDULELIST *s = in->DATA.schlist; s != nullptr; s = s->next)
                stored.push_back(s->info);
            e += in->DATA.schlist == agent.sl ? "/sl" : "/?";
        } else if (cmd == EA_GETSCHEDULE && !stored.empty()) {
            auto *s = static_cast<SCHEDULELIST *>(calloc(stored.size(), sizeof(SCHEDULELIST)));
            for (size_t i = 0; i < stored.size(); i++)
                s[i] = {i + 1 < stored.size() ? &s[i + 1] : nullptr, stored[i]};
            out->DATA.schlist = s;
        } else if (cmd == EA_SETEVENT) {
            e += "/" + std::to_string(in->DATA.eu.uip->nusers);
        } else if (cmd == EA_GETCONFIG) {
            strcpy(out->DATA.upsconfigp->commparam.Agent, "guardian");
        } else if (cmd == EA_GETEVENTLOG) {
            out->eventlog = {2, static_cast<UPS_EVENTLOGINFO *>(calloc(2, 28))};
        }
        log += (log.empty() ? "" : " ") + e;
        return result;
    }
    static std::string take() { return std::exchange(log, ""); }
};

AGINFO aginfo;

class DaemonRequests : public testing::Test
{
  protected:
    testutil::Sysroot root_;
    int mon_ = -1, udp_ = -1;
    uint16_t port_ = 0;
    void SetUp() override
    {
        Rec::log.clear();
        Rec::stored.clear();
        Rec::result = 0;
        ASSERT_EQ(testutil::stage_daemon(&agent, &aginfo, Rec::call), 0);
        aginfo.ups.up.commparam.AgentType = AGTYPE_NORMAL;
        struct sockaddr_in a = {};
        mon_ = testutil::stage_monitor(&agent, &a);
        ASSERT_GE(mon_, 0);
        net_client_p[0].auth = AUTH_ADMIN;
        agent.agnet.ufd = testutil::udp_socket(0, &port_);
        udp_ = testutil::udp_socket(0);
        ASSERT_GE(udp_, 0);
        Rec::log.clear();
    }
    void TearDown() override
    {
        close(mon_);
        close(udp_);
        close(agent.agnet.ufd);
        agent.agnet.ufd = -1;
        free(agent.sl);
        agent.sl = nullptr;
        testutil::unstage_daemon(&agent);
    }
    // The answers to one request over the connection, messages left out.
    std::string ask(const std::string &req)
    {
        EXPECT_EQ(send(mon_, req.data(), req.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(req.size()));
        EXPECT_EQ(daemon_pass(&agent, 1000), 0);
        char buf[65536];
        ssize_t r = recv(mon_, buf, sizeof buf, MSG_DONTWAIT);
        std::string got(buf, r > 0 ? static_cast<size_t>(r) : 0), v;
        for (uint32_t len; got.size() >= 8 && (memcpy(&len, &got[4], 4), len >= 8);) {
            if (got[3] != static_cast<char>(PK_MESSAGE))
                v += got.substr(0, len);
            got.erase(0, len);
        }
        return v;
    }
    // The answers to one datagram from the loopback.
    std::string datagram(const std::string &req)
    {
        struct sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port_);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(sendto(udp_, req.data(), req.size(), 0, reinterpret_cast<struct sockaddr *>(&to),
                         sizeof to),
                  static_cast<ssize_t>(req.size()));
        EXPECT_EQ(daemon_pass(&agent, 1000), 0);
        std::string v;
        for (const std::string &d : testutil::datagrams(udp_))
            v += d;
        return v;
    }
    static std::string reply(uint8_t kind, const std::string &data)
    {
        UPS_PACKET_HEAD h = {NET_VERSION_110, 0x34, kind, static_cast<uint32_t>(8 + data.size())};
        return bytes(h) + data;
    }
};

std::string int32(int32_t v)
{
    return bytes(v);
}

TEST_F(DaemonRequests, UpsCommandsByKindLengthAndModel)
{
    const std::string host = std::string("mon-1") + std::string(11, '\0');
    const std::string none;
    struct Row {
        uint8_t kind;
        std::string data;
        const char *model;
        int16_t version;
        int result;
        std::string engine; // what the engine was asked, "" nothing
        std::string answer; // "" none
    } rows[] = {
        {PK_CANCELSHUTDOWN, host, "QE350", NET_VERSION_110, 0, "11/131/19/mon-1", none},
        {PK_CANCELSHUTDOWN, std::string(16, 'N'), "", NET_VERSION_110, 0,
         "11/131/19/" + std::string(16, 'N'), none},
        {PK_CANCELSHUTDOWN, host.substr(1), "", NET_VERSION_110, 0, none, none},
        {PK_SELFTEST, int32(45), "QE350", NET_VERSION_110, 0, "11/131/20/45", none},
        {PK_SELFTEST, int32(45) + "xxxx", "", NET_VERSION_110, 0, none, none},
        {PK_SELFTESTLOW, "", "QE350", NET_VERSION_110, 0, "11/131/21/-", none},
        {PK_CANCELTEST, "", "QE5500", NET_VERSION_110, 0, "11/131/22/-", none},
        {PK_CLEARDATALOG, "", "QE350", NET_VERSION_110, 0, "11/131/25/-", none},
        {PK_CLEAREVENTLOG, "x", "", NET_VERSION_110, 0, none, none},
        {PK_BEEPERON, "", "QE350", NET_VERSION_110, 0, none, none},
        {PK_BEEPEROFF, "", "QE5500", NET_VERSION_110, 0, none, none},
        {PK_AUTOTESTON, "", "QE350XL", NET_VERSION_110, 0, none, none},
        {PK_AUTOTESTOFF, "", "QE1000", NET_VERSION_110, 0, "11/131/33/-", none},
        {PK_BEEPERTEST, "", "QA700", NET_VERSION_100, 0, "11/131/35/-", none},
        {PK_BEEPERON, "", "QR1500", NET_VERSION_110, -1, "11/131/28/-", none},
        {PK_GETBATTDATE, "", "QA700", NET_VERSION_110, 0, "11/131/30/b",
         reply(PK_BATTDATE, bytes(battdate))},
        {PK_GETBATTDATE, "", "QR1500", NET_VERSION_100, 0, "11/131/30/b",
         reply(PK_BATTDATE, bytes(battdate))},
        {PK_GETBATTDATE, "", "QR1500", NET_VERSION_110, -1, "11/131/30/b", none},
        {PK_GETBATTDATE, "", "QA700", NET_VERSION_100, 0, none, none},
        {PK_GETBATTDATE, "", "QE5500", NET_VERSION_110, 0, none, none},
        {PK_GETBATTDATE, "x", "QR1500", NET_VERSION_110, 0, none, none},
        {PK_BATTDATE, bytes(battdate), "QA700", NET_VERSION_110, 0, "11/131/31/126", none},
        {PK_BATTDATE, bytes(battdate), "QA700", NET_VERSION_100, 0, none, none},
        {PK_BATTDATE, bytes(battdate), "QE350", NET_VERSION_110, 0, none, none},
        {PK_BATTDATE, bytes(battdate).substr(1), "QR1500", NET_VERSION_110, 0, none, none},
        {PK_DETECTLEVEL, int32(3), "QR1500", NET_VERSION_110, 0, "11/131/34/3", none},
        {PK_DETECTLEVEL, int32(0), "", NET_VERSION_110, 0, "11/131/34/0", none},
        {PK_DETECTLEVEL, int32(5), "QR1500", NET_VERSION_110, 0, "11/131/34/5", none},
        {PK_DETECTLEVEL, int32(-1), "QR1500", NET_VERSION_110, 0, "11/131/34/-1", none},
        {PK_DETECTLEVEL, int32(3), "QE1000", NET_VERSION_110, 0, none, none},
        {PK_DETECTLEVEL, int32(3), "QA700", NET_VERSION_110, 0, none, none},
        {PK_DETECTLEVEL, "", "QR1500", NET_VERSION_110, 0, none, none},
    };
    for (const Row &r : rows) {
        memset(aginfo.ups.ui.upsmodel, 0, sizeof aginfo.ups.ui.upsmodel);
        strcpy(aginfo.ups.ui.upsmodel, r.model);
        Rec::result = r.result;
        std::string got =
            ask(head(r.kind, static_cast<uint32_t>(8 + r.data.size()), r.version) + r.data);
        std::string what =
            std::to_string(r.kind) + " " + r.model + " len " + std::to_string(8 + r.data.size());
        EXPECT_EQ(Rec::take(), r.engine) << what;
        EXPECT_EQ(got, r.answer) << what;
    }
}

TEST_F(DaemonRequests, SchedulesKeepTheMonitorsMonthsAndOneBlock)
{
    // Sent, kept and read back: months of a monitor that counts from 1; 0,
    // no month to it, comes back as the first.
    const int8_t months[3][3] = {{0, 5, -1}, {0, 4, -1}, {1, 5, -1}};
    std::string sent[3];
    for (int i = 0; i < 3; i++) {
        for (int8_t id = 1; id <= 3; id++) {
            SCHEDULEINFO s = {};
            s.ID = id;
            s.stimeInfo.month = s.etimeInfo.month = months[i][id - 1];
            sent[i] += bytes(s);
        }
    }
    agent.agnet.cnc.os = net_client_p[0].os = 1;
    EXPECT_EQ(ask(head(PK_SCHEDULE, 8 + 60) + sent[0]), "");
    EXPECT_EQ(Rec::take(), "10/4/sl");
    std::string kept;
    for (int i = 0; i < 3; i++) {
        kept += bytes(Rec::stored.at(i));
        EXPECT_EQ(agent.sl[i].info.ID, i + 1) << "one block, in order";
    }
    EXPECT_EQ(kept, sent[1]);
    EXPECT_EQ(ask(head(PK_READ, 16) + bytes(UPS_COMMAND_PACKET{3, 0, 0, 0, 0})),
              reply(PK_SCHEDULE, sent[2]));
    EXPECT_EQ(Rec::take(), "4/4");

    // Lengths that are not whole entries change nothing; a protector keeps
    // no schedules; no entries is an empty list.
    for (uint32_t len : {8u + 59, 8u + 61, 8u + 1}) {
        ask(head(PK_SCHEDULE, len) + std::string(len - 8, 'x'));
        EXPECT_EQ(Rec::take(), "") << len;
        EXPECT_EQ(agent.sl[1].info.ID, 2);
    }
    aginfo.ups.up.commparam.AgentType = AGTYPE_PROTECTOR;
    ask(head(PK_SCHEDULE, 8));
    EXPECT_EQ(Rec::take(), "");
    aginfo.ups.up.commparam.AgentType = AGTYPE_NORMAL;
    ask(head(PK_SCHEDULE, 8));
    EXPECT_EQ(Rec::take(), "10/4/sl");
    EXPECT_EQ(agent.sl, nullptr);
}

TEST_F(DaemonRequests, EventSettingsUsersConvertedAndBounded)
{
    std::string events;
    for (int i = 0; i < NET_EVENTSET_NEVENTS; i++)
        events += std::string(283, static_cast<char>(i)) + '\0';
    for (USERSDATA &u : agent.us)
        memset(&u, 'j', sizeof u);

    // No users: all 32 cleared.
    EXPECT_EQ(ask(head(PK_EVENTSET, 13356) + events), "");
    EXPECT_EQ(Rec::take(), "9/8/0");
    EXPECT_EQ(memcmp(agent.el, events.data(), events.size()), 0);
    for (const USERSDATA &u : agent.us) {
        EXPECT_EQ(u.UserID, USERID_UNUSED);
        EXPECT_EQ(u.UserName[0] | u.Address[0] | u.Email[0], 0);
    }

    // Shift_JIS in, the agent's code kept; every text bounded by its field,
    // whatever the sender ended or did not, and no character cut in half.
    USERSDATA u[2];
    memset(u, 0, sizeof u);
    strcpy(u[0].UserName, "\x88\x9F-op");
    memset(u[0].Address, 'a', sizeof u[0].Address);
    memset(u[0].Email, '\xB1', 200); // half-width katakana: two bytes each inside
    memset(u[1].UserName, 'n', sizeof u[1].UserName);
    std::string req = head(PK_EVENTSET, 13356 + 2 * 543) + events + bytes(u[0]) + bytes(u[1]);
    ask(req);
    EXPECT_EQ(Rec::take(), "9/8/2");
    EXPECT_STREQ(agent.us[0].UserName, "\xB0\xA1-op");
    EXPECT_EQ(std::string(agent.us[0].Address), std::string(255, 'a'));
    std::string kana;
    for (int i = 0; i < 127; i++)
        kana += "\x8E\xB1";
    EXPECT_EQ(std::string(agent.us[0].Email), kana);
    EXPECT_EQ(std::string(agent.us[1].UserName), std::string(20, 'n'));
    EXPECT_EQ(agent.us[2].UserID, USERID_UNUSED);
    EXPECT_EQ(agent.nusers, 2);

    // More users than the agent has room for, or a broken length: refused,
    // nothing changed, the engine not asked.
    USERSDATA before[AGENT_NUSERS];
    memcpy(before, agent.us, sizeof before);
    std::string many = events;
    for (int i = 0; i < 33; i++)
        many += bytes(u[1]);
    for (const std::string &r : {head(PK_EVENTSET, 13356 + 33 * 543) + many,
                                 head(PK_EVENTSET, 13356 + 542) + many.substr(0, 13348 + 542),
                                 head(PK_EVENTSET, 13355) + events.substr(1)}) {
        ask(r);
        EXPECT_EQ(Rec::take(), "") << r.size();
        EXPECT_EQ(memcmp(before, agent.us, sizeof before), 0) << r.size();
    }
}

TEST_F(DaemonRequests, ConfigurationKeepsTheAgentsName)
{
    UPS_PARAM *up = &aginfo.ups.up;
    strcpy(up->commparam.Agent, "\xB0\xA1host");
    UPS_PARAM req = {};
    req.workparam.BattLife = 600;
    req.commparam.AgentType = AGTYPE_NORMAL;
    strcpy(req.commparam.Agent, "intruder");
    strcpy(req.commparam.Group, "\xB1\xB2");
    memset(req.commparam.lpszAccount, '\x88', sizeof req.commparam.lpszAccount);
    strcpy(req.commparam.lpszDomain, "dom\xB1"); // a lone last byte is kept
    // Version 0x0110 converts as Shift_JIS; 0x0115 keeps what may be the
    // agent's own code.
    struct {
        int16_t version;
        const char *group;
    } rows[] = {{NET_VERSION_110, "\x8E\xB1\x8E\xB2"}, {0x0115, "\xB1\xB2"}};
    for (const auto &r : rows) {
        EXPECT_EQ(ask(head(PK_CONFIG, 880, r.version) + bytes(req)), "");
        EXPECT_EQ(Rec::take(), "8/2");
        EXPECT_STREQ(up->commparam.Agent, "\xB0\xA1host");
        EXPECT_STREQ(up->commparam.Group, r.group);
        EXPECT_EQ(up->workparam.BattLife, 600u);
        EXPECT_EQ(up->commparam.lpszAccount[sizeof up->commparam.lpszAccount - 1], '\0');
        EXPECT_STREQ(up->commparam.lpszDomain, "dom\xB1");
    }
    req.workparam.BattLife = 1;
    for (uint32_t len : {879u, 881u}) {
        ask(head(PK_CONFIG, len) + bytes(req).substr(0, len - 8) + std::string(len > 880, 'x'));
        EXPECT_EQ(Rec::take(), "") << len;
    }
    aginfo.ups.up.commparam.AgentType = AGTYPE_PROTECTOR;
    ask(head(PK_CONFIG, 880) + bytes(req));
    EXPECT_EQ(Rec::take(), "");
    EXPECT_EQ(up->workparam.BattLife, 600u);
}

TEST_F(DaemonRequests, ProtectorRequestsByDatagram)
{
    // A protector's agent name, read: the delay word is 0, not what the
    // buffer held.
    memset(daemon_data(), 0xAA, 64);
    aginfo.ups.up.commparam.AgentType = AGTYPE_PROTECTOR;
    PROTECTORCFG cfg = {};
    strcpy(cfg.lpszAgentName, "guardian");
    EXPECT_EQ(datagram(head(PK_GETPROTCFG, 8)), reply(PK_PROTCFG, bytes(cfg)));
    EXPECT_EQ(Rec::take(), "2/2");
    Rec::result = -1;
    EXPECT_EQ(datagram(head(PK_GETPROTCFG, 8)), reply(PK_PROTCFG, ""));

    // Set from this host, its name bounded by the field.
    Rec::result = 0;
    Rec::take();
    memset(cfg.lpszAgentName, 'G', sizeof cfg.lpszAgentName);
    EXPECT_EQ(datagram(head(PK_PROTCFG, 28) + bytes(cfg)), "");
    EXPECT_EQ(Rec::take(), "8/2");
    EXPECT_EQ(std::string(aginfo.ups.up.commparam.Agent), std::string(16, 'G'));
    datagram(head(PK_PROTCFG, 27) + bytes(cfg).substr(1));
    EXPECT_EQ(Rec::take(), "");

    // Its event log, whole; a report to an agent is not for a protector.
    EXPECT_EQ(datagram(head(PK_GETPROTEVENTLOG, 16) + std::string(8, '\0')),
              reply(PK_PROTEVENTLOG, std::string(56, '\0')));
    Rec::take();
    UPS_PROTECTORINFO pi = {};
    memset(pi.Protector, 'p', sizeof pi.Protector);
    datagram(head(PK_PROTREPORT, 54) + bytes(pi));
    EXPECT_EQ(Rec::take(), "");

    // An agent hears the report, and has no protector settings.
    aginfo.ups.up.commparam.AgentType = AGTYPE_NORMAL;
    datagram(head(PK_PROTREPORT, 54) + bytes(pi));
    EXPECT_EQ(Rec::take(), "11/131/192/" + std::string(41, 'p'));
    datagram(head(PK_PROTREPORT, 53) + bytes(pi).substr(1));
    EXPECT_EQ(datagram(head(PK_GETPROTCFG, 8)), reply(PK_PROTCFG, ""));
    datagram(head(PK_PROTCFG, 28) + bytes(cfg));
    EXPECT_EQ(Rec::take(), "");
}

} // namespace
