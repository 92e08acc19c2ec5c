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

constexpr time_t t0 = 1796720703; // 8 December 2026 09:05:03 UTC

// A reader bound at path, as the system log's daemon is.
int bind_at(const std::string &path)
{
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// The next datagram waiting at fd, "" when none.
std::string take(int fd)
{
    char buf[2048];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// Programs the engine starts, each noting whether the event's line was
// already waiting in the log when it started.
int log_fd = -1;
std::vector<bool> line_before;
int note(void)
{
    char c;
    line_before.push_back(recv(log_fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0);
    return 0;
}
int rec_run(const char *, const char *const[], const char *)
{
    return note();
}
int rec_capture(const char *, const char *const[], char *out, size_t)
{
    out[0] = '\0';
    return note();
}
int rec_shell(const char *)
{
    return note();
}
int rec_exec(const char *, const char *const[])
{
    return -1;
}
const ea_spawn_ops recorder = {rec_run, rec_capture, rec_shell, rec_exec};

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
        sysclock_fake(t0, 1000.0);
        ea_stateinit();
        ea_spawn_setops(&recorder);
        for (int n = 0; n < EA_NEVENTROWS; n++)
            events[n] = *eventdefault_at(n);
        up.logparam.MaxEventRec = 100;
        rx = log_fd = bind_at(path);
        ASSERT_GE(rx, 0);
    }
    void TearDown() override
    {
        ea_stateinit();
        ea_spawn_init();
        if (rx >= 0)
            close(rx);
    }
};

TEST_F(EaSyslog, EveryRaisedEventIsOneLineOfDaemonFacility)
{
    UPS_AGENTDOWNINFO down{};
    AGENTCMD acp{};
    in.DATA.acp = &acp;
    char canceller[] = "ops%n%s";
    struct Row {
        int event;
        int record;
        int cmd;           // the monitor command in progress, 0 none
        const char *agent; // ea_st.agentname, or null to leave it
        int pri;           // daemon (3) << 3 | severity
        const char *text;  // null: no line, eventaction fails
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
    strcpy(down.Agent, "mon\n<11>forged");
    for (const Row &r : rows) {
        SCOPED_TRACE(r.event);
        for (UPS_EVENTINFO &e : events)
            if (e.EventID == r.event)
                e.Record = r.record;
        acp.cmd = r.cmd;
        if (r.cmd == CMD_SHUTDOWN)
            acp.arg.adip = &down;
        else
            acp.arg.hp = canceller;
        if (r.agent != nullptr)
            strcpy(ea_st.agentname, r.agent);
        line_before.clear();
        EXPECT_EQ(eventaction(r.event, &in, &out), r.text != nullptr ? 0 : -1);
        if (r.text == nullptr) {
            EXPECT_EQ(take(rx), "");
            continue;
        }
        EXPECT_EQ(take(rx), "<" + std::to_string(r.pri) + ">" + head + r.text);
        EXPECT_EQ(take(rx), ""); // one line, however the name was made
        EXPECT_FALSE(line_before.empty());
        for (bool b : line_before)
            EXPECT_TRUE(b); // the line was out before any program started
    }

    // A name of any length is cut; the text around it stays whole.
    std::string longname(2000, 'x');
    ASSERT_EQ(ea_syslog_event(80, longname.c_str()), 0);
    EXPECT_EQ(take(rx), "<28>" + head + "Network Shutdown Triggered by Other Agent (" +
                            std::string(99, 'x') + ")");
    ASSERT_EQ(ea_syslog_event(7, ""), 0);
    EXPECT_EQ(take(rx), "<30>" + head + "UPS Agent Start up");
}

TEST_F(EaSyslog, MissingFullOrRestartedLogNeverHoldsTheEngine)
{
    // A full reader: the line is lost at once and the socket kept.
    int n = 0, sent = 0;
    while (n < 100000 && ea_syslog_event(65, nullptr) == 0)
        n++, sent++;
    ASSERT_LT(n, 100000);
    EXPECT_GT(sent, 0);
    EXPECT_GE(ea_syslog_st.fd, 0);
    while (!take(rx).empty())
        sent--;
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(ea_syslog_event(0, nullptr), 0);
    EXPECT_EQ(take(rx), "<29>" + head + "UPS AC Restore");

    // The log restarts at the same path: the line reaches the new reader.
    close(rx);
    rx = log_fd = bind_at(path);
    ASSERT_GE(rx, 0);
    EXPECT_EQ(ea_syslog_event(0, nullptr), 0);
    EXPECT_EQ(take(rx), "<29>" + head + "UPS AC Restore");

    // Nobody reads (socket left behind), then no socket at all: -1, the
    // event itself goes on, and a log that comes back is used again.
    close(rx);
    rx = -1;
    EXPECT_EQ(ea_syslog_event(65, nullptr), -1);
    EXPECT_EQ(ea_syslog_st.fd, -1);
    unlink(path.c_str());
    EXPECT_EQ(ea_syslog_event(65, nullptr), -1);
    line_before.clear();
    EXPECT_EQ(eventaction(65, &in, &out), 0);
    EXPECT_FALSE(line_before.empty()); // wall and the others still started
    rx = log_fd = bind_at(path);
    EXPECT_EQ(ea_syslog_event(128, nullptr), 0);
    EXPECT_EQ(take(rx), "<25>" + head + "UPS Battery Low");
}

} // namespace
