#include "agent/agent_main.h"

#include "agent/agent_daemon.h"
#include "agent/agent_lang.h"
#include "agent/agent_log.h"
#include "agent/agent_net.h"
#include "agent/agent_ups.h"
#include "agent/agent_utils.h"
#include "agent/net.h"
#include "agent/sysroot.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
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

int create_segment(AGENT *ap)
{
    ap->shmid = shmget(ap->key, sizeof(AGINFO), IPC_CREAT | 0666);
    if (ap->shmid < 0 && errno == EEXIST)
        ap->shmid = shmget(ap->key, 0, 0666);
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
    if (sysroot_init() != 0)
        return 1;
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
    if (create_segment(ap) != 0)
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
