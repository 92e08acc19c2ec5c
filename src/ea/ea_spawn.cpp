// Starting programs for the engine.  A child gets a clean start: its text
// (or nothing) on standard input, no output anywhere it could block, none of
// the daemon's sockets and pipes, default signal handling and an empty
// signal mask.  Children stay in the daemon's process group, whose SIGCHLD
// handler reaps the ones that run and shell leave behind.
#include "ea/ea_spawn.h"

#include "agent/agent_log.h"
#include "agent/fdutil.h"
#include "ea/ea_log.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

struct spawn_state {
    const ea_spawn_ops *ops;
    pid_t pids[EA_SPAWN_MAX]; // children of run and shell; 0 a free slot
    int refusal_logged;       // said once until a start succeeds again
};

spawn_state ss;

const char dev_null[] = "/dev/null";

// A bare name is looked up in the search path, as "who" is on a real system.
void exec_any(const char *path, const char *const argv[])
{
    if (strchr(path, '/') != nullptr)
        execv(path, const_cast<char *const *>(argv));
    else
        execvp(path, const_cast<char *const *>(argv));
}

// Moves fd above the standard descriptors, so that setting up 0 to 2 cannot
// overwrite it.  The child's own copy; -1 on failure.
int lift(int fd)
{
    return fd > 2 ? fd : fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

void close_above(unsigned first, unsigned last, long maxfd)
{
    if (first > last || close_range(first, last, 0) == 0)
        return;
    for (long fd = first; fd <= static_cast<long>(last) && fd < maxfd; fd++)
        close(static_cast<int>(fd));
}

// In the child, with every signal blocked: only async-signal-safe calls.
[[noreturn]] void child(const char *path, const char *const argv[], int in, int out, int err,
                        long maxfd)
{
    int e = 0;
    int nul = open(dev_null, O_RDWR | O_CLOEXEC);
    if (in < 0)
        in = nul;
    if (out < 0)
        out = nul;
    in = lift(in);
    out = lift(out);
    nul = lift(nul);
    err = lift(err);
    if (in < 0 || out < 0 || nul < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
        dup2(nul, 2) < 0)
        e = errno != 0 ? errno : EBADF;
    if (e == 0) {
        // Only the error pipe stays, and it closes itself on exec.
        close_above(3, static_cast<unsigned>(err) - 1, maxfd);
        close_above(static_cast<unsigned>(err) + 1, ~0U, maxfd);
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = SIG_DFL;
        sigemptyset(&sa.sa_mask);
        for (int sig = 1; sig < NSIG; sig++)
            sigaction(sig, &sa, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        exec_any(path, argv);
        e = errno;
    }
    ssize_t w = write(err, &e, sizeof e);
    (void)w;
    _exit(127);
}

// Reaps pid, waiting for it; a child someone else reaped already is fine.
void reap(pid_t pid)
{
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Forks a child running path with in and out as its standard input and
// output (-1: /dev/null).  Returns once the program runs (its pid) or could
// not be started (-1, errno set), without waiting for it to end.
pid_t start_child(const char *path, const char *const argv[], int in, int out)
{
    if (path == nullptr || argv == nullptr || argv[0] == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int ep[2];
    if (pipe2(ep, O_CLOEXEC) != 0)
        return -1;
    Fd rd(ep[0]);
    Fd wr(ep[1]);
    long maxfd = sysconf(_SC_OPEN_MAX);
    // No handler of the daemon may run in the child before it is reset.
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    pid_t pid = fork();
    if (pid == 0)
        child(path, argv, in, out, wr.get(), maxfd);
    int fork_errno = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        errno = fork_errno;
        return -1;
    }
    wr.close_now();
    int e = 0;
    ssize_t n;
    while ((n = read(rd.get(), &e, sizeof e)) < 0 && errno == EINTR) {
    }
    if (n <= 0)
        return pid; // the error pipe closed on a successful exec
    reap(pid);
    errno = e != 0 ? e : ENOEXEC;
    return -1;
}

// Frees the slots of children that ended (reaped here or by the daemon's
// handler already).
void free_ended(void)
{
    for (pid_t &p : ss.pids) {
        if (p == 0)
            continue;
        pid_t r = waitpid(p, nullptr, WNOHANG);
        if (r == p || (r < 0 && errno == ECHILD))
            p = 0;
    }
}

pid_t *free_slot(void)
{
    free_ended();
    for (pid_t &p : ss.pids) {
        if (p == 0)
            return &p;
    }
    return nullptr;
}

int real_run(const char *path, const char *const argv[], const char *input)
{
    pid_t *slot = free_slot();
    if (slot == nullptr) {
        if (!ss.refusal_logged)
            Ea_log("ea_spawn: too many programs still running, no more are started");
        ss.refusal_logged = 1;
        return -1;
    }
    int in = -1;
    int pp[2] = {-1, -1};
    if (input != nullptr) {
        // The whole text goes into the pipe before the child exists, so the
        // daemon never waits on a reader; the texts are far below what a
        // pipe holds, a longer one would be cut.
        if (pipe2(pp, O_CLOEXEC) != 0)
            return -1;
        in = pp[0];
    }
    Fd rd(pp[0]);
    Fd wr(pp[1]);
    if (input != nullptr) {
        fcntl(wr.get(), F_SETFL, O_NONBLOCK);
        if (fd_writeall(wr.get(), input, strlen(input)) != 0)
            Ea_log("ea_spawn: a program's input was cut");
        wr.close_now();
    }
    pid_t pid = start_child(path, argv, in, -1);
    if (pid < 0)
        return -1;
    *slot = pid;
    ss.refusal_logged = 0;
    return 0;
}

int real_shell(const char *cmd)
{
    if (cmd == nullptr)
        return -1;
    const char *const argv[] = {"sh", "-c", cmd, nullptr};
    return real_run("/bin/sh", argv, nullptr);
}

long elapsed_ms(const struct timespec &since)
{
    // The child's real time bounds the wait, whatever clock the engine runs
    // on.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

// Reads from fd into out until end of file, a full buffer or the end of the
// time; the bytes read.
size_t read_for(int fd, char *out, size_t cap, const struct timespec &start)
{
    size_t got = 0;
    while (got + 1 < cap) {
        long left = EA_CAPTURE_MS - elapsed_ms(start);
        if (left <= 0)
            break;
        struct pollfd pfd = {fd, POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        ssize_t n = read(fd, out + got, cap - 1 - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (cap > 0)
        out[got] = '\0';
    return got;
}

// Gives the child what is left of the time to end, then kills it; it is
// reaped either way.
void finish(pid_t pid, const struct timespec &start)
{
    for (;;) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return;
        long left = EA_CAPTURE_MS - elapsed_ms(start);
        if (left <= 0)
            break;
        poll(nullptr, 0, left < 10 ? static_cast<int>(left) : 10);
    }
    kill(pid, SIGKILL);
    reap(pid);
}

int real_capture(const char *path, const char *const argv[], char *out, size_t cap)
{
    if (out == nullptr)
        cap = 0;
    if (cap > 0)
        out[0] = '\0';
    // Until this child is reaped here, the daemon's handler cannot reap it,
    // so its pid cannot pass to another process before the kill.
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    int pp[2];
    int rc = -1;
    if (pipe2(pp, O_CLOEXEC) == 0) {
        Fd rd(pp[0]);
        Fd wr(pp[1]);
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        pid_t pid = start_child(path, argv, -1, wr.get());
        wr.close_now();
        if (pid > 0) {
            char none[1];
            rc = static_cast<int>(cap > 0 ? read_for(rd.get(), out, cap, start)
                                          : read_for(rd.get(), none, sizeof none, start));
            rd.close_now(); // a writer still going gets SIGPIPE
            finish(pid, start);
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return rc;
}

int real_exec(const char *path, const char *const argv[])
{
    if (path == nullptr || argv == nullptr || argv[0] == nullptr)
        return -1;
    // The daemon's sockets and pipes close with the exec, yet stay usable
    // when it fails; so do its ignored signals and its signal mask.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        long maxfd = sysconf(_SC_OPEN_MAX);
        for (long fd = 3; fd < maxfd; fd++)
            fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    }
    sigset_t all, old, none;
    sigfillset(&all);
    sigemptyset(&none);
    sigprocmask(SIG_BLOCK, &all, &old);
    int ignored[NSIG] = {};
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction cur;
        if (sigaction(sig, nullptr, &cur) == 0 && cur.sa_handler == SIG_IGN) {
            sa.sa_handler = SIG_DFL;
            ignored[sig] = sigaction(sig, &sa, nullptr) == 0;
        }
    }
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // The system's shutdown must not hold a mounted file system busy.
    if (chdir("/") != 0)
        printf0("ea_spawn: chdir / failed\n");
    exec_any(path, argv);
    int e = errno;
    sigprocmask(SIG_BLOCK, &all, nullptr);
    sa.sa_handler = SIG_IGN;
    for (int sig = 1; sig < NSIG; sig++) {
        if (ignored[sig])
            sigaction(sig, &sa, nullptr);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = e;
    return -1;
}

const ea_spawn_ops real_ops = {real_run, real_capture, real_shell, real_exec};

} // namespace

void ea_spawn_init(void)
{
    ss = spawn_state{};
    ss.ops = &real_ops;
}

const ea_spawn_ops *ea_spawn(void)
{
    return ss.ops != nullptr ? ss.ops : &real_ops;
}

void ea_spawn_setops(const ea_spawn_ops *ops)
{
    ss.ops = ops != nullptr ? ops : &real_ops;
}

int ea_spawn_running(void)
{
    free_ended();
    int n = 0;
    for (pid_t p : ss.pids)
        n += p != 0;
    return n;
}
