// The agent on its real engine, end to end in a lab host (lab.h): start-up
// raises event 7 into the event log, the configuration file decides the
// agent type the inquiry reports, the monitors' reads of kind 24 are
// answered from the engine, and a stop is logged as event 8.
#include "lab/lab.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace
{

using lab::Fd;
using lab::LabHost;
using lab::LabNet;
using testutil::eventually;

std::string read_request(int8_t cmd, int16_t first = 0, int16_t count = 0)
{
    UPS_COMMAND_PACKET c{};
    c.cmd = cmd;
    c.firstline = first;
    c.linecounts = count;
    return lab::packet(PK_READ, lab::bytes_of(c));
}

using lab::ask;

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);)
        v.push_back(l);
    return v;
}

// One event-log line: blank-padded date and time, id, cause 255, no name.
bool event_line(const std::string &line, int id)
{
    char tail[16];
    snprintf(tail, sizeof tail, " %3d 255 ", id);
    static const std::regex form("[ 0-9]{2}/[ 0-9]{2}/[0-9]{4} [ 0-9]{2}:[ 0-9]{2}:[ 0-9]{2} "
                                 "[ 0-9]{3} [ 0-9]{3} {16}");
    return line.size() == 43 && std::regex_match(line, form) && line.substr(19, 9) == tail;
}

TEST(LabEngine, StartReadsAndStopRunOnTheEngine)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    lab::HostOptions opt;
    opt.config = "[ UPS ]\nAgentType = 5\nGroup = Lab Engine\n"
                 "[ DataLog ]\nDataLogInterval = 1\n";
    LabHost &a = net->add_host("a", opt);
    LabHost &m = net->add_host("m");
    a.attach_ups();
    ASSERT_EQ(a.start_agent(), 0) << a.console();
    ASSERT_TRUE(a.wait_agent_up(5000)) << a.debug_log();
    const std::string evlog = a.at("/usr/lib/voltmira/events.log");

    // Start-up: one line, event 7, exactly 44 bytes.
    // The agent answers before its engine has written the record; the log
    // may not exist yet.
    ASSERT_TRUE(eventually(
        [&] { return testutil::file_exists(evlog) && testutil::read_file(evlog).size() >= 44; },
        5000));
    std::string text = testutil::read_file(evlog);
    EXPECT_EQ(text.size(), 44u);
    std::vector<std::string> ev = lines_of(text);
    ASSERT_EQ(ev.size(), 1u) << text;
    EXPECT_TRUE(event_line(ev[0], 7)) << ev[0];

    // The inquiry reports the configured type and group.
    Fd u = lab::udp_open(m);
    ASSERT_TRUE(u.valid());
    UPS_INQAGENT q{};
    strcpy(q.Monitor, "labmon");
    ASSERT_TRUE(
        lab::udp_send(u, a.addr(), NET_PORT_AGENT_UDP, lab::packet(PK_INQAGENT, lab::bytes_of(q))));
    auto d = lab::recv_datagram(u, 3000);
    ASSERT_TRUE(d.has_value());
    ASSERT_EQ(d->bytes.size(), 100u);
    UPS_ANSAGENT ans = lab::record_at<UPS_ANSAGENT>(d->bytes, 8);
    EXPECT_EQ(ans.AgentType, 5u);
    EXPECT_STREQ(ans.Group, "Lab Engine");

    // The reads, answered by the engine.
    AGINFO *ai = a.aginfo();
    ASSERT_NE(ai, nullptr);
    ASSERT_TRUE(eventually([&] { return ai->ups.ui.CommStatus == COMM_ESTABLISHED; }, 10000));
    Fd c = lab::tcp_connect(m, a.addr(), NET_PORT_AGENT_TCP);
    ASSERT_TRUE(c.valid());

    std::string p = ask(c, read_request(RD_CONFIG));
    ASSERT_EQ(p.size(), 880u);
    EXPECT_EQ(lab::head_of(p).DataId, PK_CONFIG);
    UPS_PARAM up = lab::record_at<UPS_PARAM>(p, 8);
    EXPECT_EQ(up.commparam.AgentType, 5u);
    EXPECT_STREQ(up.commparam.Group, "Lab Engine");
    EXPECT_EQ(up.logparam.DataLogInterval, 1u);
    EXPECT_EQ(up.workparam.TurnOffDelay, 600u);

    p = ask(c, read_request(RD_EVENTSET));
    ASSERT_EQ(p.size(), 13356u) << "47 events and no users";
    EXPECT_EQ(lab::head_of(p).DataId, PK_EVENTSET);
    EXPECT_EQ(lab::record_at<UPS_EVENTINFO>(p, 8).EventID, 128);

    p = ask(c, read_request(RD_SCHEDULE));
    EXPECT_EQ(p.size(), 8u);
    EXPECT_EQ(lab::head_of(p).DataId, PK_SCHEDULE);

    p = ask(c, read_request(RD_EVENTLOG, 0, 10));
    ASSERT_EQ(lab::head_of(p).DataId, PK_EVENTLOG);
    ASSERT_GE(p.size(), 8u + 28u);
    EXPECT_EQ((p.size() - 8) % 28, 0u);
    EXPECT_EQ(lab::record_at<UPS_EVENTLOGINFO>(p, 8).EventId, 7);

    // The data log fills once a second while the UPS answers.
    const std::string dlog = a.at("/usr/lib/voltmira/data.log");
    ASSERT_TRUE(eventually(
        [&] {
            return testutil::file_exists(dlog) && lines_of(testutil::read_file(dlog)).size() >= 2;
        },
        10000));
    p = ask(c, read_request(RD_DATALOG, 0, 2));
    ASSERT_EQ(p.size(), 8u + 2 * 24u);
    EXPECT_EQ(lab::head_of(p).DataId, PK_DATALOG);
    UPS_DATALOGINFO rec = lab::record_at<UPS_DATALOGINFO>(p, 8);
    EXPECT_GT(rec.upsdata.InPutINT, 0);
    EXPECT_EQ(lines_of(testutil::read_file(dlog)).back().size(), 59u);

    // The stop is the last line of the log.
    pid_t daemon = a.daemon_pid();
    ASSERT_TRUE(a.request_stop());
    ASSERT_TRUE(a.wait_pid_gone(daemon, 5000));
    ev = lines_of(testutil::read_file(evlog));
    ASSERT_GE(ev.size(), 2u);
    EXPECT_TRUE(event_line(ev.back(), 8)) << ev.back();
    EXPECT_EQ(a.sanitizer_reports(), "");
}

} // namespace
