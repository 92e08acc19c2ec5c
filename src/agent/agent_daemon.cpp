// The daemon process's own parts: the packet buffer, the table of connected
// monitors, the command words to the UPS channel process, and the loop that
// serves the network, watches the UPS channel process and the agent manager,
// and drives the event engine.
#include "agent/agent_daemon.h"

#include "agent/agent_log.h"
#include "agent/agent_net.h"
#include "agent/agent_svc.h"
#include "agent/agent_ups.h"
#include "agent/agent_utils.h"
#include "agent/daemon_engine.h"
#include "agent/net_queue.h"
#include "agent/sysclock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

char *Daemon_Buffer = nullptr;
int Daemon_NetBufLen = 0;
int Daemon_BufferLen = 0;

NETCLI net_client_p[DAEMON_MAXCLIENTS];

namespace
{

// The UPS channel process serves command words only between polls, and a
// poll on a failing line takes up to about 11 s before the loss is decided
// (after which no reply comes).  A reply not there 4 s after that is not
// coming.
constexpr int default_cmdwait_ms = 3000;
constexpr int default_replywait_ms = 15000;

// Listeners rest this long when the process is out of descriptors or memory.
constexpr double accept_rest_s = 1.0;

// Below this a failed allocation means the system is out of memory for
// even the everyday buffer, and the daemon cannot serve anything.
constexpr size_t growth_fatal_below = 32767;

daemon_state defaults()
{
    daemon_state s{};
    s.engine = Event_Action;
    s.getpwnam = getpwnam;
    s.getspnam = getspnam;
    s.sigfd[0] = s.sigfd[1] = -1;
    s.accept = accept4;
    s.cmdwait_ms = default_cmdwait_ms;
    s.replywait_ms = default_replywait_ms;
    s.locked_since = -1;
    s.dropfd = -1;
    return s;
}

} // namespace

daemon_state daemon_st = defaults();

void daemon_stateinit(void)
{
    daemon_st = defaults();
}

// ---------------------------------------------------------------------------
// The packet buffer

UPS_CLIADDR *daemon_cliaddr(void)
{
    return Daemon_Buffer ? reinterpret_cast<UPS_CLIADDR *>(Daemon_Buffer) : nullptr;
}

UPS_PACKET_HEAD *daemon_head(void)
{
    return Daemon_Buffer ? reinterpret_cast<UPS_PACKET_HEAD *>(Daemon_Buffer + sizeof(UPS_CLIADDR))
                         : nullptr;
}

char *daemon_data(void)
{
    return Daemon_Buffer ? Daemon_Buffer + sizeof(UPS_MSGBLOCK_HEAD) : nullptr;
}

int daemon_reallocbuf(int len)
{
    if (len < 0 || len > DAEMON_MAXBUF)
        return -1;
    if (Daemon_Buffer != nullptr && Daemon_NetBufLen >= len)
        return 0;
    size_t size = static_cast<size_t>(len) + sizeof(UPS_CLIADDR);
    char *grown = static_cast<char *>(calloc(1, size));
    if (grown == nullptr) {
        if (size > growth_fatal_below)
            return -1;
        printf0("alloc : len<need\n");
        net_netexit(&agent);
    }
    // Handlers grow the buffer while the request's origin and header are in
    // it; keeping the contents means none of them can lose those.
    if (Daemon_Buffer != nullptr) {
        memcpy(grown, Daemon_Buffer, static_cast<size_t>(Daemon_BufferLen));
        // Requests (passwords among them) have passed through it.
        explicit_bzero(Daemon_Buffer, static_cast<size_t>(Daemon_BufferLen));
        free(Daemon_Buffer);
    }
    Daemon_Buffer = grown;
    Daemon_BufferLen = static_cast<int>(size);
    Daemon_NetBufLen = len;
    return 0;
}

void daemon_replyhead(AGENT *ap, uint8_t kind, uint32_t length)
{
    UPS_CLIADDR *ca = daemon_cliaddr();
    ca->sockfd = ap->agnet.cnc.sockfd;
    ca->addr = ap->agnet.cnc.addr;
    net_packethead(ap, kind, length);
}

void daemon_setclient(AGENT *ap, const NETCLI *c)
{
    UPS_CLIADDR *ca = daemon_cliaddr();
    ca->sockfd = c->sockfd;
    ca->addr = c->addr;
    ca->os = c->os;
    ca->lang = c->lang;
    NETCLI *cnc = &ap->agnet.cnc;
    cnc->sockfd = c->sockfd;
    cnc->addr = c->addr;
    cnc->auth = c->auth;
    cnc->os = c->os;
    cnc->lang = c->lang;
}

// ---------------------------------------------------------------------------
// Connected monitors

namespace
{

int used_clients(void)
{
    int n = 0;
    while (n < DAEMON_MAXCLIENTS && net_client_p[n].sockfd != -1)
        n++;
    return n;
}

void free_slot(int i)
{
    net_client_p[i] = NETCLI{};
    net_client_p[i].sockfd = -1;
    daemon_st.pwfail[i] = 0;
}

} // namespace

void daemon_clearclients(NETINFO *anp)
{
    for (int i = 0; i < DAEMON_MAXCLIENTS; i++)
        free_slot(i);
    anp->clilist = nullptr;
}

int daemon_addclient(NETINFO *anp, int sockfd, const struct sockaddr_in *addr)
{
    int n = used_clients();
    if (n >= DAEMON_MAXCLIENTS)
        return -1;
    // A slot keeps nothing of an earlier connection: above all not its rights.
    free_slot(n);
    NETCLI *c = &net_client_p[n];
    c->sockfd = sockfd;
    if (addr != nullptr) {
        c->addr = *addr;
        inet_ntop(AF_INET, &addr->sin_addr, c->addrstr, sizeof c->addrstr);
    }
    c->auth = AUTH_NONE;
    if (n == 0)
        anp->clilist = c;
    else
        net_client_p[n - 1].next = c;
    return n;
}

int daemon_findclient(int sockfd)
{
    if (sockfd < 0)
        return -1;
    for (int i = 0; i < DAEMON_MAXCLIENTS && net_client_p[i].sockfd != -1; i++) {
        if (net_client_p[i].sockfd == sockfd)
            return i;
    }
    return -1;
}

int free_client_sockfd(NETINFO *anp, int sockfd)
{
    net_forget(sockfd);
    int i = daemon_findclient(sockfd);
    if (i < 0)
        return 0;
    int last = used_clients() - 1;
    // The used slots stay a prefix, so the links need no change: only the
    // records move down.
    for (int j = i; j < last; j++) {
        NETCLI *to = &net_client_p[j];
        const NETCLI *from = &net_client_p[j + 1];
        to->sockfd = from->sockfd;
        to->auth = from->auth;
        to->os = from->os;
        to->lang = from->lang;
        memcpy(to->addrstr, from->addrstr, sizeof to->addrstr);
        to->addr = from->addr;
        daemon_st.pwfail[j] = daemon_st.pwfail[j + 1];
    }
    free_slot(last);
    if (last == 0)
        anp->clilist = nullptr;
    else
        net_client_p[last - 1].next = nullptr;
    return 0;
}

// ---------------------------------------------------------------------------
// The UPS channel process

namespace
{

double mono_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// 1 when fd is ready for events (or has failed, which the next read or
// write reports) within ms, else 0.
int wait_fd(int fd, short events, int ms)
{
    double end = mono_ms() + ms;
    for (;;) {
        struct pollfd p = {fd, events, 0};
        double left = end - mono_ms();
        int r = poll(&p, 1, left > 0 ? static_cast<int>(left + 0.999) : 0);
        if (r > 0)
            return 1;
        if (r == 0 || errno != EINTR)
            return 0;
    }
}

// A reply that comes after its command was given up tells whether the UPS
// carried the command out after all (a shutdown, say): the log keeps it.
void log_late_reply(int32_t word)
{
    char msg[96];
    snprintf(msg, sizeof msg, "paspipe. daemon_sendcmdtoups: late reply %d to command %d\n", word,
             daemon_st.latecmd);
    printf0(msg);
    daemon_st.latecmd = 0;
}

// A reply word that came after its command was given up must not be taken
// for the reply to the next one.
void drain_stale_replies(int fd)
{
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN))
            return;
        int32_t word;
        if (read(fd, &word, sizeof word) != static_cast<ssize_t>(sizeof word))
            return;
        log_late_reply(word);
    }
}

ssize_t read_word(int fd, int32_t *word)
{
    size_t got = 0;
    while (got < sizeof *word) {
        ssize_t r = read(fd, reinterpret_cast<char *>(word) + got, sizeof *word - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

// The commands whose reply word the UPS channel process writes.
bool reply_awaited(uint32_t cmd)
{
    uint32_t code = cmd & UPSCMD_MASK;
    return code == UPSCMD_REFRESH || code == UPSCMD_SHUTDOWN || code == UPSCMD_BATTDATE;
}

} // namespace

int daemon_sendcmdtoups(AGENT *ap, int cmd)
{
    if (ap == nullptr || ap->aip == nullptr)
        return -1;
    if (static_cast<uint8_t>(ap->aip->ups.ui.ComId) & 0x80)
        return 0;
    uint32_t word = static_cast<uint32_t>(cmd);
    drain_stale_replies(ap->chna2u.paspipe[0]);

    int out = ap->chna2u.actpipe[1];
    if (!wait_fd(out, POLLOUT, daemon_st.cmdwait_ms))
        return -1;
    char msg[64];
    snprintf(msg, sizeof msg, "write actpipe, sendcmdtoups, %d.", cmd);
    printf0(msg);
    ssize_t w;
    do {
        w = write(out, &word, sizeof word);
    } while (w < 0 && errno == EINTR);
    if (w != static_cast<ssize_t>(sizeof word)) {
        printf0("actpipe dm-sendcmdtoups: write\n");
        net_netexit(ap);
    }
    if (!reply_awaited(word))
        return 0;

    if (!wait_fd(ap->chna2u.paspipe[0], POLLIN, daemon_st.replywait_ms)) {
        printf0("paspipe. daemon_sendcmdtoups: no reply in time\n");
        daemon_st.latecmd = cmd;
        return -1;
    }
    int32_t reply = 0;
    if (read_word(ap->chna2u.paspipe[0], &reply) != static_cast<ssize_t>(sizeof reply)) {
        printf0("paspipe. daemon_sendcmdtoups: read\n");
        net_netexit(ap);
    }
    uint32_t r = static_cast<uint32_t>(reply);
    return (r & UPSCMD_MASK) == (word & UPSCMD_MASK) && (r & ~UPSCMD_MASK) == UPSREPLY_OK ? 0 : -1;
}

char *UpStrings(char *s)
{
    if (s == nullptr)
        return s;
    for (char *p = s; *p; p++) {
        if (*p >= 'a' && *p <= 'z')
            *p = static_cast<char>(*p - 'a' + 'A');
    }
    return s;
}

// ---------------------------------------------------------------------------
// The loop

namespace
{

// The descriptors one pass waits on.  Grown as needed, never shrunk.
struct pollset {
    struct pollfd *fds;
    int n;
    int cap;
};

pollset ps;

void ps_add(int fd, short events = POLLIN)
{
    if (fd < 0)
        return;
    if (ps.n == ps.cap) {
        int cap = ps.cap ? ps.cap * 2 : 128;
        void *grown = realloc(ps.fds, static_cast<size_t>(cap) * sizeof *ps.fds);
        if (grown == nullptr)
            return; // not watched this pass; the next one tries again
        ps.fds = static_cast<struct pollfd *>(grown);
        ps.cap = cap;
    }
    ps.fds[ps.n++] = {fd, events, 0};
}

short ps_revents(int fd)
{
    if (fd < 0)
        return 0;
    for (int i = 0; i < ps.n; i++) {
        if (ps.fds[i].fd == fd)
            return ps.fds[i].revents;
    }
    return 0;
}

// Whether poll found fd readable, closed or failed: a read then tells which.
bool ps_ready(int fd)
{
    return (ps_revents(fd) & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void serve_late_reply(AGENT *ap)
{
    int32_t word;
    if (read_word(ap->chna2u.paspipe[0], &word) == static_cast<ssize_t>(sizeof word))
        log_late_reply(word);
    else
        daemon_st.latecmd = 0; // the UPS process is gone; its pipe tells the loop
}

// sigchild wrote on the self-pipe: the UPS channel process is dead.
bool ups_died(void)
{
    int fd = daemon_st.sigfd[0];
    if (fd < 0)
        return false;
    bool died = false;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        char buf[64];
        if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN) || read(fd, buf, sizeof buf) <= 0)
            return died;
        died = true;
    }
}

// Connection attempts that vanish on the way, or that the network or a
// firewall refuses, are not the daemon's failure (the manual page calls them
// transient); anything else means the listening socket is broken.
bool accept_transient(int err)
{
    switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EPERM:
        return true;
    default:
        return false;
    }
}

// Out of descriptors or memory: the pending connection stays pending and
// the listener stays ready, so taking it again at once would only spin.
bool accept_exhausted(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOMEM || err == ENOBUFS;
}

int connections_from(in_addr_t addr)
{
    int n = 0;
    for (int i = 0; i < DAEMON_MAXCLIENTS && net_client_p[i].sockfd != -1; i++) {
        if (net_client_p[i].addr.sin_addr.s_addr == addr)
            n++;
    }
    return n;
}

int serve_accept(AGENT *ap, NETSERV *s)
{
    struct sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    socklen_t len = sizeof peer;
    int fd =
        daemon_st.accept(s->tcpfd, reinterpret_cast<struct sockaddr *>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        if (accept_exhausted(errno)) {
            printf0("daemon_doagent: accept: out of resources, listeners rest a second\n");
            daemon_st.listen_resume = sysclock_mono() + accept_rest_s;
            return 0;
        }
        if (accept_transient(errno))
            return 0;
        printf0("daemon_doagent: accept\n");
        return -1;
    }
    // A connection left open and unserved would hold the monitor in a
    // silent wait; closed, it sees at once that the agent is busy.  One
    // host may not take the places of all others.
    if (connections_from(peer.sin_addr.s_addr) >= DAEMON_MAXPERADDR) {
        printf0("daemon_doagent: too many connections from one address, connection closed\n");
        close(fd);
    } else if (daemon_addclient(&ap->agnet, fd, &peer) < 0) {
        printf0("daemon_doagent: monitor table full, connection closed\n");
        close(fd);
    }
    return 0;
}

void drop_client(AGENT *ap, NETCLI *c)
{
    int fd = c->sockfd;
    close(fd);
    free_client_sockfd(&ap->agnet, fd);
}

// Sends what waits in the queues of the monitors whose sockets take it now,
// and ends the connections that have held half a packet too long.
void serve_output_and_stalls(AGENT *ap)
{
    int i = 0;
    while (i < DAEMON_MAXCLIENTS && net_client_p[i].sockfd != -1) {
        NETCLI *c = &net_client_p[i];
        // A broken one drops its queue; the read below finds it so and ends it.
        if (ps_revents(c->sockfd) & POLLOUT)
            netq_flush(c->sockfd);
        if (net_stalled(c->sockfd)) {
            printf0("daemon_doagent: half a packet held too long, connection closed\n");
            drop_client(ap, c);
            continue; // the slot now holds the next client
        }
        i++;
    }
}

void serve_datagram(AGENT *ap)
{
    NETINFO *an = &ap->agnet;
    struct sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    socklen_t len = sizeof peer;
    // MSG_TRUNC gives the datagram's real size, so one longer than the
    // buffer fails the length rule instead of being served cut.
    ssize_t n =
        recvfrom(an->ufd, daemon_head(), static_cast<size_t>(Daemon_NetBufLen),
                 MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<struct sockaddr *>(&peer), &len);
    if (n < 0)
        return;
    // Some senders count a trailing NUL in the datagram but not in Length.
    uint32_t length =
        n >= static_cast<ssize_t>(sizeof(UPS_PACKET_HEAD)) ? daemon_head()->Length : 0;
    if (n < static_cast<ssize_t>(sizeof(UPS_PACKET_HEAD)) || n > Daemon_NetBufLen ||
        length < sizeof(UPS_PACKET_HEAD) ||
        (length != static_cast<uint32_t>(n) && length != static_cast<uint32_t>(n - 1))) {
        // Not served, so no handler wipes it: what came may be a password.
        size_t got = static_cast<size_t>(n < Daemon_NetBufLen ? n : Daemon_NetBufLen);
        explicit_bzero(daemon_head(), got);
        return;
    }
    // A datagram's sender has no record of its system or language, like a
    // connection that has not told them yet; what the last connection told
    // must not decide the answer to someone else.
    NETCLI from{};
    from.sockfd = an->ufd;
    from.addr = peer;
    from.auth = AUTH_NONE;
    daemon_setclient(ap, &from);
    daemon_procnetmsg(ap, AUTH_NONE, 0);
}

void serve_clients(AGENT *ap)
{
    int i = 0;
    while (i < DAEMON_MAXCLIENTS && net_client_p[i].sockfd != -1) {
        NETCLI *c = &net_client_p[i];
        if (!ps_ready(c->sockfd)) {
            i++;
            continue;
        }
        int len = 0;
        int r = net_readpacketfromtcpsocket(c, &len);
        bool drop = r < 0;
        if (r > 1) {
            UPS_PACKET_HEAD *h = daemon_head();
            // A monitor's shutdown request must not pass for another
            // agent's, whatever agent type it claims.
            if (h->DataId == PK_SHUTDOWN &&
                h->Length >= sizeof(UPS_PACKET_HEAD) + offsetof(UPS_AGENTDOWNINFO, Agent)) {
                uint32_t zero = 0;
                memcpy(daemon_data() + offsetof(UPS_AGENTDOWNINFO, AgentType), &zero, sizeof zero);
            }
            daemon_st.dropfd = -1;
            daemon_procnetmsg(ap, c->auth, 1);
            drop = daemon_st.dropfd == c->sockfd;
            daemon_st.dropfd = -1;
        }
        if (drop) {
            drop_client(ap, c);
            continue; // the slot now holds the next client
        }
        i++;
    }
}

// The agent manager's request word.  Returns -1 when it asks the agent to
// stop.
int manager_request(AGENT *ap)
{
    AGINFO *aip = ap->aip;
    // The manager holds the word only while it writes the request; one seen
    // held for seconds belongs to a manager that died holding it, and would
    // block every later stop and reload.
    if (aip->locked == 0) {
        daemon_st.locked_since = -1;
    } else if (daemon_st.locked_since < 0) {
        daemon_st.locked_since = sysclock_mono();
    } else if (sysclock_mono() - daemon_st.locked_since >= DAEMON_STALELOCK_S) {
        printf0("daemon_doagent: lock word held too long, cleared\n");
        net_clearlock();
        daemon_st.locked_since = -1;
    }
    if (aip->isagentchg == AGCHG_NONE || net_testandsetlock() != 0)
        return 0;
    if (aip->isagentchg < 0) {
        printf0("daemon_doagent: receive voltmiractl stop command\n");
        net_clearlock();
        daemon_st.stopasked = 1;
        return -1;
    }
    if (aip->isagentchg == AGCHG_SETTINGS) {
        aip->isagentchg = AGCHG_NONE;
        daemon_agentevent(ap, AGEV_SETTINGS);
    }
    net_clearlock();
    return 0;
}

} // namespace

int daemon_initagent(AGENT *ap)
{
    printf1("can debug echo on\n");
    for (int i = 0; i < AGENT_NUSERS; i++)
        ap->us[i].UserID = USERID_UNUSED;
    daemon_clearclients(&ap->agnet);
    daemon_reallocbuf(DAEMON_INITBUF);
    daemon_st.users.nusers = 0;
    daemon_st.users.udp = ap->us;
    daemon_engineviews(ap, E_UPSTAT | E_UPSCONFIG | E_SCHEDULE | E_EVENTACTION);
    daemon_engine_install();
    return daemon_callengine(EA_INIT);
}

int daemon_pass(AGENT *ap, int timeout_ms)
{
    NETINFO *an = &ap->agnet;
    ps.n = 0;
    ps_add(daemon_st.sigfd[0]);
    ps_add(ap->chnu2a.actpipe[0]);
    ps_add(an->ufd);
    // A reply given up on may still come: watched to be logged.
    if (daemon_st.latecmd != 0)
        ps_add(ap->chna2u.paspipe[0]);
    bool listening = sysclock_mono() >= daemon_st.listen_resume;
    for (NETSERV *s = an->tfdlist; listening && s != nullptr; s = s->next)
        ps_add(s->tcpfd);
    for (NETCLI *c = an->clilist; c != nullptr; c = c->next)
        ps_add(c->sockfd, netq_pending(c->sockfd) > 0 ? POLLIN | POLLOUT : POLLIN);

    int nready = poll(ps.fds, static_cast<nfds_t>(ps.n), timeout_ms);
    if (nready < 0) {
        // A signal (a child's death among them) only cuts the wait short.
        if (errno != EINTR) {
            printf1("daemon_doagent: select\n");
            return -1;
        }
        nready = 0;
    }
    if (ups_died()) {
        printf0("receive sigchild, exit\n");
        return -1;
    }
    serve_output_and_stalls(ap);
    if (nready > 0) {
        if (daemon_st.latecmd != 0 && ps_ready(ap->chna2u.paspipe[0]))
            serve_late_reply(ap);
        for (NETSERV *s = an->tfdlist; listening && s != nullptr; s = s->next) {
            if (ps_ready(s->tcpfd) && serve_accept(ap, s) < 0)
                return -1;
        }
        if (ps_ready(an->ufd))
            serve_datagram(ap);
        serve_clients(ap);
        if (ps_ready(ap->chnu2a.actpipe[0])) {
            printf0("actpipe. daemon_doagent: ups module failed\n");
            return -1;
        }
    }
    // Looked at in quiet passes too: a stop must not wait for traffic.
    if (manager_request(ap) < 0)
        return -1;

    daemon_engineviews(ap, E_UPSTAT);
    daemon_callengine(EA_CHECKUPS);
    return 0;
}

void daemon_doagent(AGENT *ap)
{
    int r = daemon_initagent(ap);
    if (r < 0) {
        printf0("daemon_doagent: Event_Action(Init) failed\n");
        exit(r);
    }
    for (;;) {
        // Pinged from the loop itself: a daemon stuck anywhere stops the
        // pings, and the service manager starts it again.
        svc_watchdog();
        if (svc_stop_requested() && !daemon_st.stopasked) {
            printf0("daemon_doagent: receive stop signal\n");
            daemon_st.stopasked = 1;
            // Past its deadline the agent has promised the UPS a switch-off;
            // the service manager stops it when the host goes down, which
            // may well be now (someone ran the shutdown at the warning).
            if (ap->aip->ups.ui.ShutdownS) {
                printf0("daemon_doagent: own shutdown under way, the UPS is told first\n");
                daemon_st.finish_until = sysclock_mono() + DAEMON_FINISH_S;
                daemon_agentevent(ap, AGEV_STOPASKED);
            }
        }
        bool finishing = daemon_st.stopasked && daemon_st.finish_until > 0 &&
                         ap->aip->ups.ui.ShutdownS && sysclock_mono() < daemon_st.finish_until;
        if ((daemon_st.stopasked && !finishing) || daemon_pass(ap, DAEMON_PASS_MS) < 0) {
            if (daemon_st.stopasked) {
                svc_stopping();
                svc_orderly();
            }
            net_netexit(ap);
        }
    }
}
