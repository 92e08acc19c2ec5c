// The agent as a service of the system's service manager: readiness, the
// watchdog and an orderly stop on SIGTERM.
//
// The manager's notification protocol is one datagram per state change to
// the AF_UNIX socket named by NOTIFY_SOCKET (a path, or "@name" for the
// abstract namespace), holding newline-separated assignments such as
// "READY=1".  Nothing is ever sent when the agent was not started that way
// (no NOTIFY_SOCKET at start-up).
#ifndef VOLTMIRA_AGENT_AGENT_SVC_H
#define VOLTMIRA_AGENT_AGENT_SVC_H

#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>

struct svc_state {
    int enabled;             // NOTIFY_SOCKET was given and is usable
    struct sockaddr_un addr; // where the datagrams go
    socklen_t addrlen;
    double watchdog_s;                    // the manager's watchdog period; 0 when none
    double last_ping;                     // sysclock_mono of the last WATCHDOG=1; < 0 none yet
    int under_init;                       // started by process 1: SIGTERM stops in order
    int ready_sent;                       // READY=1 has gone out
    int orderly;                          // the coming exit is a stop asked for
    volatile sig_atomic_t stop_requested; // set by the SIGTERM handler
};

extern svc_state svc_st;

// Reads NOTIFY_SOCKET (an absolute path or "@name"), WATCHDOG_USEC (digits
// only, above 0) and WATCHDOG_PID (when set, this process's id) from the
// environment, and takes them out of it: the programs the agent starts must
// not inherit the manager's socket.  Must run before anything else of the
// start-up.  Returns 0; a malformed value leaves that part off (-1 is never
// returned: a manager's fault must not stop the agent).
int svc_init(void);

// Back to "not started as a service", nothing sent; for tests.
void svc_fini(void);

// Sends one state text (e.g. "READY=1").  Returns 0 when sent, -1 when the
// send failed, 1 when the agent was not started with NOTIFY_SOCKET.
int svc_notify(const char *state);

// READY=1 with the daemon's process id, once: the agent listens and its UPS
// process runs.
void svc_ready(void);

// Called on every pass of the daemon loop: WATCHDOG=1 when the manager
// asked for a watchdog and a quarter of its period has passed since the
// last one.
void svc_watchdog(void);

// STOPPING=1, when the agent is about to leave on a stop request.
void svc_stopping(void);

// When the agent's parent is process 1 (a service manager or init, which
// stops services with SIGTERM): SIGTERM sets stop_requested instead of
// ending the process, so the loop can stop in order.  The handler does not
// restart interrupted calls, so the loop's wait ends at once.  Returns 0,
// or -1 when the handler could not be set.
int svc_catchterm(void);

// Whether a stop was asked for by SIGTERM.
bool svc_stop_requested(void);

// Marks the coming exit as a stop someone asked for (SIGTERM, the agent
// manager's stop request), which is no failure.
void svc_orderly(void);

// The exit status for a daemon leaving with errno err: 0 after svc_orderly;
// otherwise never 0, so that the service manager sees a failure as one and
// starts the agent again (err when its low byte is not 0, else 1).
int svc_exitstatus(int err);

#endif
