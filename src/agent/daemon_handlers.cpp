// Monitor requests: which kinds are served, with which rights, and the
// handlers that answer from the daemon's own records.  Every handler reads
// its request from the packet buffer and builds its answer in the same
// buffer, addressed to the current client.
//
// The handlers that hand their work to the event engine live beside it: the
// shutdown request (daemon_shutdown.cpp), the other UPS commands, the
// battery date and the detection level (daemon_commands.cpp), the reads of
// kind 24 (daemon_reads.cpp), and the settings writes and the protector's
// requests (daemon_settings.cpp).  Every kind passes the rights check below
// before its handler sees it.
#include "agent/agent_daemon.h"
#include "agent/agent_ups.h"

#include "agent/agent_log.h"
#include "agent/agent_net.h"
#include "agent/daemon_engine.h"
#include "agent/strings.h"
#include "agent/sysroot.h"
#include "ea/filehandle.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

namespace
{

typedef int (*handler_fn)(AGENT *ap);

int serve_read(AGENT *ap);

// The kinds a monitor or another agent may send.  control: changes the UPS
// or the agent's settings, so only an administrator may ask.  tcponly: a
// datagram can never carry it (a password over UDP would grant nothing and
// only give an unlimited guessing oracle).  handler null: known, not served.
struct kind_entry {
    uint8_t kind;
    bool control;
    bool tcponly;
    handler_fn handler;
};

const kind_entry kinds[] = {
    {PK_GETUPSINFO, false, false, daemon_ansgetupsinfo},
    {PK_OSINFO, false, false, daemon_recvsendosinfo},
    {PK_SHUTDOWN, true, false, daemon_shutdownups},
    {PK_CANCELSHUTDOWN, true, false, daemon_cancelshutdown},
    {PK_SELFTEST, true, false, daemon_selftest},
    {PK_SELFTESTLOW, true, false, daemon_docmd},
    {PK_CANCELTEST, true, false, daemon_docmd},
    {PK_PASSWORD, false, true, daemon_password},
    {PK_READ, false, false, serve_read},
    {PK_CLEARDATALOG, true, false, daemon_docmd},
    {PK_CLEAREVENTLOG, true, false, daemon_docmd},
    {PK_BEEPERON, true, false, daemon_docmd},
    {PK_BEEPEROFF, true, false, daemon_docmd},
    {PK_GETBATTDATE, false, false, daemon_getbattime},
    {PK_BATTDATE, true, false, daemon_setbattime},
    {PK_AUTOTESTON, true, false, daemon_docmd},
    {PK_AUTOTESTOFF, true, false, daemon_docmd},
    {PK_DETECTLEVEL, true, false, daemon_setupsmodelvl},
    {PK_BEEPERTEST, true, false, daemon_docmd},
    {PK_SCHEDULE, true, false, daemon_scheduleset},
    {PK_EVENTSET, true, false, daemon_eventset},
    {PK_CONFIG, true, false, daemon_configset},
    {PK_PROTREPORT, false, false, daemon_prot2agent},
    {PK_PROTCFG, true, false, daemon_setprotector},
    {PK_GETPROTCFG, false, false, daemon_getprotector},
    {PK_GETPROTEVENTLOG, false, false, daemon_getprteventlog},
    {PK_INQAGENT, false, false, net_answermonitorinq},
};

const kind_entry *find_kind(uint8_t kind)
{
    for (const kind_entry &k : kinds) {
        if (k.kind == kind)
            return &k;
    }
    return nullptr;
}

bool is_loopback(const struct sockaddr_in *a)
{
    return (ntohl(a->sin_addr.s_addr) >> 24) == 127;
}

// A connection carries the rights its password request earned.  A datagram
// carries none, not even from this host, where any local user can send one:
// another agent's shutdown notice is checked against the sender's type and
// group by its handler, and the protector's setting of its agent is taken
// only from this host.  Every other control request needs a connection and
// a password.
bool may_serve(AGENT *ap, const kind_entry *k, int auth, int istcp)
{
    if (k->tcponly && !istcp)
        return false;
    if (!k->control)
        return true;
    if (istcp)
        return auth == AUTH_ADMIN;
    if (k->kind == PK_SHUTDOWN)
        return true;
    if (k->kind == PK_PROTCFG)
        return is_loopback(&ap->agnet.cnc.addr);
    return false;
}

uint32_t request_length(void)
{
    return daemon_head()->Length;
}

int serve_read(AGENT *ap)
{
    if (request_length() < sizeof(UPS_PACKET_HEAD) + sizeof(UPS_COMMAND_PACKET))
        return -1;
    UPS_COMMAND_PACKET cp;
    memcpy(&cp, daemon_data(), sizeof cp);
    switch (cp.cmd) {
    case RD_NOTHING:
        return daemon_answernullcloseapp(ap);
    case RD_EVENTLOG:
        return daemon_geteventlog(ap);
    case RD_DATALOG:
        return daemon_getdatalog(ap);
    case RD_SCHEDULE:
        return daemon_getschedule(ap);
    case RD_EVENTSET:
        return daemon_getevents(ap);
    case RD_CONFIG:
        return daemon_getconfig(ap);
    default:
        return -1;
    }
}

} // namespace

int daemon_procnetmsg(AGENT *ap, int auth, int istcp)
{
    if (ap == nullptr || ap->aip == nullptr || Daemon_Buffer == nullptr)
        return -1;
    uint32_t length = request_length();
    if (length < sizeof(UPS_PACKET_HEAD) || length > static_cast<uint32_t>(Daemon_NetBufLen))
        return -1;
    const kind_entry *k = find_kind(daemon_head()->DataId);
    if (k == nullptr)
        return -1;
    if (!may_serve(ap, k, auth, istcp)) {
        // A password sent where it is not taken is not kept either.
        if (k->kind == PK_PASSWORD)
            explicit_bzero(daemon_data(), length - sizeof(UPS_PACKET_HEAD));
        daemon_st.refused++;
        char msg[80];
        snprintf(msg, sizeof msg, "daemon_procnetmsg: kind %d refused without rights\n", k->kind);
        printf0(msg);
        return -1;
    }
    if (k->handler == nullptr) {
        // Known but not served: nothing to do with it.
        daemon_st.unserved++;
        return -1;
    }
    return k->handler(ap);
}

// ---------------------------------------------------------------------------
// Which monitor asks

int beMonitorWin110(void)
{
    if (Daemon_Buffer == nullptr)
        return 0;
    return daemon_head()->Version == NET_VERSION_110 && daemon_cliaddr()->os != NET_OS_OWN;
}

int beMonitorWin110less(void)
{
    if (Daemon_Buffer == nullptr)
        return 0;
    int16_t v = daemon_head()->Version;
    return (v == NET_VERSION_100 || v == NET_VERSION_110) && daemon_cliaddr()->os != NET_OS_OWN;
}

// ---------------------------------------------------------------------------
// 16: UPS information

namespace
{

bool model_is(const char *model, const char *name)
{
    return strncmp(model, name, sizeof(UPS_UPSINFO::upsmodel)) == 0;
}

bool model_begins(const char *model, const char *prefix)
{
    return strncmp(model, prefix, strlen(prefix)) == 0;
}

} // namespace

int daemon_ansgetupsinfo(AGENT *ap)
{
    const uint32_t length = sizeof(UPS_PACKET_HEAD) + sizeof(UPS_UPSINFO);
    if (daemon_reallocbuf(length) < 0)
        return -1;
    int older = beMonitorWin110less();
    UPS_UPSINFO ui;
    memcpy(&ui, &ap->aip->ups.ui, sizeof ui);

    net_textout(ui.Group, sizeof ui.Group, ap->aip->ups.ui.Group, sizeof ui.Group, 0);
    if (!(static_cast<uint8_t>(ui.ComId) & 0x80))
        ui.ComId = static_cast<int8_t>(ui.ComId + 1); // monitors count ports from 1
    if (model_is(ui.upsmodel, "UNKNOWN")) {
        memset(ui.upsmodel, 0, sizeof ui.upsmodel);
        memcpy(ui.upsmodel, "         ", 9);
    }
    bool blank = false;
    if (ui.CommStatus == COMM_NOUPS) {
        if (older) {
            // Older monitors know no "no UPS" state; to them it is lost.
            ui.CommStatus = COMM_LOST;
            ui.ComId = COMID_NONE;
        } else {
            ui.ComId = COMID_NOUPS;
        }
        ui.BattStatus = 0;
        ui.BuzzerCan = 0;
        ui.AutoTestCan = 0;
        if (model_begins(ui.upsmodel, "QA"))
            // A QA unit keeps its battery date in the configuration, not in the unit.
            ups_configbattdate(&ui.PreChangeBatt);
        blank = true;
    } else if (ui.CommStatus == COMM_LOST) {
        ui.BattStatus = 0;
        ui.BuzzerCan = 0;
        ui.AutoTestCan = 0;
        memset(&ui.PreChangeBatt, 0, offsetof(UPS_TIMEINFO, wReserver));
        ui.ComId = COMID_NONE;
        blank = true;
    }
    if (blank) {
        memset(&ui.upsdata, 0, sizeof ui.upsdata);
        memset(ui.upsmodel, 0, sizeof ui.upsmodel);
    }
    daemon_replyhead(ap, PK_UPSINFO, length);
    memcpy(daemon_data(), &ui, sizeof ui);
    return net_sendpacketout(ap);
}

// ---------------------------------------------------------------------------
// 17: the monitor's system and language

int daemon_recvsendosinfo(AGENT *ap)
{
    const uint32_t length = sizeof(UPS_PACKET_HEAD) + sizeof(PAOSINFO);
    if (request_length() < length)
        return -1;
    PAOSINFO os;
    memcpy(&os, daemon_data(), sizeof os);
    NETINFO *an = &ap->agnet;
    // A datagram's sender has no record to keep them in.
    if (an->cnc.sockfd != an->ufd) {
        int slot = daemon_findclient(an->cnc.sockfd);
        if (slot >= 0) {
            net_client_p[slot].os = os.os;
            net_client_p[slot].lang = os.lang;
        }
        an->cnc.os = os.os;
        an->cnc.lang = os.lang;
    }
    os.os = NET_OS_OWN;
    daemon_replyhead(ap, PK_OSINFO, length);
    memcpy(daemon_data(), &os, sizeof os);
    return net_sendpacketout(ap);
}

// ---------------------------------------------------------------------------
// 24, sub-command 6: nothing to read; the monitor closes its dialogue

int daemon_answernullcloseapp(AGENT *ap)
{
    daemon_replyhead(ap, PK_EMPTY, sizeof(UPS_PACKET_HEAD));
    return net_sendpacketout(ap);
}
