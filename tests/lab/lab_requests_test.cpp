// The monitor requests end to end: a real agent in a lab host, a monitor on
// another host logged in over TCP (or not), and what each request leaves in
// the configuration file, in the agent's answers and on the test UPS's line.
//
// Agent starts are the expensive part (three seconds before the UPS channel
// polls), so each test runs one scenario on one agent, or on several agents
// started side by side, and walks a table of requests through it.
#include "lab/lab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace
{

using lab::Fd;
using lab::LabHost;
using lab::LabNet;
using testutil::count_of;
using testutil::eventually;
using testutil::read_file;
using testutil::sleep_ms;

// The agent's loop and the UPS channel's polls are at most a second apart;
// everything waits for many of them, for two loaded cores under sanitizers.
constexpr int kPass = 1000;
constexpr int kAnswer = 10 * kPass;
constexpr int kSlack = 30 * kPass;

constexpr int16_t kVersionKeep = 0x0115; // Version & 5 == 5: the agent's own code

// The first JIS X 0208 kanji in Shift_JIS and in EUC-JP.
const std::string kSjisPair = "\x88\x9F";
const std::string kEucPair = "\xB0\xA1";

const char kConfig[] = "/usr/lib/voltmira/config";
const char kEvents[] = "/usr/lib/voltmira/events.log";

// --- the configuration file, as text ---------------------------------------

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// KEY's value in [ SECTION ] of a configuration text; none when missing.
std::optional<std::string> cfg(const std::string &text, const std::string &section,
                               const std::string &key)
{
    std::istringstream in(text);
    std::string cur;
    for (std::string line; std::getline(in, line);) {
        std::string t = trim(line);
        if (!t.empty() && t[0] == '[') {
            cur = trim(t.substr(1, t.find(']') - 1));
            continue;
        }
        size_t eq = t.find('=');
        if (cur == section && eq != std::string::npos && trim(t.substr(0, eq)) == key)
            return trim(t.substr(eq + 1));
    }
    return std::nullopt;
}

std::optional<std::string> cfg(const LabHost &h, const std::string &section, const std::string &key)
{
    return cfg(read_file(h.at(kConfig)), section, key);
}

bool has(const std::vector<int> &ids, int id)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// --- requests ---------------------------------------------------------------

std::string read_req(int8_t sub, int16_t first = 0, int16_t count = 0,
                     int16_t version = NET_VERSION_110)
{
    UPS_COMMAND_PACKET c{};
    c.cmd = sub;
    c.firstline = first;
    c.linecounts = count;
    return lab::packet(PK_READ, lab::bytes_of(c), version);
}

std::string osinfo(int32_t os)
{
    PAOSINFO o{};
    o.lang = 0;
    o.os = os;
    strncpy(o.osname, "labmon", sizeof o.osname - 1);
    return lab::packet(PK_OSINFO, lab::bytes_of(o));
}

std::string password(const std::string &user, const std::string &pass)
{
    UPS_PASSWORD p{};
    strncpy(p.username, user.c_str(), sizeof p.username - 1);
    strncpy(p.password, pass.c_str(), sizeof p.password - 1);
    return lab::packet(PK_PASSWORD, lab::bytes_of(p));
}

std::string downinfo(uint32_t type, const char *agent, const char *group, int16_t delay)
{
    UPS_AGENTDOWNINFO d{};
    d.delay = delay;
    d.AgentType = type;
    strncpy(d.Agent, agent, sizeof d.Agent - 1);
    strncpy(d.Group, group, sizeof d.Group - 1);
    return lab::bytes_of(d);
}

std::string battdate(int year, int month, int day)
{
    BATTCHGTIME b{};
    b.BattTime.year = static_cast<uint8_t>(year);
    b.BattTime.month = static_cast<int8_t>(month);
    b.BattTime.day = static_cast<int8_t>(day);
    return lab::bytes_of(b);
}

std::string int32_data(int32_t v)
{
    return lab::bytes_of(v);
}

USERSDATA user(int8_t id, const std::string &name, const std::string &mail)
{
    USERSDATA u{};
    u.UserID = id;
    strncpy(u.UserName, name.c_str(), sizeof u.UserName - 1);
    strncpy(u.Email, mail.c_str(), sizeof u.Email - 1);
    return u;
}

// --- a monitor's connection --------------------------------------------------

// A connection from `from` to the agent of `to`, logged in as user; the
// right the agent gave is checked against want.
Fd login(LabHost &from, LabHost &to, const std::string &user, const std::string &pass, int32_t want)
{
    Fd c = lab::tcp_connect(from, to.addr(), NET_PORT_AGENT_TCP);
    if (!c.valid()) {
        ADD_FAILURE() << "no connection to " << to.name();
        return c;
    }
    // The agent hashes at most three passwords a second.
    sleep_ms(kPass / 2);
    std::string ans = lab::ask(c, password(user, pass), kAnswer);
    EXPECT_EQ(lab::head_of(ans).DataId, PK_PASSWORDANS) << user << " on " << to.name();
    EXPECT_EQ(lab::record_at<int32_t>(ans, 8), want) << user << " on " << to.name();
    return c;
}

// The kinds of the answers that came for what was sent before: the agent
// serves a connection's packets in order, so everything before the answer
// to an empty read (kind 68) belongs to the earlier requests.
std::vector<int> answers_before_empty(int fd)
{
    std::vector<int> kinds;
    if (!lab::send_all(fd, read_req(RD_NOTHING)))
        return {-1};
    for (;;) {
        std::string a = lab::read_answer(fd, kAnswer);
        if (a.empty())
            return kinds.push_back(-1), kinds;
        if (lab::head_of(a).DataId == PK_EMPTY)
            return kinds;
        kinds.push_back(lab::head_of(a).DataId);
    }
}

// Whether a message (kind 79) beginning with text reaches the connection.
bool heard(int fd, const std::string &text)
{
    int64_t end = testutil::mono_ns() + static_cast<int64_t>(kAnswer) * 1000000;
    while (testutil::mono_ns() < end) {
        std::string p = lab::read_packet(fd, kPass);
        if (p.size() > 8 && lab::head_of(p).DataId == PK_MESSAGE &&
            std::string(p.c_str() + 8).rfind(text, 0) == 0)
            return true;
    }
    return false;
}

// What reached the test UPS's line since its transcript was last cleared.
bool line_saw(const testutil::UpsSim &ups, const std::string &bytes)
{
    for (const auto &e : ups.transcript("RX"))
        if (e.bytes == bytes)
            return true;
    return false;
}

// No user shutdown is under way.
bool no_user_shutdown(LabHost &h)
{
    AGINFO *ai = h.aginfo();
    return ai != nullptr && ai->ups.ui.CommandDownS == 0;
}

lab::HostOptions agent_options(const std::string &config)
{
    lab::HostOptions o;
    o.users = {{"labadmin", 4242, "admin-pw"}, {"labop", 4243, "op-pw"}};
    o.config_owner = "labadmin";
    o.config = config;
    return o;
}

void start(LabHost &h)
{
    ASSERT_EQ(h.start_agent(), 0) << h.console();
    ASSERT_TRUE(h.wait_agent_up(kAnswer)) << h.debug_log();
}

void established(LabHost &h)
{
    AGINFO *ai = h.aginfo();
    ASSERT_NE(ai, nullptr);
    ASSERT_TRUE(eventually([&] { return ai->ups.ui.CommStatus == COMM_ESTABLISHED; }, kSlack))
        << h.name() << "\n"
        << h.debug_log();
}

} // namespace

// Without administrator rights nothing changes; an administrator's schedule,
// event settings and configuration reach the file in the agent's own code
// and come back in the monitor's.
TEST(LabRequests, SettingsOfAnAdministratorAndNoneWithoutRights)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &a = net->add_host("a", agent_options("[ UPS ]\nAgentType = 4\nGroup = Lab Group\n"));
    LabHost &m = net->add_host("m");
    testutil::UpsSim &ups = a.attach_ups();
    start(a);
    established(a);
    if (HasFatalFailure())
        return;

    {
        SCOPED_TRACE("refused without rights: no answer, no change in the files or the UPS");
        std::string param(sizeof(UPS_PARAM), '\0');
        SCHEDULEINFO s{};
        s.ID = 2;
        s.stimeInfo.hour = 1;
        // A shutdown request by datagram is another agent's: its handler,
        // not the rights, judges it (here: refused for the sender's type).
        const struct {
            uint8_t kind;
            std::string data;
        } rows[] = {
            {PK_SCHEDULE, lab::bytes_of(s)},
            {PK_EVENTSET, std::string(13348, '\0')},
            {PK_CONFIG, param},
            {PK_BATTDATE, battdate(130, 1, 2)},
            {PK_DETECTLEVEL, int32_data(2)},
            {PK_BEEPERON, ""},
            {PK_SELFTEST, int32_data(1)},
            {PK_CLEAREVENTLOG, ""},
            {PK_CANCELSHUTDOWN, std::string(16, 'x')},
            {PK_SHUTDOWN, downinfo(0, "labmon", "Lab Group", 5)},
        };
        const std::string config = read_file(a.at(kConfig));
        const size_t logged = a.event_ids().size();
        Fd none = lab::tcp_connect(m, a.addr(), NET_PORT_AGENT_TCP);
        Fd op = login(m, a, "labop", "op-pw", AUTH_USER);
        Fd udp = lab::udp_open(m);
        ASSERT_TRUE(none.valid() && op.valid() && udp.valid());
        ups.clear_transcript();
        std::map<int, size_t> before;
        for (const auto &row : rows)
            before[row.kind] = count_of(a.debug_log(), "kind " + std::to_string(row.kind) +
                                                           " refused without rights");
        for (const auto &row : rows) {
            std::string p = lab::packet(row.kind, row.data);
            ASSERT_TRUE(lab::send_all(none, p));
            ASSERT_TRUE(lab::send_all(op, p));
            ASSERT_TRUE(lab::udp_send(udp, a.addr(), NET_PORT_AGENT_UDP, p));
        }
        EXPECT_EQ(answers_before_empty(none), std::vector<int>{});
        EXPECT_EQ(answers_before_empty(op), std::vector<int>{});
        // Datagrams are served in order too: the inquiry's answer is the
        // first thing to come back.
        UPS_INQAGENT q{};
        ASSERT_TRUE(lab::udp_send(udp, a.addr(), NET_PORT_AGENT_UDP,
                                  lab::packet(PK_INQAGENT, lab::bytes_of(q))));
        auto d = lab::recv_datagram(udp, kAnswer);
        ASSERT_TRUE(d.has_value());
        EXPECT_EQ(lab::head_of(d->bytes).DataId, PK_ANSAGENT);
        std::string log = a.debug_log();
        for (const auto &row : rows)
            EXPECT_EQ(count_of(log, "kind " + std::to_string(row.kind) + " refused without rights"),
                      before[row.kind] + (row.kind == PK_SHUTDOWN ? 2 : 3))
                << "kind " << int(row.kind);
        // Two passes for a command that slipped through to reach the line.
        sleep_ms(2 * kPass);
        for (const char *cmd : {"T\r", "Bn\r", "VB\r", "VH\r", "BRW20300102\r"})
            EXPECT_FALSE(line_saw(ups, cmd)) << cmd;
        EXPECT_TRUE(no_user_shutdown(a));
        EXPECT_EQ(read_file(a.at(kConfig)), config);
        EXPECT_GE(a.event_ids().size(), logged) << "the event log was emptied";
    }

    Fd c = login(m, a, "labadmin", "admin-pw", AUTH_ADMIN);
    ASSERT_TRUE(c.valid());
    {
        SCOPED_TRACE("schedule of a monitor that counts months from 1 (os 1)");
        std::string ans = lab::ask(c, osinfo(1), kAnswer);
        ASSERT_EQ(ans.size(), 36u);
        EXPECT_EQ(lab::record_at<PAOSINFO>(ans, 8).os, NET_OS_OWN);

        auto entry = [](int8_t id, int8_t action, int16_t on, UPS_TIMEINFO s, UPS_TIMEINFO e) {
            SCHEDULEINFO i{};
            i.ID = id;
            i.ActionID = action;
            i.ScheduleOn = on;
            i.stimeInfo = s;
            i.etimeInfo = e;
            return i;
        };
        // year (since 1900), month, day, hour, minute
        const SCHEDULEINFO sent[] = {
            entry(1, 0, 1, {130, 0, 15, 22, 30, 0, 0}, {130, 0, 16, 6, 0, 0, 0}),
            entry(1, 0, 0, {130, 5, 20, 23, 0, 0, 0}, {130, 5, 21, 7, 0, 0, 0}),
            entry(2, 1, 0, {0, 0, 5, 22, 30, 0, 0}, {0, 0, 5, 22, 40, 0, 0}),
        };
        std::string data;
        for (const SCHEDULEINFO &i : sent)
            data += lab::bytes_of(i);
        ASSERT_TRUE(lab::send_all(c, lab::packet(PK_SCHEDULE, data)));
        EXPECT_EQ(answers_before_empty(c), std::vector<int>{});

        const struct {
            const char *section, *key, *value;
        } stored[] = {
            {"ScheShutDown", "SPECIALNO", "2"},
            {"ScheShutDown", "SPECIALDAYSTART1", "30 22 15 0 * 130"}, // month 0 stays 0
            {"ScheShutDown", "SPECIALDAYEND1", "0 6 16 0 * 130"},
            {"ScheShutDown", "SPECIALDAYSTART2", "0 23 20 4 * 130"}, // month 5 stored as 4
            {"ScheShutDown", "SPECIALDAYEND2", "0 7 21 4 * 130"},
            {"ScheShutDown", "SpecScheduleOn1", "1"},
            {"ScheShutDown", "SpecScheduleOn2", "0"},
            {"ScheShutDown", "WEEKLYNO", "0"},
            {"ScheTest", "WEEKLYNO", "1"},
            {"ScheTest", "WEEKLYSTART1", "30 22 * * 5"},
            {"ScheTest", "WEEKLYEND1", "40 22 * * 5"},
        };
        std::string text = read_file(a.at(kConfig));
        for (const auto &s : stored)
            EXPECT_EQ(cfg(text, s.section, s.key).value_or("(missing)"), s.value) << s.key;

        ans = lab::ask(c, read_req(RD_SCHEDULE), kAnswer);
        EXPECT_EQ(lab::head_of(ans).DataId, PK_SCHEDULE);
        EXPECT_EQ(ans.size(), 8u + 3 * sizeof(SCHEDULEINFO));
        const struct {
            int id, action, smonth, emonth, sday, shour;
        } back[] = {{1, 0, 1, 1, 15, 22}, {1, 0, 5, 5, 20, 23}, {2, 1, -1, -1, 5, 22}};
        for (size_t i = 0; i < 3 && ans.size() == 8u + 3 * sizeof(SCHEDULEINFO); i++) {
            SCHEDULEINFO r = lab::record_at<SCHEDULEINFO>(ans, 8 + i * sizeof r);
            EXPECT_EQ(r.ID, back[i].id) << i;
            EXPECT_EQ(r.ActionID, back[i].action) << i;
            if (back[i].smonth >= 0) {
                EXPECT_EQ(r.stimeInfo.month, back[i].smonth) << i;
                EXPECT_EQ(r.etimeInfo.month, back[i].emonth) << i;
                EXPECT_EQ(r.stimeInfo.year, 130) << i;
            }
            EXPECT_EQ(r.stimeInfo.day, back[i].sday) << i;
            EXPECT_EQ(r.stimeInfo.hour, back[i].shour) << i;
        }
    }
    {
        SCOPED_TRACE("event settings: Shift_JIS names stored in EUC-JP, then every user cleared");
        std::string ans = lab::ask(c, read_req(RD_EVENTSET), kAnswer);
        ASSERT_EQ(lab::head_of(ans).DataId, PK_EVENTSET);
        ASSERT_GE(ans.size(), 13356u);
        std::string ev = ans.substr(8, 13348);
        // Position 8 is the mains failure (65): no log record, a command.
        UPS_EVENTINFO acfail = lab::record_at<UPS_EVENTINFO>(ev, 8 * sizeof(UPS_EVENTINFO));
        ASSERT_EQ(acfail.EventID, 65);
        acfail.Record = 0;
        strcpy(acfail.Command, "/bin/true labreq");
        ev.replace(8 * sizeof acfail, sizeof acfail, lab::bytes_of(acfail));

        const std::string sjis = kSjisPair + "ta", euc = kEucPair + "ta";
        // A name that fills its field unterminated, in half-width kana that
        // take two bytes each in EUC-JP: cut to 20 bytes, whole characters.
        USERSDATA kana = user(7, "", "");
        memset(kana.UserName, 0xB1, sizeof kana.UserName);
        std::string users = lab::bytes_of(user(0, sjis, "ops@lab.invalid")) +
                            lab::bytes_of(user(5, "op", "op@lab.invalid")) + lab::bytes_of(kana);
        ASSERT_TRUE(lab::send_all(c, lab::packet(PK_EVENTSET, ev + users)));
        EXPECT_EQ(answers_before_empty(c), std::vector<int>{});
        std::string text = read_file(a.at(kConfig));
        EXPECT_EQ(cfg(text, "Event65", "Record").value_or("(missing)"), "No");
        EXPECT_EQ(cfg(text, "Event65", "Command").value_or("(missing)"), "/bin/true labreq");
        EXPECT_EQ(cfg(text, "UserInfo", "UserID").value_or("(missing)"), "0,5,7");
        EXPECT_EQ(cfg(text, "0", "Name").value_or("(missing)"), euc);
        EXPECT_EQ(cfg(text, "0", "Email").value_or("(missing)"), "ops@lab.invalid");
        EXPECT_EQ(cfg(text, "5", "Name").value_or("(missing)"), "op");
        std::string kana_euc;
        for (int i = 0; i < 10; i++)
            kana_euc += "\x8E\xB1";
        EXPECT_EQ(cfg(text, "7", "Name").value_or("(missing)"), kana_euc);

        ans = lab::ask(c, read_req(RD_EVENTSET), kAnswer);
        ASSERT_EQ(ans.size(), 13356u + 3 * sizeof(USERSDATA));
        EXPECT_EQ(ans.substr(8, 13348), ev);
        USERSDATA u0 = lab::record_at<USERSDATA>(ans, 13356);
        USERSDATA u1 = lab::record_at<USERSDATA>(ans, 13356 + sizeof(USERSDATA));
        EXPECT_EQ(u0.UserID, 0);
        EXPECT_EQ(std::string(u0.UserName), sjis) << "not sent out in Shift_JIS again";
        EXPECT_EQ(std::string(u0.Address), a.hostname());
        EXPECT_EQ(u1.UserID, 5);
        EXPECT_STREQ(u1.UserName, "op");
        USERSDATA u2 = lab::record_at<USERSDATA>(ans, 13356 + 2 * sizeof(USERSDATA));
        EXPECT_EQ(std::string(u2.UserName), std::string(10, '\xB1'));

        // 33 users do not fit the agent's table: refused whole.
        std::string many;
        for (int i = 0; i < 33; i++)
            many += lab::bytes_of(user(static_cast<int8_t>(i), "u" + std::to_string(i), ""));
        ASSERT_TRUE(lab::send_all(c, lab::packet(PK_EVENTSET, ev + many)));
        EXPECT_EQ(answers_before_empty(c), std::vector<int>{});
        EXPECT_EQ(read_file(a.at(kConfig)), text);

        // The events alone, exactly 13356 bytes: every user goes.
        ASSERT_TRUE(lab::send_all(c, lab::packet(PK_EVENTSET, ev)));
        EXPECT_EQ(answers_before_empty(c), std::vector<int>{});
        EXPECT_EQ(cfg(a, "UserInfo", "UserID").value_or("(missing)"), "");
        ans = lab::ask(c, read_req(RD_EVENTSET), kAnswer);
        EXPECT_EQ(ans.size(), 13356u);
        EXPECT_EQ(ans.substr(8, 13348), ev);
    }
    {
        SCOPED_TRACE("configuration round trip: the agent keeps its name; group conversions");
        std::string ans = lab::ask(c, read_req(RD_CONFIG), kAnswer);
        ASSERT_EQ(lab::head_of(ans).DataId, PK_CONFIG);
        ASSERT_EQ(ans.size(), 880u);
        UPS_PARAM p = lab::record_at<UPS_PARAM>(ans, 8);
        EXPECT_EQ(std::string(p.commparam.Agent), a.hostname());
        EXPECT_STREQ(p.commparam.Group, "Lab Group");
        p.workparam.BattLife = 123;
        strcpy(p.commparam.Agent, "renamed");

        // Version & 5 == 5 asks for no conversion: a text that may be either
        // code is then taken as the agent's own; a plain Shift_JIS pair is
        // converted whatever the version.
        const struct {
            int16_t version;
            std::string group, stored, back_110, back_keep;
        } rows[] = {
            {NET_VERSION_110, kSjisPair + "Lab", kEucPair + "Lab", kSjisPair + "Lab",
             kEucPair + "Lab"},
            {NET_VERSION_110, "\xB1\xB2", "\x8E\xB1\x8E\xB2", "\xB1\xB2", "\x8E\xB1\x8E\xB2"},
            // Kept as EUC-JP, it goes out as the Shift_JIS of that pair.
            {kVersionKeep, "\xB1\xB2", "\xB1\xB2", "\x89\x51", "\xB1\xB2"},
            {kVersionKeep, kSjisPair + "Lab", kEucPair + "Lab", kSjisPair + "Lab",
             kEucPair + "Lab"},
            // A full field without its end is cut to the 15 characters kept.
            {NET_VERSION_110, std::string(16, 'G'), std::string(15, 'G'), std::string(15, 'G'),
             std::string(15, 'G')},
        };
        for (const auto &row : rows) {
            SCOPED_TRACE(testing::PrintToString(row.group) + " version " +
                         std::to_string(row.version));
            memset(p.commparam.Group, 0, sizeof p.commparam.Group);
            memcpy(p.commparam.Group, row.group.data(), row.group.size());
            ASSERT_TRUE(lab::send_all(c, lab::packet(PK_CONFIG, lab::bytes_of(p), row.version)));
            EXPECT_EQ(answers_before_empty(c), std::vector<int>{});
            std::string text = read_file(a.at(kConfig));
            EXPECT_EQ(cfg(text, "ShutDown", "EXPECTBLIFE").value_or("(missing)"), "123");
            EXPECT_EQ(cfg(text, "UPS", "Group").value_or("(missing)"), row.stored);
            EXPECT_EQ(std::string(a.aginfo()->ups.up.commparam.Agent), a.hostname());
            for (int16_t v : {NET_VERSION_110, kVersionKeep}) {
                UPS_PARAM r = lab::record_at<UPS_PARAM>(
                    lab::ask(c, read_req(RD_CONFIG, 0, 0, v), kAnswer), 8);
                EXPECT_EQ(std::string(r.commparam.Agent), a.hostname()) << v;
                EXPECT_EQ(std::string(r.commparam.Group),
                          v == NET_VERSION_110 ? row.back_110 : row.back_keep)
                    << v;
                EXPECT_EQ(r.workparam.BattLife, 123u) << v;
                // A 1.10 monitor of another system reads the turn-off delay
                // where the port choice is.
                EXPECT_EQ(r.workparam.ComSet,
                          v == NET_VERSION_110 ? static_cast<int32_t>(r.workparam.TurnOffDelay) : 0)
                    << v;
            }
        }
    }
    {
        SCOPED_TRACE("an administrator's requests of the wrong length change nothing");
        UPS_COMMAND_PACKET unknown{};
        unknown.cmd = 7;
        const struct {
            uint8_t kind;
            std::string data;
        } rows[] = {
            {PK_SCHEDULE, std::string(30, '\x01')},
            {PK_EVENTSET, std::string(13348 + 100, '\0')},
            {PK_EVENTSET, std::string(13348 - 1, '\0')},
            {PK_CONFIG, std::string(100, '\0')},
            {PK_CONFIG, std::string(sizeof(UPS_PARAM) + 4, '\0')},
            {PK_SELFTEST, std::string(8, '\0')},
            {PK_BATTDATE, battdate(130, 1, 2) + "xx"},
            {PK_CANCELSHUTDOWN, std::string(15, 'x')},
            {PK_SHUTDOWN, downinfo(0, "labmon", "", 5).substr(1)},
            {PK_BEEPERON, std::string(4, '\0')},
            {PK_DETECTLEVEL, std::string(2, '\1')},
            {PK_READ, lab::bytes_of(unknown)},
        };
        const std::string config = read_file(a.at(kConfig));
        ups.clear_transcript();
        for (const auto &row : rows)
            ASSERT_TRUE(lab::send_all(c, lab::packet(row.kind, row.data)));
        EXPECT_EQ(answers_before_empty(c), std::vector<int>{});
        sleep_ms(2 * kPass);
        for (const char *cmd : {"T\r", "Bn\r", "BRW20300102\r"})
            EXPECT_FALSE(line_saw(ups, cmd)) << cmd;
        EXPECT_TRUE(no_user_shutdown(a));
        EXPECT_EQ(read_file(a.at(kConfig)), config);

        // No entries at all is a list too: the schedule is emptied.
        ASSERT_TRUE(lab::send_all(c, lab::packet(PK_SCHEDULE)));
        EXPECT_EQ(answers_before_empty(c), std::vector<int>{});
        EXPECT_EQ(cfg(a, "ScheShutDown", "SPECIALNO").value_or("(missing)"), "0");
        EXPECT_EQ(cfg(a, "ScheTest", "WEEKLYNO").value_or("(missing)"), "0");
        EXPECT_EQ(lab::ask(c, read_req(RD_SCHEDULE), kAnswer).size(), 8u);
    }
    EXPECT_EQ(a.sanitizer_reports(), "");
}

// Which UPS requests each model refuses (the agent sends nothing to the UPS
// and answers nothing), and what a protector answers instead of an agent
// with a UPS: several agents side by side, one request table.
TEST(LabRequests, RefusalsByModelAndAProtectorsRequests)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    // Which of the rows below each model serves.
    enum Col { kSwitches, kLevel, kDate110, kDate100 };
    const struct {
        const char *host, *model;
        bool serves[4];
    } models[] = {
        {"e350", "QE350LAB", {false, false, false, false}},
        {"e5500", "QE5500LAB", {false, false, false, false}},
        {"qe", "QE1000", {true, false, true, true}},
        {"qa", "QA1000", {true, false, true, false}},
        {"qr", "QR1000", {true, true, true, true}},
    };
    const std::string config = "[ UPS ]\nAgentType = 4\n";
    for (const auto &mo : models) {
        LabHost &h = net->add_host(mo.host, agent_options(config));
        testutil::UpsSim::Options o;
        o.model = mo.model;
        h.attach_ups(o);
    }
    LabHost &p = net->add_host("p", agent_options("[ UPS ]\nAgentType = 1\n"));
    LabHost &m = net->add_host("m");
    for (const auto &mo : models)
        start(net->host(mo.host));
    start(p);
    for (const auto &mo : models)
        established(net->host(mo.host));
    if (HasFatalFailure())
        return;

    // kind, data, version, what the UPS's line shows when served (or the
    // kind of the answer), and the column that says whether it is served.
    const struct {
        uint8_t kind;
        std::string data;
        int16_t version;
        const char *line;
        int answer;
        Col col;
    } rows[] = {
        {PK_BEEPERON, "", NET_VERSION_110, "Bn\r", 0, kSwitches},
        {PK_BEEPEROFF, "", NET_VERSION_110, "Bf\r", 0, kSwitches},
        {PK_AUTOTESTON, "", NET_VERSION_110, "AR\r", 0, kSwitches},
        {PK_AUTOTESTOFF, "", NET_VERSION_110, "AC\r", 0, kSwitches},
        {PK_BEEPERTEST, "", NET_VERSION_110, "Bt\r", 0, kSwitches},
        {PK_DETECTLEVEL, int32_data(1), NET_VERSION_110, "VA\r", 0, kLevel},
        {PK_GETBATTDATE, "", NET_VERSION_110, nullptr, PK_BATTDATE, kDate110},
        {PK_BATTDATE, battdate(130, 1, 2), NET_VERSION_110, "BRW20300102\r", 0, kDate110},
        {PK_GETBATTDATE, "", NET_VERSION_100, nullptr, PK_BATTDATE, kDate100},
        {PK_BATTDATE, battdate(130, 1, 3), NET_VERSION_100, "BRW20300103\r", 0, kDate100},
    };
    for (const auto &mo : models) {
        SCOPED_TRACE(mo.model);
        LabHost &h = net->host(mo.host);
        ASSERT_EQ(std::string(h.aginfo()->ups.ui.upsmodel).rfind(mo.model, 0), 0u)
            << h.aginfo()->ups.ui.upsmodel;
        Fd c = login(m, h, "labadmin", "admin-pw", AUTH_ADMIN);
        ASSERT_TRUE(c.valid());
        testutil::UpsSim &ups = *h.ups();
        ups.clear_transcript();
        for (const auto &row : rows) {
            bool served = mo.serves[row.col];
            ASSERT_TRUE(lab::send_all(c, lab::packet(row.kind, row.data, row.version)));
            std::vector<int> want;
            if (served && row.answer != 0)
                want.push_back(row.answer);
            EXPECT_EQ(answers_before_empty(c), want)
                << "kind " << int(row.kind) << " version " << row.version;
        }
        // The cancel of a self-test goes to every model: once it is on the
        // line, the commands before it are too (the buzzer test's later
        // steps follow within two polls).
        ASSERT_TRUE(lab::send_all(c, lab::packet(PK_CANCELTEST)));
        ASSERT_TRUE(ups.wait_rx("CT\r", kAnswer).has_value()) << h.debug_log();
        sleep_ms(2 * kPass);
        for (const auto &row : rows) {
            if (row.line != nullptr) {
                EXPECT_EQ(line_saw(ups, row.line), mo.serves[row.col])
                    << "kind " << int(row.kind) << " version " << row.version;
            }
        }
        // The date read back is the last one set: kept by the UPS, or by
        // the agent for a QA unit, which keeps none.
        if (mo.serves[kDate110]) {
            std::string ans = lab::ask(c, lab::packet(PK_GETBATTDATE), kAnswer);
            ASSERT_EQ(ans.size(), 20u);
            EXPECT_EQ(lab::head_of(ans).DataId, PK_BATTDATE);
            BATTCHGTIME t = lab::record_at<BATTCHGTIME>(ans, 8);
            EXPECT_EQ(t.BattTime.year, 130);
            EXPECT_EQ(t.BattTime.day, mo.serves[kDate100] ? 3 : 2);
        }
        if (std::string(mo.model).rfind("QA", 0) == 0) {
            EXPECT_EQ(cfg(h, "UPS", "ChangeBattTime").value_or("(missing)"), "130,01,02,00,00,00");
        }
        if (!mo.serves[kDate110]) {
            EXPECT_FALSE(cfg(h, "UPS", "ChangeBattTime").has_value());
        }
    }

    {
        SCOPED_TRACE("a protector: its settings, its event log, no settings of an agent");
        Fd u = lab::udp_open(m);
        ASSERT_TRUE(u.valid());
        auto ask_udp = [&](LabHost &to, const std::string &req) {
            lab::udp_send(u, to.addr(), NET_PORT_AGENT_UDP, req);
            auto d = lab::recv_datagram(u, kAnswer);
            return d ? d->bytes : std::string();
        };
        std::string ans = ask_udp(p, lab::packet(PK_GETPROTCFG));
        ASSERT_EQ(ans.size(), 28u);
        EXPECT_EQ(lab::head_of(ans).DataId, PK_PROTCFG);
        PROTECTORCFG pc = lab::record_at<PROTECTORCFG>(ans, 8);
        EXPECT_EQ(pc.TimeDelay, 0u);
        EXPECT_EQ(std::string(pc.lpszAgentName), p.hostname());
        // An agent with a UPS has no protector settings.
        ans = ask_udp(net->host("qe"), lab::packet(PK_GETPROTCFG));
        EXPECT_EQ(ans.size(), 8u);
        EXPECT_EQ(lab::head_of(ans).DataId, PK_PROTCFG);

        UPS_COMMAND_PACKET rq{};
        rq.cmd = RD_EVENTLOG;
        rq.linecounts = 100;
        ans = ask_udp(p, lab::packet(PK_GETPROTEVENTLOG, lab::bytes_of(rq)));
        EXPECT_EQ(lab::head_of(ans).DataId, PK_PROTEVENTLOG);
        EXPECT_EQ((ans.size() - 8) % sizeof(UPS_EVENTLOGINFO), 0u);

        // The protector's agent is set from its own host only.
        // The answer to an inquiry comes after the request is served.
        auto set_guard = [&](LabHost &to, Fd &s, const char *host, const char *name) {
            UPS_INQAGENT q{};
            PROTECTORCFG g{};
            strncpy(g.lpszAgentName, name, sizeof g.lpszAgentName - 1);
            return lab::udp_send(s, host, NET_PORT_AGENT_UDP,
                                 lab::packet(PK_PROTCFG, lab::bytes_of(g))) &&
                   lab::udp_send(s, host, NET_PORT_AGENT_UDP,
                                 lab::packet(PK_INQAGENT, lab::bytes_of(q))) &&
                   lab::recv_datagram(s, kAnswer).has_value() && to.daemon_pid() > 0;
        };
        auto loopback = [](LabHost &h) {
            Fd s(h.socket(AF_INET, SOCK_DGRAM));
            struct sockaddr_in sa = {};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0)
                return Fd();
            return s;
        };
        Fd lp = loopback(p);
        ASSERT_TRUE(lp.valid());
        ASSERT_TRUE(set_guard(p, lp, "127.0.0.1", "guardian")) << p.debug_log();
        EXPECT_EQ(cfg(p, "UPS", "AgentName").value_or("(missing)"), "guardian");
        ASSERT_TRUE(set_guard(p, u, p.addr().c_str(), "intruder"));
        EXPECT_EQ(cfg(p, "UPS", "AgentName").value_or("(missing)"), "guardian");
        Fd lq = loopback(net->host("qe"));
        ASSERT_TRUE(set_guard(net->host("qe"), lq, "127.0.0.1", "guardian"));
        EXPECT_FALSE(cfg(net->host("qe"), "UPS", "AgentName").has_value());

        // Over a connection: the reads of an agent with a UPS come back
        // empty, its settings are refused.
        Fd c = login(m, p, "labadmin", "admin-pw", AUTH_ADMIN);
        ASSERT_TRUE(c.valid());
        ans = lab::ask(c, read_req(RD_EVENTLOG, 0, 100), kAnswer);
        EXPECT_EQ(lab::head_of(ans).DataId, PK_PROTEVENTLOG);
        const struct {
            int8_t sub;
            uint8_t kind;
        } empty[] = {{RD_DATALOG, PK_DATALOG},
                     {RD_SCHEDULE, PK_SCHEDULE},
                     {RD_EVENTSET, PK_EVENTSET},
                     {RD_CONFIG, PK_CONFIG}};
        for (const auto &e : empty) {
            ans = lab::ask(c, read_req(e.sub), kAnswer);
            EXPECT_EQ(ans.size(), 8u) << int(e.sub);
            EXPECT_EQ(lab::head_of(ans).DataId, e.kind) << int(e.sub);
        }
        const std::string before = read_file(p.at(kConfig));
        SCHEDULEINFO s{};
        s.ID = 2;
        for (const std::string &req : {lab::packet(PK_SCHEDULE, lab::bytes_of(s)),
                                       lab::packet(PK_EVENTSET, std::string(13348, '\0')),
                                       lab::packet(PK_CONFIG, std::string(sizeof(UPS_PARAM), 0))})
            ASSERT_TRUE(lab::send_all(c, req));
        EXPECT_EQ(answers_before_empty(c), std::vector<int>{});
        EXPECT_EQ(read_file(p.at(kConfig)), before);
    }
    for (const auto &mo : models)
        EXPECT_EQ(net->host(mo.host).sanitizer_reports(), "") << mo.host;
    EXPECT_EQ(p.sanitizer_reports(), "");
}

// The commands a monitor gives reach the UPS's line; a user shutdown is
// announced and called off; the event log tells what happened; a shutdown
// request of an agent of another group is ignored, one of the same group
// (written in other letter case) is followed.
TEST(LabRequests, CommandsReachTheUpsAndOnlyTheOwnGroupShutsDown)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &a = net->add_host(
        "a", agent_options("[ UPS ]\nAgentType = 4\nGroup = Lab Power\nIgnoreOtherAgentDown = 0\n"
                           "[ ShutDown ]\nTurnOffDelay = 30\n[ DataLog ]\nDataLogEnabled = 0\n"));
    LabHost &b = net->add_host("b");
    LabHost &m = net->add_host("m");
    testutil::UpsSim &ups = a.attach_ups();
    start(a);
    established(a);
    if (HasFatalFailure())
        return;
    Fd c = login(m, a, "labadmin", "admin-pw", AUTH_ADMIN);
    Fd w = lab::tcp_connect(m, a.addr(), NET_PORT_AGENT_TCP); // hears the messages
    ASSERT_TRUE(c.valid() && w.valid());

    {
        SCOPED_TRACE("UPS commands on the line, their events and settings");
        const struct {
            uint8_t kind;
            std::string data;
            const char *line;
            int event;
            const char *key, *value;
        } rows[] = {
            {PK_BEEPERON, "", "Bn\r", 15, "BuzzerCan", "on"},
            {PK_BEEPEROFF, "", "Bf\r", 14, "BuzzerCan", "off"},
            {PK_AUTOTESTOFF, "", "AC\r", 12, "AutoTestCan", "off"},
            {PK_AUTOTESTON, "", "AR\r", 13, "AutoTestCan", "on"},
            {PK_BEEPERTEST, "", "Bt\r", -1, nullptr, nullptr},
            {PK_SELFTESTLOW, "", "TL\r", -1, nullptr, nullptr},
            {PK_CANCELTEST, "", "CT\r", -1, nullptr, nullptr},
            {PK_SELFTEST, int32_data(1), "T\r", -1, nullptr, nullptr},
        };
        for (const auto &row : rows) {
            SCOPED_TRACE("kind " + std::to_string(row.kind));
            ups.clear_transcript();
            ASSERT_TRUE(lab::send_all(c, lab::packet(row.kind, row.data)));
            EXPECT_EQ(answers_before_empty(c), std::vector<int>{});
            EXPECT_TRUE(ups.wait_rx(row.line, kAnswer).has_value());
            if (row.event >= 0) {
                EXPECT_TRUE(eventually([&] { return has(a.event_ids(), row.event); }, kAnswer));
            }
            if (row.key != nullptr) {
                EXPECT_EQ(cfg(a, "UPS", row.key).value_or("(missing)"), row.value);
            }
        }
        EXPECT_TRUE(ups.wait_event("test end", kSlack).has_value()) << "the self-test never ended";
    }
    {
        SCOPED_TRACE("a user shutdown, announced, then called off");
        ups.clear_transcript();
        ASSERT_TRUE(lab::send_all(c, lab::packet(PK_SHUTDOWN, downinfo(0, "labmon", "", 600))));
        EXPECT_TRUE(heard(w, "Receive shutdown Command From Users on labmon"));
        EXPECT_TRUE(eventually([&] { return !no_user_shutdown(a); }, kAnswer));
        char host[16] = "labmon";
        ASSERT_TRUE(lab::send_all(c, lab::packet(PK_CANCELSHUTDOWN, std::string(host, 16))));
        EXPECT_TRUE(heard(w, "The Shutdown is Canceled by Users on labmon"));
        EXPECT_TRUE(eventually([&] { return no_user_shutdown(a); }, kAnswer));
        // The events are logged after the state the monitor sees changes.
        EXPECT_TRUE(eventually(
            [&] {
                std::vector<int> ids = a.event_ids();
                return has(ids, 79) && has(ids, 21);
            },
            kAnswer));
        // The UPS was never told to go off, but is told to call off whatever
        // it may have pending.
        EXPECT_TRUE(ups.wait_rx("C\r", kAnswer).has_value());
        for (const auto &e : ups.transcript("RX"))
            EXPECT_NE(e.bytes[0], 'S') << e.bytes;
    }
    {
        SCOPED_TRACE("the event log, over the connection and by datagram");
        std::vector<int> ids = a.event_ids();
        ASSERT_FALSE(ids.empty());
        std::string ans = lab::ask(c, read_req(RD_EVENTLOG, 0, 200), kAnswer);
        ASSERT_EQ(lab::head_of(ans).DataId, PK_EVENTLOG);
        ASSERT_EQ((ans.size() - 8) % sizeof(UPS_EVENTLOGINFO), 0u);
        std::vector<int> got;
        for (size_t off = 8; off < ans.size(); off += sizeof(UPS_EVENTLOGINFO))
            got.push_back(lab::record_at<UPS_EVENTLOGINFO>(ans, off).EventId);
        for (int id : {15, 14, 12, 79, 21})
            EXPECT_TRUE(has(got, id)) << id;
        // By datagram only a protector's log travels (kind 198): an agent
        // with a UPS serves the request, but its answer goes nowhere, and an
        // inquiry after it is answered first.
        Fd u = lab::udp_open(m);
        UPS_COMMAND_PACKET rq{};
        rq.cmd = RD_EVENTLOG;
        rq.linecounts = 200;
        UPS_INQAGENT q{};
        lab::udp_send(u, a.addr(), NET_PORT_AGENT_UDP,
                      lab::packet(PK_GETPROTEVENTLOG, lab::bytes_of(rq)));
        lab::udp_send(u, a.addr(), NET_PORT_AGENT_UDP, lab::packet(PK_INQAGENT, lab::bytes_of(q)));
        auto d = lab::recv_datagram(u, kAnswer);
        ASSERT_TRUE(d.has_value());
        EXPECT_EQ(lab::head_of(d->bytes).DataId, PK_ANSAGENT);
    }
    {
        SCOPED_TRACE("the logs read and emptied");
        const std::string datalog = a.at("/usr/lib/voltmira/data.log");
        testutil::write_file(datalog, "2030/01/02 03:04:05 100.0 100.0 20 60.0 27.4 100 30.0\n");
        std::string ans = lab::ask(c, read_req(RD_DATALOG, 0, 200), kAnswer);
        EXPECT_EQ(lab::head_of(ans).DataId, PK_DATALOG);
        EXPECT_EQ((ans.size() - 8) % sizeof(UPS_DATALOGINFO), 0u);
        for (const auto &[kind, path] : {std::pair<uint8_t, std::string>{PK_CLEARDATALOG, datalog},
                                         {PK_CLEAREVENTLOG, a.at(kEvents)}}) {
            ASSERT_FALSE(read_file(path).empty());
            ASSERT_TRUE(lab::send_all(c, lab::packet(kind)));
            EXPECT_EQ(answers_before_empty(c), std::vector<int>{});
            EXPECT_EQ(read_file(path), "") << path;
        }
    }
    {
        SCOPED_TRACE("shutdown requests of other agents");
        Fd peer = lab::udp_open(b);
        ASSERT_TRUE(peer.valid());
        const pid_t daemon = a.daemon_pid();
        const struct {
            uint32_t type;
            const char *group;
        } ignored[] = {
            {AGTYPE_LOW, "Other Group"}, // another group
            {AGTYPE_LOW, "Lab Power 2"},
            {AGTYPE_PLAIN, "Lab Power"}, // a lower type than this agent's
        };
        for (const auto &row : ignored)
            ASSERT_TRUE(
                lab::udp_send(peer, a.addr(), NET_PORT_AGENT_UDP,
                              lab::packet(PK_SHUTDOWN, downinfo(row.type, "peer", row.group, 0))));
        // Several passes for a shutdown that was wrongly taken up to show.
        sleep_ms(3 * kPass);
        EXPECT_EQ(a.daemon_pid(), daemon);
        EXPECT_FALSE(has(a.event_ids(), 134)) << "an order of another group was followed";
        EXPECT_EQ(count_of(a.fake_record(), "/sbin/shutdown"), 0u);

        ups.clear_transcript();
        ASSERT_TRUE(
            lab::udp_send(peer, a.addr(), NET_PORT_AGENT_UDP,
                          lab::packet(PK_SHUTDOWN, downinfo(AGTYPE_LOW, "peer", "LAB POWER", 0))));
        ASSERT_TRUE(a.wait_agent_gone(kSlack)) << "the group's order was not followed\n"
                                               << a.debug_log();
        EXPECT_EQ(count_of(a.fake_record(), "/sbin/shutdown"), 1u) << a.fake_record();
        EXPECT_TRUE(line_saw(ups, "S.5\r")) << "the UPS was not told to go off in 30 s";
        EXPECT_TRUE(has(a.event_ids(), 134));
    }
    EXPECT_EQ(a.sanitizer_reports(), "");
}
