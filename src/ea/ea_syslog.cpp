// The system log is spoken to directly rather than through the C library's
// syslog(), which always opens the real /dev/log and would let a test (or a
// staged system) write into the host's journal.
#include "ea/ea_syslog.h"

#include "agent/fdutil.h"
#include "agent/strings.h"
#include "agent/sysclock.h"
#include "agent/sysroot.h"
#include "ea/ea_events.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

ea_syslog_state ea_syslog_st = {-1};

namespace
{

constexpr char ident[] = "voltmirad";
constexpr size_t NAME_MAX_BYTES = 100; // a name in the text, like the engine's names
// "<191>Mmm dd hh:mm:ss voltmirad[4194304]: " and the text: well inside the
// 1024 bytes every system log reader takes in one datagram.
constexpr size_t LINE_MAX_BYTES = 64 + EA_SYSLOG_TEXTMAX;

// Month names of the line's time stamp, whatever language the agent runs in.
const char *const months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct severity_row {
    int eventid;
    int severity;
};

// Events not listed are information (settings changed, the agent started or
// stopped, the protector's events).
const severity_row severities[] = {
    // The host goes down because the power is going.
    {128, LOG_ALERT}, // battery low
    {129, LOG_ALERT}, // mains-failure delay run out
    // The host runs without the UPS's protection, or soon will.
    {65, LOG_CRIT}, // mains failure
    {66, LOG_CRIT}, // battery disconnected
    {77, LOG_CRIT}, // UPS fault
    {78, LOG_CRIT}, // overload
    // The agent can no longer watch, or the battery failed its test.
    {64, LOG_ERR},
    {69, LOG_ERR},
    {70, LOG_ERR},
    {71, LOG_ERR},
    {72, LOG_ERR},
    {73, LOG_ERR},
    // Planned or ordered shutdowns, their warnings, and conditions to watch.
    {67, LOG_WARNING}, // bypass
    {68, LOG_WARNING}, // battery weak
    {74, LOG_WARNING},
    {75, LOG_WARNING},
    {76, LOG_WARNING},
    {79, LOG_WARNING},
    {80, LOG_WARNING},
    {130, LOG_WARNING},
    {131, LOG_WARNING},
    {132, LOG_WARNING},
    {133, LOG_WARNING},
    {134, LOG_WARNING},
    {22, LOG_WARNING}, // the system shuts down
    // Back to normal: mains, communication, a shutdown called off, tests passed.
    {0, LOG_NOTICE},
    {1, LOG_NOTICE},
    {2, LOG_NOTICE},
    {3, LOG_NOTICE},
    {4, LOG_NOTICE},
    {5, LOG_NOTICE},
    {6, LOG_NOTICE},
    {21, LOG_NOTICE},
};

// Connects the socket when it is not open.  0, or -1 (no system log, or a
// path too long for a socket address).
int open_socket(void)
{
    if (ea_syslog_st.fd >= 0)
        return 0;
    const char *path = sysroot_path(SP_DEVLOG);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof sa.sun_path)
        return -1;
    wp_strlcpy(sa.sun_path, path, sizeof sa.sun_path);
    Fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return -1;
    // Connecting a datagram socket never waits for the reader.
    if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0)
        return -1;
    ea_syslog_st.fd = fd.release();
    return 0;
}

// Sends one datagram without ever waiting.  A reader that went away (the
// journal restarted) gets one new connection for this very line; a full
// reader loses the line and keeps the socket.
int send_line(const char *line, size_t len)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        if (open_socket() != 0)
            return -1;
        ssize_t n;
        do
            n = send(ea_syslog_st.fd, line, len, MSG_DONTWAIT | MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        if (n >= 0)
            return static_cast<size_t>(n) == len ? 0 : -1;
        if (errno != ECONNREFUSED && errno != ENOENT && errno != ENOTCONN)
            return -1;
        ea_syslog_fini();
    }
    return -1;
}

// The name as it may stand in the line: at most NAME_MAX_BYTES - 1 bytes,
// and a control byte (a line break could forge a line of its own) or a byte
// outside ASCII (a name in a Japanese code would make the journal hide the
// whole line as binary) becomes '?'.
void clean_name(char *dst, size_t size, const char *name)
{
    size_t n = 0;
    for (; name[n] != '\0' && n + 1 < size; n++) {
        unsigned char c = static_cast<unsigned char>(name[n]);
        dst[n] = c < 0x20 || c >= 0x7f ? '?' : static_cast<char>(c);
    }
    dst[n] = '\0';
}

// The line's text of eventid into dst; -1 when the event has no text.  The
// catalogue text is data, never a format: only its first "%s" is replaced.
int event_text(char *dst, size_t size, int eventid, const char *name)
{
    const char *text = EventMsg(eventid);
    if (text == nullptr)
        return -1;
    char clean[NAME_MAX_BYTES];
    clean_name(clean, sizeof clean, name != nullptr ? name : "");
    const char *at = strstr(text, "%s");
    if (at != nullptr)
        snprintf(dst, size, "%.*s%s%s", static_cast<int>(at - text), text, clean, at + 2);
    else if (clean[0] != '\0')
        snprintf(dst, size, "%s (%s)", text, clean);
    else
        wp_strlcpy(dst, text, size);
    return 0;
}

} // namespace

void ea_syslog_fini(void)
{
    if (ea_syslog_st.fd >= 0)
        close(ea_syslog_st.fd);
    ea_syslog_st.fd = -1;
}

int ea_syslog_priority(int eventid)
{
    for (const severity_row &r : severities) {
        if (r.eventid == eventid)
            return r.severity;
    }
    return LOG_INFO;
}

int ea_syslog_event(int eventid, const char *name)
{
    char text[EA_SYSLOG_TEXTMAX];
    if (event_text(text, sizeof text, eventid, name) != 0)
        return -1;
    time_t now = sysclock_time();
    struct tm tm;
    if (localtime_r(&now, &tm) == nullptr || tm.tm_mon < 0 || tm.tm_mon > 11)
        return -1;
    char line[LINE_MAX_BYTES];
    int n = snprintf(line, sizeof line, "<%d>%s %2d %02d:%02d:%02d %s[%ld]: %s",
                     LOG_DAEMON | ea_syslog_priority(eventid), months[tm.tm_mon], tm.tm_mday,
                     tm.tm_hour, tm.tm_min, tm.tm_sec, ident, static_cast<long>(getpid()), text);
    if (n < 0)
        return -1;
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    return send_line(line, len);
}
