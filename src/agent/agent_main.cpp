#include "agent/agent_main.h"

#include "agent/agent_daemon.h"
#include "agent/agent_lang.h"
#include "agent/agent_log.h"
#include "agent/agent_net.h"
#include "agent/agent_svc.h"
#include "agent/agent_ups.h"
#include "agent/agent_utils.h"
#include "agent/net.h"
#include "agent/sysroot.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// The UPS channel process gives the daemon this long to settle before it
// touches the serial port.
constexpr int ups_start_delay_s = 3;

constexpr int ftok_id = 1029;

// Signals a detached daemon has no use for.
const int ignored_signals[] = {SIGTTOU, SIGTTIN, SIGTSTP, SIGCHLD, SIGINT,  SIGQUIT, SIGTERM,
                               SIGPIPE, SIGALRM, SIGIO,   SIGXCPU, SIGXFSZ, SIGSEGV, SIGHUP};

void close_fd(int32_t *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

void reset_agent(AGENT *ap)
{
    for (int i = 0; i < 2; i++) {
        ap->chna2u.actpipe[i] = ap->chna2u.paspipe[i] = -1;
        ap->chnu2a.actpipe[i] = ap->chnu2a.paspipe[i] = -1;
    }
    ap->shmid = -1;
    ap->aip = nullptr;
    ap->agnet.ufd = -1;
    ap->agnet.tfdlist = nullptr;
    memset(&ap->agnet.uaddr, 0, sizeof ap->agnet.uaddr);
    ap->agnet.clilist = nullptr;
}

void sleep_s(int s)
{
    struct timespec left = {s, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// The failure path once the segment exists.  No UPS channel process runs
// yet at any failure that leads here; the segment is removed first, so that
// a start that failed leaves nothing behind.
int agent_out(AGENT *ap, int result)
{
    printf0("agent out, kill everyone\n");
    if (ap->aip != nullptr) {
        shmdt(ap->aip);
        ap->aip = nullptr;
    }
    if (ap->shmid >= 0)
        shmctl(ap->shmid, IPC_RMID, nullptr);
    // Only a process group of our own is ours to end.
    if (getpgrp() == getpid())
        kill(0, SIGKILL);
    return result;
}

int create_pipes(AGENT *ap)
{
    int32_t *pairs[] = {ap->chna2u.actpipe, ap->chna2u.paspipe, ap->chnu2a.actpipe,
                        ap->chnu2a.paspipe};
    for (int32_t *p : pairs) {
        if (pipe2(p, O_CLOEXEC) != 0)
            return -1;
    }
    return 0;
}

[[noreturn]] void run_ups_process(AGENT *ap)
{
    signal(SIGCHLD, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    close_fd(&ap->chna2u.actpipe[1]);
    close_fd(&ap->chna2u.paspipe[0]);
    close_fd(&ap->chnu2a.actpipe[0]);
    close_fd(&ap->chnu2a.paspipe[1]);
    // A stop of the agent is the daemon's to carry out (the monitors told,
    // the stop logged, the segment removed); this process leaves when its
    // command pipe closes.  Ended first by a SIGTERM sent to the whole group
    // (the service manager's, or at the system's shutdown), it would turn
    // that stop into a failure of the UPS channel, the daemon's exit into an
    // error and a service restart.
    signal(SIGTERM, SIG_IGN);
    // The network belongs to the daemon process alone: a UPS channel
    // process that outlives it must not hold the agent's ports.
    close_fd(&daemon_st.sigfd[0]);
    close_fd(&daemon_st.sigfd[1]);
    close_fd(&ap->agnet.ufd);
    init_freeservlist(&ap->agnet);
    sleep_s(ups_start_delay_s);
    ups_doupschan(ap);
    printf0("return from ups proc\n");
    exit(0);
}

} // namespace

int agent_main(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    // First: the manager's variables go with the environment below.
    svc_init();
    // A service manager (or init) is the parent and stops the agent with
    // SIGTERM, which must end it in order, not kill it mid-way.
    if (getppid() == 1 && svc_catchterm() != 0)
        return -1;
    if (sysroot_init() != 0)
        return 1;
    // Before anything can start a program: what the invoking user's
    // environment held must not steer the commands root runs.
    if (init_environment() != 0)
        return -1;
    daemon_setlang();
    AGENT *ap = &agent;
    reset_agent(ap);
    ap->key = ftok(sysroot_path(SP_KEYFILE), ftok_id);
    if (ap->key == static_cast<key_t>(-1))
        return -1;
    if (daemon_start() != 0)
        return -1;
    // A monitor that goes away mid-reply must not end the agent, whoever
    // started it.
    signal(SIGPIPE, SIG_IGN);
    if (init_uport(&ap->agnet, NET_PORT_AGENT_UDP) != 0)
        return -1;
    if (init_tport(&ap->agnet, NET_PORT_AGENT_TCP) != 0)
        return -1;
    if (init_segment(ap) != 0)
        return -1;
    if (create_pipes(ap) != 0 || init_sigchild() != 0)
        return agent_out(ap, -1);
    // The daemon process's own id: the one that the agent manager can signal.
    ap->aip->agpid = getpid();

    // Held back until upspid is set, so that an early death is not missed.
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_BLOCK, &set, &old);
    pid_t pid = fork();
    if (pid < 0) {
        sigprocmask(SIG_SETMASK, &old, nullptr);
        return agent_out(ap, -1);
    }
    if (pid == 0)
        run_ups_process(ap);
    close_fd(&ap->chna2u.actpipe[0]);
    close_fd(&ap->chna2u.paspipe[1]);
    close_fd(&ap->chnu2a.actpipe[1]);
    close_fd(&ap->chnu2a.paspipe[0]);
    ap->aip->upspid = pid;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    // The ports are bound and the UPS channel process runs.
    svc_ready();
    daemon_doagent(ap);
    return 0;
}

int daemon_start(void)
{
    if (getppid() != 1) {
        for (int sig : ignored_signals)
            signal(sig, SIG_IGN);
        pid_t pid = fork();
        if (pid < 0)
            return -1;
        if (pid > 0)
            _exit(0);
        if (setsid() < 0)
            return -1;
    }
    for (int fd = 0; fd < 256; fd++)
        close(fd);
    errno = 0;
    if (chdir(sysroot_path(SP_LIBDIR)) != 0) {
        // The daemon works with absolute paths only; a missing directory
        // shows up where a file is needed.
    }
    umask(0);
    // The console becomes descriptor 0, since all were closed.
    int fd = open(sysroot_path(SP_CONSOLE), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    dup2(fd, 1);
    dup2(fd, 2);
    return 0;
}

int init_uport(NETINFO *agnetp, int port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    agnetp->ufd = fd;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
        printf0("set sockt opt error, exit\n");
        exit(1);
    }
    memset(&agnetp->uaddr, 0, sizeof agnetp->uaddr);
    agnetp->uaddr.sin_family = AF_INET;
    agnetp->uaddr.sin_addr.s_addr = htonl(INADDR_ANY);
    agnetp->uaddr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&agnetp->uaddr), sizeof agnetp->uaddr) != 0)
        return -1;
    return 0;
}

int init_tport(NETINFO *agnetp, int port)
{
    int tmp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (tmp < 0)
        return -1;
    struct ifconf ifc;
    memset(&ifc, 0, sizeof ifc);
    int n = utils_findmultihome(tmp, &ifc);
    if (n < 0) {
        close(tmp);
        return -1;
    }
    int rc = 0;
    for (int i = 0; i < n && rc == 0; i++) {
        struct ifreq ifr = ifc.ifc_req[i];
        if (ioctl(tmp, SIOCGIFADDR, &ifr) != 0 || init_bindaddress(agnetp, &ifr, port) != 0)
            rc = -1;
    }
    if (rc != 0)
        init_freeservlist(agnetp);
    free(ifc.ifc_buf);
    close(tmp);
    return rc;
}

int init_bindaddress(NETINFO *agnetp, struct ifreq *ifr, int port)
{
    // Non-blocking, so that a connection that vanishes between the wake-up
    // and the accept cannot stall the loop.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    NETSERV *s = static_cast<NETSERV *>(calloc(1, sizeof *s));
    if (s == nullptr) {
        close(fd);
        return -1;
    }
    NETSERV **tail = &agnetp->tfdlist;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = s;
    s->tcpfd = fd;
    memcpy(&s->addr, &ifr->ifr_addr, sizeof s->addr);
    inet_ntop(AF_INET, &s->addr.sin_addr, s->addrstr, sizeof s->addrstr);
    s->addr.sin_family = AF_INET;
    s->addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&s->addr), sizeof s->addr) != 0 ||
        listen(fd, 5) != 0)
        return -1;
    return 0;
}

namespace
{

// Attempts at a fresh segment, should someone keep planting one under the
// key between the removal and the creation.
constexpr int segment_attempts = 5;

// A segment the agent can take over: made and owned by this user (root, for
// the installed agent), private to it, and of the record's size.  Anything
// else under the key was planted and must not be trusted.
bool segment_trusted(int id)
{
    struct shmid_ds ds;
    if (shmctl(id, IPC_STAT, &ds) != 0)
        return false;
    uid_t me = geteuid();
    return ds.shm_perm.cuid == me && ds.shm_perm.uid == me && (ds.shm_perm.mode & 0777) == 0600 &&
           ds.shm_segsz == sizeof(AGINFO);
}

int get_segment(key_t key)
{
    for (int i = 0; i < segment_attempts; i++) {
        int id = shmget(key, sizeof(AGINFO), IPC_CREAT | IPC_EXCL | 0600);
        if (id >= 0 || errno != EEXIST)
            return id;
        id = shmget(key, 0, 0);
        if (id < 0)
            continue; // removed meanwhile: try to create it again
        if (segment_trusted(id))
            return id;
        printf0("main-shmget: a foreign segment under the key, removed\n");
        if (shmctl(id, IPC_RMID, nullptr) != 0)
            return -1;
    }
    return -1;
}

} // namespace

int init_segment(AGENT *ap)
{
    ap->shmid = get_segment(ap->key);
    if (ap->shmid < 0) {
        printf0("main-shmget: identifier removed\n");
        return -1;
    }
    void *p = shmat(ap->shmid, nullptr, 0);
    if (p == reinterpret_cast<void *>(-1)) {
        printf0("main, shmat, error\n");
        shmctl(ap->shmid, IPC_RMID, nullptr);
        ap->shmid = -1;
        return -1;
    }
    ap->aip = static_cast<AGINFOP>(p);
    memset(ap->aip, 0, sizeof(AGINFO));
    ap->aip->ups.up.workparam.ComSet = COMSET_NONE;
    ap->aip->ups.ui.CommStatus = COMM_LOST;
    ap->aip->ups.ui.ComId = COMID_NONE;
    return 0;
}

namespace
{

// The variables a started program may still see: the language set-up,
// the time zone, the staged root, and the settings of a sanitizer build.
bool kept_variable(const char *entry)
{
    static const char *const kept[] = {
        "LANG=",         "LANGUAGE=",      "KDE_LANG=",    "TZ=", "VOLTMIRA_SYSROOT=",
        "ASAN_OPTIONS=", "UBSAN_OPTIONS=", "LSAN_OPTIONS="};
    if (strncmp(entry, "LC_", 3) == 0)
        return true;
    for (const char *k : kept) {
        if (strncmp(entry, k, strlen(k)) == 0)
            return true;
    }
    return false;
}

// The fixed search path; a staged system's own directories come first, so
// that its stand-ins are what the commands find.
const char *const search_dirs[] = {"/usr/sbin", "/usr/bin", "/sbin", "/bin"};

} // namespace

int init_environment(void)
{
    char path[1024] = "";
    const char *prefix = sysroot_prefix();
    for (int staged = prefix[0] != '\0' ? 1 : 0; staged >= 0; staged--) {
        for (const char *d : search_dirs) {
            size_t used = strlen(path);
            int n = snprintf(path + used, sizeof path - used, "%s%s%s", used ? ":" : "",
                             staged ? prefix : "", d);
            if (n < 0 || static_cast<size_t>(n) >= sizeof path - used)
                return -1;
        }
    }

    size_t n = 0;
    while (environ != nullptr && environ[n] != nullptr)
        n++;
    char **kept = static_cast<char **>(calloc(n + 1, sizeof *kept));
    if (kept == nullptr)
        return -1;
    size_t nkept = 0;
    int rc = 0;
    for (size_t i = 0; i < n && rc == 0; i++) {
        if (!kept_variable(environ[i]))
            continue;
        if ((kept[nkept] = strdup(environ[i])) == nullptr)
            rc = -1;
        else
            nkept++;
    }
    if (rc == 0 && clearenv() != 0)
        rc = -1;
    for (size_t i = 0; i < nkept; i++) {
        char *eq = strchr(kept[i], '=');
        if (rc == 0 && eq != nullptr) {
            *eq = '\0';
            if (setenv(kept[i], eq + 1, 1) != 0)
                rc = -1;
        }
        free(kept[i]);
    }
    free(kept);
    if (rc == 0 && setenv("PATH", path, 1) != 0)
        rc = -1;
    return rc;
}

void init_freeservlist(NETINFO *agnetp)
{
    NETSERV *s = agnetp->tfdlist;
    while (s != nullptr) {
        NETSERV *next = s->next;
        if (s->tcpfd >= 0)
            close(s->tcpfd);
        free(s);
        s = next;
    }
    agnetp->tfdlist = nullptr;
}

int init_sigchild(void)
{
    if (daemon_st.sigfd[0] < 0 && pipe2(daemon_st.sigfd, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = sigchild;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    return sigaction(SIGCHLD, &sa, nullptr);
}

void sigchild(int signum)
{
    (void)signum;
    // Only async-signal-safe work here: reap, and leave a byte for the loop,
    // which logs and leaves through net_netexit in its own time.
    int saved = errno;
    int status;
    pid_t pid;
    while ((pid = waitpid(0, &status, WNOHANG)) > 0) {
        AGINFOP aip = agent.aip;
        if (aip != nullptr && aip != reinterpret_cast<AGINFOP>(-1) && pid == aip->upspid &&
            daemon_st.sigfd[1] >= 0) {
            char b = 1;
            ssize_t w = write(daemon_st.sigfd[1], &b, 1);
            (void)w;
        }
    }
    errno = saved;
}
