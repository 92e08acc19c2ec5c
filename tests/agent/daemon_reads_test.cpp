// The daemon's side of the engine: kind-24 reads built from what a fake
// engine returns, and the callback's message packets.
#include "agent/daemon_engine.h"

#include "agent/daemon_stage.h"
#include "ea/ea_state.h"
#include "testutil.h"

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
    static inline LOGRANGE range;
    static inline int result;
    static inline bool talk; // sends a message while it works
    static int call(int cmd, UPS_EIN_DATA *in, int *, UPS_EOUT_DATA *out)
    {
        if (talk && cmd != EA_CHECKUPS)
            Event_CallBack(CB_MESSAGE, const_cast<char *>("mid-call"), 1, 0);
        if (cmd == EA_GETEVENTLOG || cmd == EA_GETDATALOG) {
            range = *in->DATA.range;
            int32_t n = range.counts < 16 ? range.counts : 16;
            if (cmd == EA_GETEVENTLOG)
                out->eventlog = {n, static_cast<UPS_EVENTLOGINFO *>(calloc(n, 28))};
            else
                out->datalog = {n, static_cast<UPS_DATALOGINFO *>(calloc(n, 24))};
        } else if (cmd == EA_GETSCHEDULE) {
            auto *s = static_cast<SCHEDULELIST *>(calloc(3, sizeof(SCHEDULELIST)));
            const int8_t months[3] = {0, 5, -1};
            for (int i = 0; i < 3; i++) {
                s[i].next = i < 2 ? &s[i + 1] : nullptr;
                s[i].info.stimeInfo.month = s[i].info.etimeInfo.month = months[i];
            }
            out->DATA.schlist = s;
        } else if (cmd == EA_GETEVENT) {
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
        Fake::result = 0;
        Fake::talk = false;
        ASSERT_EQ(testutil::stage_daemon(&agent, &aginfo, Fake::call), 0);
        aginfo.ups.up.commparam.AgentType = 4;
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        mon_ = sv[1];
        struct sockaddr_in a = {};
        ASSERT_EQ(daemon_addclient(&agent.agnet, sv[0], &a), 0);
    }
    void TearDown() override
    {
        close(mon_);
        free(agent.sl);
        agent.sl = nullptr;
        ea_setcallback(nullptr);
        testutil::unstage_daemon(&agent);
    }
    // The packets that came back for one read, split at their lengths.
    std::vector<std::string> read(int8_t sub, int16_t count = 0, int16_t version = NET_VERSION_110)
    {
        UPS_COMMAND_PACKET cp = {sub, 0, 3, count, 0};
        std::string req = testutil::head(PK_READ, 16, version) + testutil::bytes(cp);
        EXPECT_EQ(send(mon_, req.data(), req.size(), MSG_NOSIGNAL), 16);
        EXPECT_EQ(daemon_pass(&agent, 1000), 0);
        char buf[65536];
        ssize_t r = recv(mon_, buf, sizeof buf, MSG_DONTWAIT);
        std::string got(buf, r > 0 ? static_cast<size_t>(r) : 0);
        std::vector<std::string> v;
        for (uint32_t len; got.size() >= 8 && (memcpy(&len, &got[4], 4), len >= 8);) {
            v.push_back(got.substr(0, len));
            got.erase(0, len);
        }
        return v;
    }
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
    // Months go out counted from 1 to monitors of system kinds 0 and 1.
    struct {
        int32_t os;
        int8_t months[3];
    } kinds[] = {{0, {1, 6, -1}}, {1, {1, 6, -1}}, {2, {0, 5, -1}}};
    for (const auto &k : kinds) {
        agent.agnet.cnc.os = net_client_p[0].os = k.os;
        std::vector<std::string> p = read(RD_SCHEDULE);
        ASSERT_EQ(p.size(), 1u);
        ASSERT_EQ(p[0].size(), 8u + 3 * 20);
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(at<SCHEDULEINFO>(p[0], 8 + 20 * i).stimeInfo.month, k.months[i]);
            EXPECT_EQ(at<SCHEDULEINFO>(p[0], 8 + 20 * i).etimeInfo.month, k.months[i]);
        }
    }

    // Users and names go out converted; the engine's own records keep the
    // agent's code, and an older monitor of another kind finds the
    // turn-off delay where it expects it.
    std::vector<std::string> p = read(RD_EVENTSET);
    ASSERT_EQ(p.size(), 1u);
    ASSERT_EQ(p[0].size(), 13356u + 2 * 543);
    EXPECT_STREQ(at<USERSDATA>(p[0], 13356 + 543).UserName, "\x82\xA0user");
    EXPECT_STREQ(agent.us[1].UserName, "\xA4\xA2user");
    agent.agnet.cnc.os = net_client_p[0].os = 0;
    for (int16_t version : {NET_VERSION_110, NET_VERSION_100}) {
        p = read(RD_CONFIG, 0, version);
        ASSERT_EQ(p.size(), 1u);
        ASSERT_EQ(p[0].size(), 880u);
        UPS_PARAM up = at<UPS_PARAM>(p[0], 8);
        EXPECT_STREQ(up.commparam.Agent, "\x82\xA0host");
        EXPECT_EQ(up.workparam.ComSet, version == NET_VERSION_110 ? 600 : 1);
        EXPECT_STREQ(aginfo.ups.up.commparam.Agent, "\xA4\xA2host");
    }

    // A protector reads its whole event log and nothing else.
    aginfo.ups.up.commparam.AgentType = AGTYPE_PROTECTOR;
    p = read(RD_EVENTLOG, 2);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0][3], static_cast<char>(PK_PROTEVENTLOG));
    EXPECT_EQ(p[0].size(), 8u + 16 * 28);
    EXPECT_EQ(Fake::range.firstline, 0);
    EXPECT_EQ(Fake::range.counts, 65536);
    for (int8_t sub = RD_DATALOG; sub <= RD_CONFIG; sub++)
        EXPECT_EQ(read(sub).at(0).size(), 8u) << int(sub);
}

TEST_F(DaemonReads, FailuresAndMessagesMidCall)
{
    Fake::result = -1;
    for (int8_t sub = RD_EVENTLOG; sub <= RD_CONFIG; sub++)
        EXPECT_EQ(read(sub, 1).at(0).size(), 8u) << int(sub);

    // A message sent while the engine works reaches the monitor, and the
    // answer still goes to the one who asked.
    Fake::result = 0;
    Fake::talk = true;
    daemon_engine_install();
    std::vector<std::string> p = read(RD_DATALOG, 1);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0][3], static_cast<char>(PK_MESSAGE));
    EXPECT_EQ(p[0].substr(8), "mid-call");
    EXPECT_EQ(p[1].size(), 8u + 24);
    EXPECT_EQ(p[1][3], static_cast<char>(PK_DATALOG));

    // Messages go by language: one of language 2 takes only English.
    net_client_p[0].lang = 2;
    EXPECT_EQ(Event_CallBack(CB_MESSAGE, const_cast<char *>("jp"), 1, 0), 0);
    EXPECT_EQ(Event_CallBack(CB_MESSAGE, nullptr, 2, 0), 0);
    char buf[64];
    EXPECT_EQ(recv(mon_, buf, sizeof buf, MSG_DONTWAIT), 8) << "header only, the other skipped";
    EXPECT_EQ(Event_CallBack(3, nullptr, 0, 0), -1);
}

} // namespace
