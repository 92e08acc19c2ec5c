// The agent under a service manager: the notification datagrams (readiness,
// the watchdog, the stop), SIGTERM as a stop request, and the exit status
// the manager judges the stop by.
//
// A socket is made for each datagram and closed at once: the start-up
// closes every descriptor it finds (the daemon's detaching), and nothing of
// the manager's may reach the UPS channel process or a program the engine
// starts.  Every send is non-blocking: a manager that does not read must
// never hold the daemon, whose loop keeps the host safe.
#include "agent/agent_svc.h"

#include "agent/fdutil.h"
#include "agent/strings.h"
#include "agent/sysclock.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{

const char env_socket[] = "NOTIFY_SOCKET";
const char env_usec[] = "WATCHDOG_USEC";
const char env_pid[] = "WATCHDOG_PID";

// The watchdog is pinged this many times per period, so that one late pass
// or one lost datagram does not make the manager take the agent for hung.
constexpr double pings_per_period = 4;

svc_state defaults()
{
    svc_state s{};
    s.last_ping = -1;
    return s;
}

// A decimal number of digits only, no sign, no blanks, within max.
// 0 and the value, or -1.
int parse_decimal(const char *s, uint64_t max, uint64_t *out)
{
    if (s == nullptr || *s == '\0')
        return -1;
    uint64_t v = 0;
    for (; *s != '\0'; s++) {
        if (*s < '0' || *s > '9')
            return -1;
        uint64_t d = static_cast<uint64_t>(*s - '0');
        if (v > (max - d) / 10)
            return -1;
        v = v * 10 + d;
    }
    *out = v;
    return 0;
}

// The manager's socket: an absolute path, or "@name" in the abstract
// namespace.  0 when addr holds it, -1 for anything else (a relative path
// would depend on the working directory, which the start-up changes).
int socket_address(const char *v, struct sockaddr_un *addr, socklen_t *len)
{
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    size_t n = strlen(v);
    if (v[0] == '/') {
        if (n >= sizeof addr->sun_path)
            return -1;
        wp_strlcpy(addr->sun_path, v, sizeof addr->sun_path);
        *len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + n + 1);
        return 0;
    }
    // The abstract name is the bytes after the leading NUL, no terminator.
    if (v[0] == '@' && n >= 2 && n <= sizeof addr->sun_path) {
        memcpy(addr->sun_path + 1, v + 1, n - 1);
        *len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + n);
        return 0;
    }
    return -1;
}

// The manager's watchdog period in seconds, or 0 when there is none for
// this process.
double watchdog_period(void)
{
    uint64_t usec = 0;
    // A period of more than a year is no watchdog anyone meant.
    if (parse_decimal(getenv(env_usec), 366ULL * 86400 * 1000000, &usec) != 0 || usec == 0)
        return 0;
    const char *pid = getenv(env_pid);
    uint64_t p = 0;
    if (pid != nullptr &&
        (parse_decimal(pid, INT32_MAX, &p) != 0 || static_cast<pid_t>(p) != getpid()))
        return 0;
    return static_cast<double>(usec) / 1e6;
}

void on_term(int signum)
{
    (void)signum;
    svc_st.stop_requested = 1;
}

} // namespace

svc_state svc_st = defaults();

int svc_init(void)
{
    svc_fini();
    const char *v = getenv(env_socket);
    if (v != nullptr && socket_address(v, &svc_st.addr, &svc_st.addrlen) == 0) {
        svc_st.enabled = 1;
        svc_st.watchdog_s = watchdog_period();
    }
    // Whatever the agent starts later is no service of the manager's.
    unsetenv(env_socket);
    unsetenv(env_usec);
    unsetenv(env_pid);
    return 0;
}

void svc_fini(void)
{
    if (svc_st.under_init)
        signal(SIGTERM, SIG_DFL);
    svc_st = defaults();
}

int svc_notify(const char *state)
{
    if (!svc_st.enabled)
        return 1;
    if (state == nullptr)
        return -1;
    int saved = errno;
    Fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int rc = -1;
    if (fd.get() >= 0) {
        size_t n = strlen(state);
        ssize_t w = sendto(fd.get(), state, n, MSG_NOSIGNAL | MSG_DONTWAIT,
                           reinterpret_cast<const struct sockaddr *>(&svc_st.addr), svc_st.addrlen);
        rc = w == static_cast<ssize_t>(n) ? 0 : -1;
    }
    errno = saved;
    return rc;
}

void svc_ready(void)
{
    if (svc_st.ready_sent)
        return;
    char msg[64];
    snprintf(msg, sizeof msg, "READY=1\nMAINPID=%ld", static_cast<long>(getpid()));
    if (svc_notify(msg) == 0)
        svc_st.ready_sent = 1;
}

void svc_watchdog(void)
{
    if (!svc_st.enabled || svc_st.watchdog_s <= 0)
        return;
    double now = sysclock_mono();
    if (svc_st.last_ping >= 0 && now - svc_st.last_ping < svc_st.watchdog_s / pings_per_period)
        return;
    // A failed send is tried again on the next pass.
    if (svc_notify("WATCHDOG=1") == 0)
        svc_st.last_ping = now;
}

void svc_stopping(void)
{
    svc_notify("STOPPING=1");
}

int svc_catchterm(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_term;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: the loop's wait ends at once
    if (sigaction(SIGTERM, &sa, nullptr) != 0)
        return -1;
    svc_st.under_init = 1;
    return 0;
}

bool svc_stop_requested(void)
{
    return svc_st.stop_requested != 0;
}

void svc_orderly(void)
{
    svc_st.orderly = 1;
}

int svc_exitstatus(int err)
{
    if (svc_st.orderly)
        return 0;
    return (err & 0xff) != 0 ? err : 1;
}
