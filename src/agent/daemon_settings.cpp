// Settings a monitor writes through the engine: the schedule list, the
// event settings with their notification users, and the configuration; and
// the requests of a protector (a host another agent protects): its agent's
// name, set and read, and its event log.
//
// Every length is checked before a byte of the data is read, every name is
// copied bounded by its field whether the sender ended it or not, and a
// refused request leaves the agent's records as they were.
#include "agent/daemon_engine.h"

#include "agent/agent_daemon.h"
#include "agent/agent_net.h"
#include "agent/net.h"
#include "agent/strings.h"

#include <cstdlib>
#include <cstring>

namespace
{

constexpr uint32_t head_len = sizeof(UPS_PACKET_HEAD);

// The event records that travel in an event-settings packet.
constexpr uint32_t eventset_events = NET_EVENTSET_NEVENTS * sizeof(UPS_EVENTINFO);
constexpr uint32_t eventset_min = head_len + eventset_events;

// The longest texts of a user entry the agent keeps from a monitor.
constexpr size_t user_text_max = 255;
constexpr size_t user_name_max = 20;

// Users' names and addresses cross the network in Shift_JIS when they are
// Japanese, whatever the monitor's version.
constexpr int user_convkind = 1;

static_assert(eventset_min == 13356);
static_assert(sizeof(SCHEDULEINFO) == 20 && sizeof(USERSDATA) == 543);

bool is_protector(const AGENT *ap)
{
    return ap->aip->ups.up.commparam.AgentType == AGTYPE_PROTECTOR;
}

uint32_t request_length(void)
{
    return daemon_head()->Length;
}

// Months as monitors of system kinds 0 and 1 count them (from 1) back to
// the agent's (from 0); 0 and the "every month" marks stay.
void month_in(UPS_TIMEINFO *t)
{
    if (t->month > 0)
        t->month = static_cast<int8_t>(t->month - 1);
}

// One user entry of a monitor into the agent's record, its texts converted
// to the agent's code.
void user_in(USERSDATA *dst, const char *src)
{
    USERSDATA u;
    memcpy(&u, src, sizeof u);
    memset(dst, 0, sizeof *dst);
    dst->UserID = u.UserID;
    dst->Reserved = u.Reserved;
    net_textin(dst->UserName, user_name_max + 1, u.UserName, sizeof u.UserName, user_convkind);
    net_textin(dst->Address, user_text_max + 1, u.Address, user_text_max, user_convkind);
    net_textin(dst->Email, user_text_max + 1, u.Email, user_text_max, user_convkind);
}

void user_clear(USERSDATA *u)
{
    memset(u, 0, sizeof *u);
    u->UserID = USERID_UNUSED;
}

// A name field of the configuration converted in place.
template <size_t N> void field_in(char (&field)[N], int kind)
{
    char conv[N];
    net_textin(conv, sizeof conv, field, sizeof field, kind);
    memcpy(field, conv, sizeof field);
}

} // namespace

// ---------------------------------------------------------------------------
// 80: the schedule list

int daemon_scheduleset(AGENT *ap)
{
    uint32_t length = request_length();
    if (is_protector(ap) || length < head_len || (length - head_len) % sizeof(SCHEDULEINFO) != 0 ||
        length > static_cast<uint32_t>(Daemon_NetBufLen))
        return -1;
    size_t n = (length - head_len) / sizeof(SCHEDULEINFO);
    SCHEDULELIST *list = nullptr;
    if (n > 0) {
        // One block, like the list the engine builds: one free releases it.
        list = static_cast<SCHEDULELIST *>(calloc(n, sizeof *list));
        if (list == nullptr)
            return -1;
    }
    bool from1 = ap->agnet.cnc.os == 0 || ap->agnet.cnc.os == 1;
    const char *p = daemon_data();
    for (size_t i = 0; i < n; i++, p += sizeof(SCHEDULEINFO)) {
        list[i].next = i + 1 < n ? &list[i + 1] : nullptr;
        memcpy(&list[i].info, p, sizeof list[i].info);
        if (from1) {
            month_in(&list[i].info.stimeInfo);
            month_in(&list[i].info.etimeInfo);
        }
    }
    free(ap->sl);
    ap->sl = list;
    daemon_engineviews(ap, E_SCHEDULE);
    ein.DATA.schlist = ap->sl;
    // The list the engine reads back is freed with the call; the agent keeps
    // the one it was sent until the next read replaces it.
    int r = daemon_callengine(EA_SETSCHEDULE);
    ein.DATA.schlist = nullptr;
    return r < 0 ? -1 : 0;
}

// ---------------------------------------------------------------------------
// 81: the event settings and the users they notify

int daemon_eventset(AGENT *ap)
{
    uint32_t length = request_length();
    if (is_protector(ap) || length < eventset_min ||
        (length - eventset_min) % sizeof(USERSDATA) != 0)
        return -1;
    // The agent has room for so many users and no more.
    uint32_t n = (length - eventset_min) / sizeof(USERSDATA);
    if (n > static_cast<uint32_t>(AGENT_NUSERS))
        return -1;
    const char *p = daemon_data();
    memcpy(ap->el, p, eventset_events);
    p += eventset_events;
    for (uint32_t i = 0; i < n; i++, p += sizeof(USERSDATA))
        user_in(&ap->us[i], p);
    for (int i = static_cast<int>(n); i < AGENT_NUSERS; i++)
        user_clear(&ap->us[i]);
    ap->nusers = static_cast<int32_t>(n);
    daemon_engineviews(ap, E_EVENTACTION);
    daemon_st.users.nusers = static_cast<int32_t>(n);
    daemon_st.users.udp = ap->us;
    return daemon_callengine(EA_SETEVENT) < 0 ? -1 : 0;
}

// ---------------------------------------------------------------------------
// 82: the configuration

int daemon_configset(AGENT *ap)
{
    if (is_protector(ap) || request_length() != head_len + sizeof(UPS_PARAM))
        return -1;
    int kind = net_convkind(daemon_head()->Version);
    UPS_PARAM *up = &ap->aip->ups.up;
    // The agent's name is its own, not a monitor's to change: it is kept
    // exactly as it is, whatever the request carries in its place.
    char name[sizeof up->commparam.Agent];
    memcpy(name, up->commparam.Agent, sizeof name);
    memcpy(up, daemon_data(), sizeof *up);
    memcpy(up->commparam.Agent, name, sizeof name);
    field_in(up->commparam.Group, kind);
    field_in(up->commparam.lpszAccount, kind);
    field_in(up->commparam.lpszDomain, kind);
    daemon_engineviews(ap, E_UPSCONFIG);
    return daemon_callengine(EA_SETCONFIG) < 0 ? -1 : 0;
}

// ---------------------------------------------------------------------------
// 194, 195, 197: a protector's requests

int daemon_setprotector(AGENT *ap)
{
    if (!is_protector(ap) || request_length() != head_len + sizeof(PROTECTORCFG))
        return -1;
    PROTECTORCFG cfg;
    memcpy(&cfg, daemon_data(), sizeof cfg);
    UPS_COMMPARAM *cp = &ap->aip->ups.up.commparam;
    char name[sizeof cfg.lpszAgentName + 1];
    wp_strlcpy(name, cfg.lpszAgentName, sizeof name);
    memset(cp->Agent, 0, sizeof cp->Agent);
    wp_strlcpy(cp->Agent, name, sizeof cp->Agent);
    daemon_engineviews(ap, E_UPSCONFIG);
    return daemon_callengine(EA_SETCONFIG) < 0 ? -1 : 0;
}

int daemon_getprotector(AGENT *ap)
{
    const uint32_t len = head_len + sizeof(PROTECTORCFG);
    if (daemon_reallocbuf(len) < 0)
        return -1;
    UPS_MSGBLOCK_HEAD saved;
    memcpy(&saved, Daemon_Buffer, sizeof saved);
    int r = -1;
    if (is_protector(ap)) {
        daemon_engineviews(ap, E_UPSCONFIG);
        r = daemon_callengine(EA_GETCONFIG);
    }
    memcpy(Daemon_Buffer, &saved, sizeof saved);
    if (r < 0) {
        daemon_replyhead(ap, PK_PROTCFG, head_len);
        return net_sendpacketout(ap);
    }
    // Nothing of this host's delay is kept: the word goes out as 0, not as
    // whatever the buffer held.
    PROTECTORCFG cfg;
    memset(&cfg, 0, sizeof cfg);
    const UPS_COMMPARAM *cp = &ap->aip->ups.up.commparam;
    wp_strlcpy(cfg.lpszAgentName, cp->Agent, sizeof cfg.lpszAgentName);
    daemon_replyhead(ap, PK_PROTCFG, len);
    memcpy(daemon_data(), &cfg, sizeof cfg);
    return net_sendpacketout(ap);
}

int daemon_getprteventlog(AGENT *ap)
{
    return daemon_geteventlog(ap);
}
