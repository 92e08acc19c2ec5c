// Power events in the system log: what reaches a datagram socket bound at the
// staged /dev/log when events are raised, and that a missing, full or
// restarted log never holds the engine.
#include "agent/sysroot.h"
#include "ea/ea_action.h"
#include "ea/ea_events.h"
#include "ea/ea_spawn.h"
#include "ea/ea_state.h"
#include "ea/ea_syslog.h"
#include "engine_stage.h"
#include "testutil.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace testutil;

namespace
{

// A reader bound at path, as the system log's daemon is; -1 on failure.
int bind_at(const std::string &path)
{
    unlink(path.c_str());
    sockaddr_un sa{AF_UNIX, {}};
    strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
        return close(fd), -1;
    return fd;
}

// The next datagram waiting at fd, "" when none.
std::string take(int fd)
{
    char buf[2048];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// Every program the engine starts notes whether the event's line was
// already waiting in the log.
int log_fd = -1;
std::vector<bool> line_before;
int note(const char *, const char *const[], const char *)
{
    char c;
    line_before.push_back(recv(log_fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0);
    return 0;
}
const ea_spawn_ops recorder = {note, nullptr, [](const char *) { return note(0, 0, 0); },
                               [](const char *, const char *const[]) { return -1; }};

struct EaSyslog : ::testing::Test, EngineRecords {
    ZoneKeeper zone;
    Sysroot root;
    std::string path = sysroot_path(SP_DEVLOG);
    std::string head = "Dec  8 09:05:03 voltmirad[" + std::to_string(getpid()) + "]: ";
    int rx = -1;
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        sysclock_fake(1796720703, 1000.0); // 8 December 2026 09:05:03 UTC
        ea_stateinit();
        ea_spawn_setops(&recorder);
        for (int n = 0; n < EA_NEVENTROWS; n++)
            events[n] = *eventdefault_at(n);
        ASSERT_GE(rx = log_fd = bind_at(path), 0);
    }
    void TearDown() override
    {
        ea_stateinit();
        ea_spawn_init();
        close(rx);
    }
};

TEST_F(EaSyslog, EveryRaisedEventIsOneLineOfDaemonFacility)
{
    UPS_AGENTDOWNINFO down{};
    strcpy(down.Agent, "mon\n<11>forged");
    char canceller[] = "ops%n%s";
    AGENTCMD acp{};
    in.DATA.acp = &acp;
    struct Row {
        int event, record, cmd; // the monitor command in progress, 0 none
        const char *agent;      // into ea_st.agentname, null leaves it
        int pri;                // daemon (3) << 3 | severity
        const char *text;       // null: no line, eventaction fails
    };
    // clang-format off
    const Row rows[] = {
        {65, 1, 0, nullptr, 26, "UPS Ac fail"},
        {0, 0, 0, nullptr, 29, "UPS AC Restore"}, // not recorded, logged all the same
        {128, 1, 0, nullptr, 25, "UPS Battery Low"},
        {64, 0, 0, nullptr, 27, "UPS communication Lost"},
        {75, 1, 0, nullptr, 28, "System begin weekly turn off UPS Warning"},
        {7, 1, 0, nullptr, 30, "UPS Agent Start up"},
        {79, 1, CMD_SHUTDOWN, nullptr, 28, "Receive shutdown Command From Users on mon?<11>forged"},
        {21, 1, CMD_CANCELSHUTDOWN, nullptr, 29, "The Shutdown is Canceled by Users on ops%n%s"},
        {80, 1, 0, "peer\x1b[2J\xb0\xa1", 28, "Network Shutdown Triggered by Other Agent (peer?[2J?" "?)"},
        {99, 1, 0, nullptr, 0, nullptr},
    };
    // clang-format on
    for (const Row &r : rows) {
        SCOPED_TRACE(r.event);
        for (UPS_EVENTINFO &e : events)
            e.Record = e.EventID == r.event ? r.record : e.Record;
        acp.cmd = r.cmd;
        r.cmd == CMD_SHUTDOWN ? void(acp.arg.adip = &down) : void(acp.arg.hp = canceller);
        if (r.agent != nullptr)
            strcpy(ea_st.agentname, r.agent);
        line_before.clear();
        EXPECT_EQ(eventaction(r.event, &in, &out), r.text != nullptr ? 0 : -1);
        if (r.text != nullptr) {
            EXPECT_EQ(take(rx), "<" + std::to_string(r.pri) + ">" + head + r.text);
            EXPECT_EQ(line_before, std::vector<bool>(line_before.size(), true));
            EXPECT_FALSE(line_before.empty());
        }
        EXPECT_EQ(take(rx), ""); // one line at most, however the name was made
    }
    // A name of any length is cut; the text around it stays whole.
    ASSERT_EQ(ea_syslog_event(80, std::string(2000, 'x').c_str()), 0);
    EXPECT_EQ(take(rx), "<28>" + head + "Network Shutdown Triggered by Other Agent (" +
                            std::string(99, 'x') + ")");
}

TEST_F(EaSyslog, MissingFullOrRestartedLogNeverHoldsTheEngine)
{
    // A full reader: the line is lost at once and the socket kept.
    int sent = 0;
    while (sent < 100000 && ea_syslog_event(65, nullptr) == 0)
        sent++;
    ASSERT_LT(sent, 100000);
    EXPECT_GE(ea_syslog_st.fd, 0);
    while (take(rx) == "<26>" + head + "UPS Ac fail")
        sent--;
    EXPECT_EQ(sent, 0);
    // The log restarts at the same path: this very line reaches the new one.
    close(rx);
    ASSERT_GE(rx = log_fd = bind_at(path), 0);
    EXPECT_EQ(ea_syslog_event(0, nullptr), 0);
    EXPECT_EQ(take(rx), "<29>" + head + "UPS AC Restore");
    // Nobody reads (socket left behind), then no socket at all: -1, the event
    // itself goes on, and a log that comes back is used again.
    close(rx);
    EXPECT_EQ(ea_syslog_event(65, nullptr), -1);
    EXPECT_EQ(ea_syslog_st.fd, -1);
    unlink(path.c_str());
    EXPECT_EQ(ea_syslog_event(65, nullptr), -1);
    line_before.clear();
    EXPECT_EQ(eventaction(65, &in, &out), 0);
    EXPECT_FALSE(line_before.empty()); // wall and the others still started
    ASSERT_GE(rx = log_fd = bind_at(path), 0);
    EXPECT_EQ(ea_syslog_event(128, nullptr), 0);
    EXPECT_EQ(take(rx), "<25>" + head + "UPS Battery Low");
}

} // namespace
