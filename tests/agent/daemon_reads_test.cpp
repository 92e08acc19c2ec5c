// The daemon's side of the engine: the kind-24 reads built from what the
// engine returns, and the callback's message packets.  The engine is a
// fake that returns fixed records and may talk to the monitors mid-call.
#include "agent/daemon_engine.h"

#include "agent/daemon_stage.h"
#include "ea/ea_state.h"
#include "testutil.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

struct Fake {
    static inline int calls[32];
    static inline unsigned datatype[32];
    static inline LOGRANGE range;
    static inline int result;
    static inline int32_t extra; // records returned beyond those asked
    static inline bool talk;     // sends a message while it works
    static int call(int cmd, UPS_EIN_DATA *in, int *, UPS_EOUT_DATA *out)
    {
        calls[cmd & 31]++;
        datatype[cmd & 31] = in->datatype;
        if (talk && cmd != EA_CHECKUPS)
            Event_CallBack(CB_MESSAGE, const_cast<char *>("mid-call"), 1, 0);
        if (cmd == EA_GETEVENTLOG || cmd == EA_GETDATALOG) {
            range = *in->DATA.range;
            int32_t n = (range.counts < 16 ? range.counts : 16) + extra;
            auto *ev = static_cast<UPS_EVENTLOGINFO *>(calloc(n, sizeof(UPS_EVENTLOGINFO)));
            auto *dl = static_cast<UPS_DATALOGINFO *>(calloc(n, sizeof(UPS_DATALOGINFO)));
            for (int32_t i = 0; i < n; i++) {
                ev[i].EventId = static_cast<uint8_t>(i + 1);
                dl[i].upsdata.Load = static_cast<uint8_t>(i + 1);
            }
            out->eventlog = {n, ev};
            out->datalog = {n, dl};
            if (cmd == EA_GETEVENTLOG)
                free(dl);
            else
                free(ev);
        } else if (cmd == EA_GETSCHEDULE) {
            auto *s = static_cast<SCHEDULELIST *>(calloc(3, sizeof(SCHEDULELIST)));
            const int8_t months[3] = {0, 5, -1};
            for (int i = 0; i < 3; i++) {
                s[i].next = i < 2 ? &s[i + 1] : nullptr;
                s[i].info.ID = static_cast<int8_t>(i);
                s[i].info.stimeInfo.month = s[i].info.etimeInfo.month = months[i];
            }
            out->DATA.schlist = s;
        } else if (cmd == EA_GETEVENT) {
            out->DATA.eu.eap[0].EventID = 128;
            out->DATA.eu.uip->nusers = 2;
            strcpy(out->DATA.eu.uip->udp[1].UserName, "\xA4\xA2user"); // EUC-JP
        } else if (cmd == EA_GETCONFIG) {
            strcpy(out->DATA.upsconfigp->commparam.Agent, "\xA4\xA2host");
            out->DATA.upsconfigp->workparam.ComSet = 1;
            out->DATA.upsconfigp->workparam.TurnOffDelay = 600;
        }
        return result;
    }
};

AGINFO aginfo;

class DaemonReads : public testing::Test
{
  protected:
    testutil::Sysroot root_;
    void SetUp() override
    {
        memset(Fake::calls, 0, sizeof Fake::calls);
        Fake::result = 0;
        Fake::extra = 0;
        Fake::talk = false;
        ASSERT_EQ(testutil::stage_daemon(&agent, &aginfo, Fake::call), 0);
        aginfo.ups.up.commparam.AgentType = 4;
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        mon_ = sv[1];
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        ASSERT_EQ(daemon_addclient(&agent.agnet, sv[0], &a), 0);
    }
    void TearDown() override
    {
        close(mon_);
        close(net_client_p[0].sockfd);
        daemon_clearclients(&agent.agnet);
        free(agent.sl);
        agent.sl = nullptr;
        agent.aip = nullptr;
        ea_setcallback(nullptr);
        daemon_stateinit();
    }
    // The packets that came back for one read.
    std::vector<std::string> read(int8_t sub, int16_t first = 0, int16_t count = 0,
                                  int16_t version = NET_VERSION_110)
    {
        UPS_COMMAND_PACKET cp = {sub, 0, first, count, 0};
        UPS_PACKET_HEAD h = {version, 0, PK_READ, 16};
        std::string req = std::string(reinterpret_cast<char *>(&h), 8) +
                          std::string(reinterpret_cast<char *>(&cp), 8);
        EXPECT_EQ(send(mon_, req.data(), req.size(), MSG_NOSIGNAL), 16);
        EXPECT_EQ(daemon_pass(&agent, 1000), 0);
        std::string got;
        char buf[65536];
        for (ssize_t r; (r = recv(mon_, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            got.append(buf, static_cast<size_t>(r));
        std::vector<std::string> v;
        while (got.size() >= 8) {
            uint32_t len;
            memcpy(&len, got.data() + 4, 4);
            if (len < 8)
                break;
            v.push_back(got.substr(0, len));
            got.erase(0, len);
        }
        return v;
    }
    static uint8_t kind(const std::string &p) { return static_cast<uint8_t>(p[3]); }
    template <class T> static T at(const std::string &p, size_t off)
    {
        T v{};
        memcpy(&v, p.data() + off, sizeof v);
        return v;
    }
    int mon_ = -1;
};

TEST_F(DaemonReads, AnswersAreBuiltFromTheEngine)
{
    std::vector<std::string> p = read(RD_EVENTLOG, 3, 4);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(kind(p[0]), PK_EVENTLOG);
    EXPECT_EQ(p[0].size(), 8u + 4 * 28);
    EXPECT_EQ(at<UPS_EVENTLOGINFO>(p[0], 8 + 3 * 28).EventId, 4);
    EXPECT_EQ(Fake::range.firstline, 3);
    EXPECT_EQ(Fake::range.counts, 4);
    EXPECT_EQ(Fake::datatype[EA_GETEVENTLOG], static_cast<unsigned>(E_EVENTLOG));

    p = read(RD_DATALOG, 0, 2);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(kind(p[0]), PK_DATALOG);
    ASSERT_EQ(p[0].size(), 8u + 2 * 24);
    EXPECT_EQ(at<UPS_DATALOGINFO>(p[0], 8 + 24).upsdata.Load, 2);

    // Months go out counted from 1 to monitors of system kinds 0 and 1.
    struct {
        int32_t os;
        int8_t months[3];
    } kinds[] = {{0, {1, 6, -1}}, {1, {1, 6, -1}}, {2, {0, 5, -1}}};
    for (const auto &k : kinds) {
        agent.agnet.cnc.os = net_client_p[0].os = k.os;
        p = read(RD_SCHEDULE);
        ASSERT_EQ(p.size(), 1u);
        EXPECT_EQ(kind(p[0]), PK_SCHEDULE);
        ASSERT_EQ(p[0].size(), 8u + 3 * 20);
        for (int i = 0; i < 3; i++) {
            SCHEDULEINFO si = at<SCHEDULEINFO>(p[0], 8 + 20 * i);
            EXPECT_EQ(si.ID, i);
            EXPECT_EQ(si.stimeInfo.month, k.months[i]) << k.os;
            EXPECT_EQ(si.etimeInfo.month, k.months[i]) << k.os;
        }
    }
    EXPECT_NE(agent.sl, nullptr) << "the daemon keeps the list";

    // Users go out converted; the engine's own copy keeps its code.
    p = read(RD_EVENTSET);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(kind(p[0]), PK_EVENTSET);
    ASSERT_EQ(p[0].size(), 13356u + 2 * 543);
    EXPECT_EQ(at<UPS_EVENTINFO>(p[0], 8).EventID, 128);
    USERSDATA u = at<USERSDATA>(p[0], 13356 + 543);
    EXPECT_STREQ(u.UserName, "\x82\xA0user");
    EXPECT_STREQ(agent.us[1].UserName, "\xA4\xA2user");
    EXPECT_EQ(agent.nusers, 2);

    // The configuration likewise; an older monitor of another kind finds
    // the turn-off delay where it expects it.
    for (int16_t version : {NET_VERSION_110, NET_VERSION_100}) {
        agent.agnet.cnc.os = net_client_p[0].os = 0;
        p = read(RD_CONFIG, 0, 0, version);
        ASSERT_EQ(p.size(), 1u);
        EXPECT_EQ(kind(p[0]), PK_CONFIG);
        ASSERT_EQ(p[0].size(), 880u);
        UPS_PARAM up = at<UPS_PARAM>(p[0], 8);
        EXPECT_STREQ(up.commparam.Agent, "\x82\xA0host");
        EXPECT_EQ(up.workparam.ComSet, version == NET_VERSION_110 ? 600 : 1);
        EXPECT_STREQ(aginfo.ups.up.commparam.Agent, "\xA4\xA2host");
    }
    const struct {
        int code;
        unsigned datatype;
    } kinds_sent[] = {{EA_GETDATALOG, E_DATALOG},
                      {EA_GETSCHEDULE, E_SCHEDULE},
                      {EA_GETEVENT, E_EVENTACTION},
                      {EA_GETCONFIG, E_UPSCONFIG}};
    for (const auto &k : kinds_sent)
        EXPECT_EQ(Fake::datatype[k.code], k.datatype) << k.code;
}

// A protector reads its whole event log and nothing else; an engine that
// fails, or returns more than was asked, gives an empty answer.
TEST_F(DaemonReads, ProtectorsFailuresAndMessagesMidCall)
{
    aginfo.ups.up.commparam.AgentType = AGTYPE_PROTECTOR;
    std::vector<std::string> p = read(RD_EVENTLOG, 5, 2);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(kind(p[0]), PK_PROTEVENTLOG);
    EXPECT_EQ(p[0].size(), 8u + 16 * 28);
    EXPECT_EQ(Fake::range.firstline, 0);
    EXPECT_EQ(Fake::range.counts, 65536);
    const uint8_t empty_kinds[] = {PK_DATALOG, PK_SCHEDULE, PK_EVENTSET, PK_CONFIG};
    for (int8_t sub = RD_DATALOG; sub <= RD_CONFIG; sub++) {
        p = read(sub);
        ASSERT_EQ(p.size(), 1u);
        EXPECT_EQ(kind(p[0]), empty_kinds[sub - RD_DATALOG]);
        EXPECT_EQ(p[0].size(), 8u);
    }
    EXPECT_EQ(Fake::calls[EA_GETDATALOG] + Fake::calls[EA_GETCONFIG], 0);

    aginfo.ups.up.commparam.AgentType = 4;
    Fake::extra = 1;
    p = read(RD_DATALOG, 0, 2);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].size(), 8u);
    Fake::extra = 0;
    Fake::result = -1;
    for (int8_t sub = RD_EVENTLOG; sub <= RD_CONFIG; sub++) {
        p = read(sub, 0, 1);
        ASSERT_EQ(p.size(), 1u);
        EXPECT_EQ(p[0].size(), 8u) << int(sub);
    }

    // A message sent while the engine works reaches the monitor, and the
    // answer still goes to the one who asked.
    Fake::result = 0;
    Fake::talk = true;
    daemon_engine_install();
    p = read(RD_DATALOG, 0, 1);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(kind(p[0]), PK_MESSAGE);
    EXPECT_EQ(p[0].substr(8), "mid-call");
    EXPECT_EQ(kind(p[1]), PK_DATALOG);
    EXPECT_EQ(p[1].size(), 8u + 24);
}

TEST_F(DaemonReads, CallbackKinds)
{
    EXPECT_EQ(Event_CallBack(3, nullptr, 0, 0), -1);
    EXPECT_EQ(Event_CallBack(CB_SELFTEST, nullptr, 0, 5), 0);
    EXPECT_NE(testutil::read_file(root_.at("/.erra")).find("kind 8 (0, 5)"), std::string::npos);
    // Messages go by language: a monitor of language 2 takes only English.
    net_client_p[0].lang = 2;
    EXPECT_EQ(Event_CallBack(CB_MESSAGE, const_cast<char *>("jp"), 1, 0), 0);
    EXPECT_EQ(Event_CallBack(CB_MESSAGE, nullptr, 2, 0), 0);
    char buf[64];
    ssize_t r = recv(mon_, buf, sizeof buf, MSG_DONTWAIT);
    ASSERT_EQ(r, 8) << "a header-only message, the other skipped";
    EXPECT_EQ(static_cast<uint8_t>(buf[3]), PK_MESSAGE);
}

} // namespace
