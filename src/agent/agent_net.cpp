#include "agent/agent_net.h"

#include "agent/agent_daemon.h"
#include "agent/agent_log.h"
#include "agent/agent_svc.h"
#include "agent/daemon_engine.h"
#include "agent/net_queue.h"
#include "agent/strings.h"
#include "agent/sysclock.h"
#include "jconv/jconv.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace
{

bool again(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

bool valid_kind(uint8_t k)
{
    return (k >= 16 && k <= 26) || (k >= 28 && k <= 35) || (k >= 80 && k <= 82) || k == 241;
}

// The packet in the buffer and its length, when the length is sane.
const char *packet(uint32_t *len)
{
    if (Daemon_Buffer == nullptr)
        return nullptr;
    const UPS_PACKET_HEAD *h = daemon_head();
    if (h->Length < sizeof *h || h->Length > static_cast<uint32_t>(Daemon_NetBufLen))
        return nullptr;
    *len = h->Length;
    return reinterpret_cast<const char *>(h);
}

// A packet that has begun to arrive on a connection.  Its bytes are kept
// here until the last one comes, so that a monitor that sends slowly, or
// stops half-way, holds up no one but itself.
struct partial {
    bool used;
    bool doomed; // the connection was given up: its next read ends it
    int fd;
    UPS_PACKET_HEAD h;
    uint32_t have; // bytes so far, header included
    bool split;    // the header did not come whole with its first byte
    char *data;    // Length - 8 bytes of room
    double since;  // when its first byte came (sysclock_mono)
};

partial partials[2 * DAEMON_MAXCLIENTS];

partial *find_partial(int fd)
{
    for (partial &p : partials) {
        if (p.used && p.fd == fd)
            return &p;
    }
    return nullptr;
}

partial *new_partial(int fd)
{
    for (partial &p : partials) {
        if (!p.used) {
            p = partial{};
            p.used = true;
            p.fd = fd;
            p.since = sysclock_mono();
            return &p;
        }
    }
    return nullptr;
}

void drop_partial(partial *p)
{
    // A half-read packet may hold a password: wipe what came of it.
    if (p->data != nullptr && p->have > sizeof p->h)
        explicit_bzero(p->data, p->have - sizeof p->h);
    free(p->data);
    *p = partial{};
}

// A connection that does not take its replies is given up: the loop's next
// read ends it, whatever it still has queued.  The shutdown wakes the loop
// for that read.
void give_up(int fd)
{
    netq_forget(fd);
    partial *p = find_partial(fd);
    if (p == nullptr)
        p = new_partial(fd);
    if (p != nullptr)
        p->doomed = true;
    shutdown(fd, SHUT_RDWR);
}

// Reads what has arrived of p's packet.  1 when the packet is complete, 0
// when more is to come, -1 when the connection is finished or broken.
int advance(partial *p)
{
    char *hb = reinterpret_cast<char *>(&p->h);
    while (p->have < sizeof p->h) {
        ssize_t r = recv(p->fd, hb + p->have, sizeof p->h - p->have, MSG_DONTWAIT);
        if (r < 0 && again(errno))
            return 0;
        if (r <= 0)
            return -1;
        p->have += static_cast<uint32_t>(r);
    }
    // A header in pieces is accepted from protocol 1 monitors only.
    if (p->split && p->h.Prototype != 1)
        return -1;
    // A length that cannot be a packet means the stream is out of step or
    // hostile: nothing of it may reach the buffer.
    if (p->h.Length < sizeof p->h || p->h.Length > static_cast<uint32_t>(DAEMON_MAXREQUEST))
        return -1;
    // A packet not served still has its data read, and dropped, so that the
    // next header is read where it begins.
    bool skip = net_checkisvalidpacket(&p->h) != 0;
    if (!skip && p->data == nullptr && p->h.Length > sizeof p->h) {
        p->data = static_cast<char *>(malloc(p->h.Length - sizeof p->h));
        if (p->data == nullptr)
            return -1;
    }
    char sink[1024];
    while (p->have < p->h.Length) {
        uint32_t want = p->h.Length - p->have;
        char *to = skip ? sink : p->data + (p->have - sizeof p->h);
        if (skip && want > sizeof sink)
            want = sizeof sink;
        ssize_t r = recv(p->fd, to, want, MSG_DONTWAIT);
        if (r < 0 && again(errno))
            return 0;
        if (r <= 0)
            return -1;
        p->have += static_cast<uint32_t>(r);
    }
    return 1;
}

} // namespace

net_state net_st = {false};

void net_stateinit(void)
{
    for (partial &p : partials) {
        if (p.used)
            drop_partial(&p);
    }
    netq_init();
    net_st = {false};
}

void net_forget(int fd)
{
    netq_forget(fd);
    if (partial *p = find_partial(fd))
        drop_partial(p);
}

int net_stalled(int fd)
{
    const partial *p = find_partial(fd);
    if (p == nullptr || p->doomed)
        return 0;
    return sysclock_mono() - p->since >= NET_PARTIAL_MAX_S ? 1 : 0;
}

int net_convkind(int16_t version)
{
    return (version & 5) == 5 ? 2 : 1;
}

namespace
{

// Bytes of the character that begins with c, in Shift_JIS (sjis) or in the
// agent's EUC-JP.
size_t char_len(unsigned char c, bool sjis)
{
    if (sjis)
        return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC) ? 2 : 1;
    if (c < 0x80)
        return 1;
    return c == 0x8F ? 3 : 2;
}

// The text of src (at most srcsize bytes; need not be terminated) converted
// with conv into dst.  A text that no longer fits its field (a half-width
// katakana doubles in EUC-JP) is cut before the first character that does
// not fit whole, never inside one: half a character would turn the next
// text a monitor shows into garbage.
char *text_conv(char *dst, size_t dstsize, const char *src, size_t srcsize, int kind, bool out)
{
    if (dst == nullptr || dstsize == 0)
        return dst;
    char in[261];
    size_t n = 0;
    if (src != nullptr) {
        size_t max = srcsize < sizeof in - 1 ? srcsize : sizeof in - 1;
        n = strnlen(src, max);
        memcpy(in, src, n);
    }
    in[n] = '\0';
    char conv[2 * sizeof in + 1];
    int r = out ? JConvForDataOutToNetwork(in, conv, sizeof conv, kind)
                : JConvForDataInFromNetwork(in, conv, sizeof conv, kind);
    if (r < 0)
        conv[0] = '\0';
    bool sjis = out && kind <= 1;
    size_t len = strlen(conv);
    size_t used = len;
    if (len > dstsize - 1) {
        used = 0;
        for (size_t c; used < len; used += c) {
            c = char_len(static_cast<unsigned char>(conv[used]), sjis);
            if (used + c > dstsize - 1)
                break;
        }
    }
    memcpy(dst, conv, used);
    // No stale bytes after the text go on the wire or into the record.
    memset(dst + used, 0, dstsize - used);
    return dst;
}

} // namespace

char *net_textout(char *dst, size_t dstsize, const char *src, size_t srcsize, int kind)
{
    return text_conv(dst, dstsize, src, srcsize, kind, true);
}

char *net_textin(char *dst, size_t dstsize, const char *src, size_t srcsize, int kind)
{
    return text_conv(dst, dstsize, src, srcsize, kind, false);
}

// ---------------------------------------------------------------------------
// Reading from a monitor

int net_checkisvalidpacket(const UPS_PACKET_HEAD *php)
{
    if (php == nullptr)
        return -1;
    if (php->Prototype != 0 && php->Prototype != 1)
        return -1;
    return valid_kind(php->DataId) ? 0 : -1;
}

int net_readpacketfromtcpsocket(NETCLI *cncp, int *len)
{
    if (len != nullptr)
        *len = 0;
    if (cncp == nullptr || Daemon_Buffer == nullptr)
        return -1;
    int fd = cncp->sockfd;
    partial *p = find_partial(fd);
    if (p != nullptr && p->doomed) {
        drop_partial(p);
        return -1;
    }
    if (p == nullptr) {
        uint8_t first;
        ssize_t r = recv(fd, &first, 1, MSG_DONTWAIT);
        if (r < 0 && again(errno))
            return 0; // woken for nothing: the connection is fine
        if (r != 1)
            return -1;
        if (first == NET_KEEPALIVE)
            return 1;
        if ((p = new_partial(fd)) == nullptr)
            return -1;
        memcpy(&p->h, &first, 1);
        p->have = 1;
        // The rest of the header normally comes with its first byte.
        r = recv(fd, reinterpret_cast<char *>(&p->h) + 1, sizeof p->h - 1, MSG_DONTWAIT);
        if (r < 0 && !again(errno))
            perror("net_readpacketfromtcpsocket: read");
        if (r == 0 || (r < 0 && !again(errno))) {
            drop_partial(p);
            return -1;
        }
        if (r > 0)
            p->have += static_cast<uint32_t>(r);
        p->split = p->have < sizeof p->h;
    }
    int r = advance(p);
    if (r <= 0) {
        if (r < 0)
            drop_partial(p);
        return r;
    }
    UPS_PACKET_HEAD h = p->h;
    bool served = net_checkisvalidpacket(&h) == 0;
    if (!served || daemon_reallocbuf(static_cast<int>(h.Length)) < 0) {
        drop_partial(p);
        return served ? -1 : 0;
    }
    daemon_setclient(&agent, cncp);
    memcpy(daemon_head(), &h, sizeof h);
    if (h.Length > sizeof h)
        memcpy(daemon_data(), p->data, h.Length - sizeof h);
    drop_partial(p);
    int total = static_cast<int>(h.Length + sizeof(UPS_CLIADDR));
    if (len != nullptr)
        *len = total;
    return total;
}

// ---------------------------------------------------------------------------
// Sending

namespace
{

// The kinds that travel as datagrams: the answers to an inquiry and the
// agents' shutdown notice, and the protector settings and event log that
// protectors ask for by datagram only.  Any other answer to a datagram goes
// nowhere: sent back, a small forged request would bring many times its
// size to whoever its sender address names.
bool datagram_kind(uint8_t kind)
{
    return kind == PK_ANSAGENT || kind == PK_ANSPROT || kind == PK_SHUTDOWN || kind == PK_PROTCFG ||
           kind == PK_PROTEVENTLOG;
}

// Sends len bytes down a monitor's connection without waiting: what the
// socket does not take now waits in the connection's queue.  A connection
// that is broken or lets its queue pass the bound is given up.
int send_queued(int fd, const char *pkt, uint32_t len)
{
    if (netq_send(fd, pkt, len) == 0)
        return 0;
    give_up(fd);
    return -1;
}

} // namespace

int net_sendpacketout(AGENT *ap)
{
    uint32_t len;
    const char *pkt = packet(&len);
    if (pkt == nullptr)
        return -1;
    const UPS_CLIADDR *ca = daemon_cliaddr();
    uint8_t kind = daemon_head()->DataId;
    if (ca->sockfd >= 0 && ca->sockfd == ap->agnet.ufd) {
        // Served, but answered as the plain write on the unconnected socket
        // answered it: not at all.
        if (!datagram_kind(kind))
            return 0;
        struct sockaddr_in to = ca->addr;
        ssize_t w = sendto(ca->sockfd, pkt, len, MSG_NOSIGNAL | MSG_DONTWAIT,
                           reinterpret_cast<const struct sockaddr *>(&to), sizeof to);
        if (w == static_cast<ssize_t>(len))
            return 0;
        // Only the limited broadcast has a fallback: an answer whose sender
        // cannot be reached (a forged address) must not go to everyone.
        bool limited = to.sin_addr.s_addr == htonl(INADDR_BROADCAST);
        if (limited && (kind == PK_ANSAGENT || kind == PK_ANSPROT || kind == PK_SHUTDOWN))
            return net_sendbrdmsgovereachinterface(ca->sockfd, pkt, static_cast<int>(len), &to);
        return -1;
    }
    if (kind == PK_MESSAGE)
        return net_broadcastmsg2monitor(ap) < 0 ? -1 : 0;
    if (ca->sockfd < 0)
        return -1;
    return send_queued(ca->sockfd, pkt, len);
}

namespace
{

// Which monitors take a message of language msglang.
bool lang_takes(int clientlang, int msglang)
{
    if (clientlang == 1)
        return msglang == 1;
    if (clientlang == 2)
        return msglang == 2;
    return msglang != 2;
}

int send_to_monitors(AGENT *ap, bool filter, int lang)
{
    uint32_t len;
    const char *pkt = packet(&len);
    if (pkt == nullptr)
        return -1;
    int rc = 0;
    for (NETCLI *c = ap->agnet.clilist; c != nullptr; c = c->next) {
        if (c->sockfd < 0)
            return -1;
        if (filter && !lang_takes(c->lang, lang))
            continue;
        // A monitor that cannot take the message at once gets it later from
        // its queue: a message such as a shutdown warning is not skipped.
        if (send_queued(c->sockfd, pkt, len) != 0)
            rc = -1;
    }
    return rc;
}

} // namespace

int net_broadcastmsg2monitor(AGENT *ap)
{
    return send_to_monitors(ap, false, 0);
}

int broadcastmsg2monitor(AGENT *ap, int lang)
{
    return send_to_monitors(ap, true, lang);
}

int sendpacketout_msg(AGENT *ap, int lang)
{
    if (Daemon_Buffer == nullptr || daemon_head()->DataId != PK_MESSAGE)
        return 0;
    return broadcastmsg2monitor(ap, lang);
}

namespace
{

// The interface list for a broadcast: room for 30 entries, 10 more while
// the kernel fills it all.  The number of entries (the caller frees the
// buffer), or -1.
int interface_list(int fd, struct ifconf *ifc)
{
    const size_t entry = sizeof(struct ifreq);
    for (size_t count = 30;; count += 10) {
        size_t size = count * entry;
        void *grown = realloc(ifc->ifc_buf, size);
        if (grown == nullptr) {
            perror("realloc error");
            break;
        }
        ifc->ifc_buf = static_cast<char *>(grown);
        ifc->ifc_len = static_cast<int>(size);
        if (ioctl(fd, SIOCGIFCONF, ifc) < 0) {
            perror("SIOCGIFCONF");
            break;
        }
        if (static_cast<size_t>(ifc->ifc_len) < size)
            return static_cast<int>(static_cast<size_t>(ifc->ifc_len) / entry);
    }
    free(ifc->ifc_buf);
    ifc->ifc_buf = nullptr;
    ifc->ifc_len = 0;
    return -1;
}

} // namespace

int net_sendbrdmsgovereachinterface(int fd, const void *bufp, int len, struct sockaddr_in *addrp)
{
    struct ifconf ifc;
    memset(&ifc, 0, sizeof ifc);
    int n = interface_list(fd, &ifc);
    if (n < 0)
        return -1;
    for (int i = 0; i < n; i++) {
        struct ifreq ifr = ifc.ifc_req[i];
        if (ioctl(fd, SIOCGIFFLAGS, &ifr) != 0) {
            printf("net_sendbrdmsgovereachinterface: can't get interface(%.*s)'s flags\n",
                   static_cast<int>(sizeof ifr.ifr_name), ifr.ifr_name);
            continue;
        }
        if (!(ifr.ifr_flags & IFF_BROADCAST))
            continue;
        ifr = ifc.ifc_req[i];
        if (ioctl(fd, SIOCGIFBRDADDR, &ifr) != 0) {
            perror("net_sendbrdmsgovereachinterface: ioctl(SIOCGIFBRDADDR)");
            continue;
        }
        addrp->sin_addr = reinterpret_cast<struct sockaddr_in *>(&ifr.ifr_broadaddr)->sin_addr;
        if (sendto(fd, bufp, static_cast<size_t>(len), MSG_NOSIGNAL,
                   reinterpret_cast<const struct sockaddr *>(addrp), sizeof *addrp) < 0)
            perror("net_sendbrdmsgovereachinterface: send");
    }
    free(ifc.ifc_buf);
    return 0;
}

// ---------------------------------------------------------------------------
// Inquiries and going down

namespace
{

const char unknown_model[] = "UNKNOWN";

// The node name, cut at its first dot when cut is set, at most 15
// characters.  -1 when the system cannot tell it.
int node_name(char *dst, size_t dstsize, bool cut)
{
    struct utsname un;
    if (uname(&un) != 0)
        return -1;
    if (cut) {
        char *dot = strchr(un.nodename, '.');
        if (dot != nullptr)
            *dot = '\0';
    }
    memset(dst, 0, dstsize);
    wp_strlcpy(dst, un.nodename, dstsize);
    return 0;
}

// The upper-cased model, or empty when it was never read.
void model_text(char *dst, size_t dstsize, const UPS_UPSINFO *ui)
{
    char model[sizeof ui->upsmodel + 1];
    memcpy(model, ui->upsmodel, sizeof ui->upsmodel);
    model[sizeof ui->upsmodel] = '\0';
    UpStrings(model);
    if (strcmp(model, unknown_model) == 0)
        model[0] = '\0';
    memset(dst, 0, dstsize);
    wp_strlcpy(dst, model, dstsize);
}

bool attached(const AGENT *ap)
{
    return ap != nullptr && ap->aip != nullptr && ap->aip != reinterpret_cast<AGINFOP>(-1);
}

// An announcement names a model only of a family the monitors know by name.
void announced_model(char *dst, size_t dstsize, const UPS_UPSINFO *ui)
{
    char shown[sizeof ui->upsmodel];
    model_text(shown, sizeof shown, ui);
    memset(dst, 0, dstsize);
    if (shown[0] != 'Q') {
        wp_strlcpy(dst, "          ", dstsize);
        return;
    }
    size_t max = dstsize - 1 < sizeof ui->upsmodel ? dstsize - 1 : sizeof ui->upsmodel;
    memcpy(dst, ui->upsmodel, strnlen(ui->upsmodel, max));
}

} // namespace

void net_addressbroadcast(AGENT *ap, uint16_t port)
{
    UPS_CLIADDR *ca = daemon_cliaddr();
    ca->sockfd = ap->agnet.ufd;
    memset(&ca->addr, 0, sizeof ca->addr);
    ca->addr.sin_family = AF_INET;
    ca->addr.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    ca->addr.sin_port = htons(port);
}

int net_sendrecord(AGENT *ap, uint8_t kind, const void *rec, size_t size)
{
    const uint32_t length = static_cast<uint32_t>(sizeof(UPS_PACKET_HEAD) + size);
    if (daemon_reallocbuf(static_cast<int>(length)) < 0)
        return -1;
    net_packethead(ap, kind, length);
    memcpy(daemon_data(), rec, size);
    return net_sendpacketout(ap);
}

void net_packethead(AGENT *ap, uint8_t kind, uint32_t length)
{
    UPS_PACKET_HEAD *h = daemon_head();
    h->Version = NET_VERSION_110;
    h->Prototype = static_cast<int8_t>(ap->aip->ups.protocol & 0xFF);
    h->DataId = kind;
    h->Length = length;
}

void net_agentanswer(AGENT *ap, UPS_ANSAGENT *a, int32_t cmd, int kind, int form, int32_t comm)
{
    const UPS_UPSINFO *ui = &ap->aip->ups.ui;
    const UPS_COMMPARAM *cp = &ap->aip->ups.up.commparam;
    memset(a, 0, sizeof *a);
    a->cmd = static_cast<NSCommands>(cmd);
    net_textout(a->Agent, sizeof a->Agent, cp->Agent, sizeof cp->Agent, kind);
    if (form != NET_ANS_ANNOUNCE || cp->AgentType != AGTYPE_PLAIN)
        net_textout(a->Group, sizeof a->Group, cp->Group, sizeof cp->Group, kind);
    if (form == NET_ANS_ANNOUNCE)
        announced_model(a->upsmodel, sizeof a->upsmodel, ui);
    else if (form == NET_ANS_MODEL)
        model_text(a->upsmodel, sizeof a->upsmodel, ui);
    a->UPSStatus = ui->upsstat;
    a->NT = NET_OS_OWN;
    a->AgentType = cp->AgentType;
    a->BattStatus = static_cast<uint32_t>(static_cast<int32_t>(ui->BattStatus));
    a->CommStatus = static_cast<uint32_t>(comm);
    a->bIgnore = cp->bIgnore;
}

int net_protanswer(AGENT *ap, UPS_ANSPROT *a, int32_t cmd, int32_t nt, int cut)
{
    const UPS_COMMPARAM *cp = &ap->aip->ups.up.commparam;
    memset(a, 0, sizeof *a);
    if (node_name(a->myname, sizeof a->myname, cut != 0) != 0)
        return -1;
    a->cmd = static_cast<NSCommands>(cmd);
    a->NT = nt;
    net_textout(a->Agent, sizeof a->Agent, cp->Agent, sizeof cp->Agent, 2);
    return 0;
}

int net_answermonitorinq(AGENT *ap)
{
    if (!attached(ap) || Daemon_Buffer == nullptr)
        return -1;
    const UPS_PACKET_HEAD *req = daemon_head();
    if (req->Length != sizeof(UPS_PACKET_HEAD) + sizeof(UPS_INQAGENT))
        return -1;
    int kind = net_convkind(req->Version);
    int older = beMonitorWin110less();
    UPS_UPSINFO *ui = &ap->aip->ups.ui;
    UPS_PARAM *up = &ap->aip->ups.up;
    uint32_t type = up->commparam.AgentType;
    if (type == AGTYPE_SILENT)
        return 0;
    // The answer goes where the request came from.
    UPS_CLIADDR *ca = daemon_cliaddr();
    ca->sockfd = ap->agnet.cnc.sockfd;
    ca->addr = ap->agnet.cnc.addr;

    if (type == AGTYPE_PROTECTOR) {
        UPS_ANSPROT a;
        if (net_protanswer(ap, &a, Reply, NET_OS_OWN, 1) != 0)
            return -1;
        return net_sendrecord(ap, PK_ANSPROT, &a, sizeof a);
    }

    int8_t comm = ui->CommStatus;
    bool model = type != AGTYPE_PLAIN && comm != COMM_LOST && comm != COMM_NOUPS;
    bool noups = up->workparam.ComSet == COMSET_NOUPS;
    if (noups)
        ui->CommStatus = comm = COMM_NOUPS;
    // Older monitors of other systems know no "no UPS" state.
    int32_t shown = older && comm == COMM_NOUPS ? COMM_LOST : comm;
    if (noups)
        shown = COMM_NOUPS;
    UPS_ANSAGENT a;
    net_agentanswer(ap, &a, Reply, kind, model ? NET_ANS_MODEL : NET_ANS_NOMODEL, shown);
    return net_sendrecord(ap, PK_ANSAGENT, &a, sizeof a);
}

int net_broadcastdown2monitor(AGENT *ap)
{
    if (!attached(ap))
        return -1;
    uint32_t type = ap->aip->ups.up.commparam.AgentType;
    if (type == AGTYPE_SILENT)
        return 0;
    if (type == AGTYPE_PROTECTOR) {
        UPS_ANSPROT a;
        if (net_protanswer(ap, &a, Delete, 1, 0) != 0)
            return -1;
        net_addressbroadcast(ap, NET_PORT_MONITOR_UDP);
        return net_sendrecord(ap, PK_ANSPROT, &a, sizeof a);
    }
    UPS_ANSAGENT a;
    net_agentanswer(ap, &a, Delete, 0, NET_ANS_MODEL, ap->aip->ups.ui.CommStatus);
    net_addressbroadcast(ap, NET_PORT_MONITOR_UDP);
    return net_sendrecord(ap, PK_ANSAGENT, &a, sizeof a);
}

int net_broadcastdown2agent(AGENT *ap)
{
    if (!attached(ap))
        return -1;
    UPS_COMMPARAM *cp = &ap->aip->ups.up.commparam;
    UPS_AGENTDOWNINFO d;
    memset(&d, 0, sizeof d);
    d.DownId = 22;
    d.delay = 0;
    d.AgentType = cp->AgentType;
    net_textout(d.Agent, sizeof d.Agent, cp->Agent, sizeof cp->Agent, 0);
    net_textout(d.Group, sizeof d.Group, cp->Group, sizeof cp->Group, 0);
    net_addressbroadcast(ap, NET_PORT_AGENT_UDP);
    return net_sendrecord(ap, PK_SHUTDOWN, &d, sizeof d);
}

int net_broadcastdown(AGENT *ap)
{
    if (!attached(ap))
        return -1;
    for (int i = 0; i < 3; i++) {
        net_broadcastdown2monitor(ap);
        if (ap->aip->ups.up.commparam.AgentType > AGTYPE_PLAIN)
            net_broadcastdown2agent(ap);
    }
    return 0;
}

void net_netexit(AGENT *ap)
{
    // Telling and logging may lead back here (the engine's stop log fails
    // a write to the UPS process, which leaves): the second entry only
    // removes the segment and ends the process.
    if (!net_st.leaving) {
        net_st.leaving = true;
        if (attached(ap)) {
            for (int i = 0; i < 3; i++)
                net_broadcastdown2monitor(ap);
        }
        daemon_logagentstop();
    }
    if (attached(ap)) {
        // Forget the segment before detaching it: a child's death reported
        // in between must not read the detached record.
        AGINFOP seg = ap->aip;
        ap->aip = nullptr;
        shmdt(seg);
    }
    if (ap != nullptr && ap->shmid >= 0)
        shmctl(ap->shmid, IPC_RMID, nullptr);
    printf0("net_netexit called\n");
    // A stop that was asked for is no failure; any other way out must look
    // like one to a service manager, whatever errno was left at.
    exit(svc_exitstatus(errno));
}
