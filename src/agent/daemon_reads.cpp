// The monitors' reads (kind 24, sub-commands 1 to 5) that the engine
// answers: the event log, the data log, the schedule list, the event
// settings with the notification users, and the configuration.
//
// The engine may send messages while it works, and they go through the same
// packet buffer: each handler takes what it needs from the request first and
// puts the request's origin and header back before it answers.
#include "agent/daemon_engine.h"

#include "agent/agent_daemon.h"
#include "agent/agent_net.h"
#include "agent/net.h"

#include <cstdlib>
#include <cstring>

namespace
{

// A protector reads its whole event log at once.
constexpr int32_t protector_lines = 65536;

// The longest texts of a user entry that go to a monitor.
constexpr size_t user_text_max = 255;
constexpr size_t user_name_max = 20;

bool is_protector(const AGENT *ap)
{
    return ap->aip->ups.up.commparam.AgentType == AGTYPE_PROTECTOR;
}

UPS_COMMAND_PACKET request_of(void)
{
    UPS_COMMAND_PACKET cp;
    memset(&cp, 0, sizeof cp);
    if (daemon_head()->Length >= sizeof(UPS_PACKET_HEAD) + sizeof cp)
        memcpy(&cp, daemon_data(), sizeof cp);
    return cp;
}

// One engine request on the daemon's records, the request's origin and
// header kept across it.
int engine_read(AGENT *ap, int cmd, unsigned datatype, LOGRANGE *range)
{
    UPS_MSGBLOCK_HEAD saved;
    memcpy(&saved, Daemon_Buffer, sizeof saved);
    daemon_engineviews(ap, datatype);
    daemon_st.users.nusers = 0;
    daemon_st.users.udp = ap->us;
    ein.DATA.range = range;
    int r = daemon_callengine(cmd);
    ein.DATA.range = nullptr;
    memcpy(Daemon_Buffer, &saved, sizeof saved);
    return r;
}

int answer_empty(AGENT *ap, uint8_t kind)
{
    daemon_replyhead(ap, kind, sizeof(UPS_PACKET_HEAD));
    return net_sendpacketout(ap);
}

// An answer of n records of size bytes each; header only when they do not
// fit the largest buffer.
int answer_records(AGENT *ap, uint8_t kind, const void *recs, int32_t n, size_t size)
{
    size_t len = sizeof(UPS_PACKET_HEAD) + static_cast<size_t>(n) * size;
    if (recs == nullptr || n <= 0 || len > static_cast<size_t>(DAEMON_MAXBUF) ||
        daemon_reallocbuf(static_cast<int>(len)) < 0)
        return answer_empty(ap, kind);
    daemon_replyhead(ap, kind, static_cast<uint32_t>(len));
    memcpy(daemon_data(), recs, len - sizeof(UPS_PACKET_HEAD));
    return net_sendpacketout(ap);
}

// The records the engine returned, if it kept to what was asked.
int32_t records_returned(int32_t rnum, const void *array, int32_t asked)
{
    if (array == nullptr || rnum <= 0 || rnum > asked)
        return 0;
    return rnum;
}

// A log read: the lines of range that the engine's request cmd returns in
// the reply record's *rnum and *recs, answered as kind.  The engine's array
// is freed and the reply record left empty whatever the answer.
template <typename REC>
int answer_log(AGENT *ap, int cmd, unsigned datatype, uint8_t kind, LOGRANGE range, int32_t *rnum,
               REC **recs)
{
    *rnum = 0;
    *recs = nullptr;
    int r = engine_read(ap, cmd, datatype, &range);
    REC *got = *recs;
    int32_t n = r < 0 ? 0 : records_returned(*rnum, got, range.counts);
    *recs = nullptr;
    *rnum = 0;
    int sent = answer_records(ap, kind, got, n, sizeof *got);
    free(got);
    return sent;
}

void bump_month(UPS_TIMEINFO *t)
{
    if (t->month >= 0)
        t->month = static_cast<int8_t>(t->month + 1);
}

} // namespace

int daemon_geteventlog(AGENT *ap)
{
    bool prot = is_protector(ap);
    UPS_COMMAND_PACKET cp = request_of();
    LOGRANGE range = {cp.firstline, cp.linecounts};
    if (prot)
        range = {0, protector_lines};
    return answer_log(ap, EA_GETEVENTLOG, E_EVENTLOG, prot ? PK_PROTEVENTLOG : PK_EVENTLOG, range,
                      &eout.eventlog.rnum, &eout.eventlog.eventlogarray);
}

int daemon_getdatalog(AGENT *ap)
{
    if (is_protector(ap))
        return answer_empty(ap, PK_DATALOG);
    UPS_COMMAND_PACKET cp = request_of();
    LOGRANGE range = {cp.firstline, cp.linecounts};
    return answer_log(ap, EA_GETDATALOG, E_DATALOG, PK_DATALOG, range, &eout.datalog.rnum,
                      &eout.datalog.datalogarray);
}

int daemon_getschedule(AGENT *ap)
{
    if (is_protector(ap))
        return answer_empty(ap, PK_SCHEDULE);
    if (engine_read(ap, EA_GETSCHEDULE, E_SCHEDULE, nullptr) < 0 || eout.DATA.schlist == nullptr) {
        // A list built by a request that failed elsewhere is not kept.
        free(eout.DATA.schlist);
        eout.DATA.schlist = nullptr;
        return answer_empty(ap, PK_SCHEDULE);
    }
    // The engine's list is one block, like the one kind 80 stores.
    free(ap->sl);
    ap->sl = eout.DATA.schlist;
    eout.DATA.schlist = nullptr;
    size_t n = 0;
    for (const SCHEDULELIST *s = ap->sl; s != nullptr; s = s->next)
        n++;
    size_t len = sizeof(UPS_PACKET_HEAD) + n * sizeof(SCHEDULEINFO);
    if (len > static_cast<size_t>(DAEMON_MAXBUF) || daemon_reallocbuf(static_cast<int>(len)) < 0)
        return answer_empty(ap, PK_SCHEDULE);
    // Monitors of these kinds count months from 1.
    bool from1 = ap->agnet.cnc.os == 0 || ap->agnet.cnc.os == 1;
    SCHEDULEINFO *out = reinterpret_cast<SCHEDULEINFO *>(daemon_data());
    for (const SCHEDULELIST *s = ap->sl; s != nullptr; s = s->next, out++) {
        SCHEDULEINFO si = s->info;
        if (from1) {
            bump_month(&si.stimeInfo);
            bump_month(&si.etimeInfo);
        }
        memcpy(out, &si, sizeof si);
    }
    daemon_replyhead(ap, PK_SCHEDULE, static_cast<uint32_t>(len));
    return net_sendpacketout(ap);
}

int daemon_getevents(AGENT *ap)
{
    if (is_protector(ap) || engine_read(ap, EA_GETEVENT, E_EVENTACTION, nullptr) < 0)
        return answer_empty(ap, PK_EVENTSET);
    int32_t n = daemon_st.users.nusers;
    if (n < 0)
        n = 0;
    if (n > AGENT_NUSERS)
        n = AGENT_NUSERS;
    ap->nusers = n;
    size_t events = NET_EVENTSET_NEVENTS * sizeof(UPS_EVENTINFO);
    size_t len = sizeof(UPS_PACKET_HEAD) + events + static_cast<size_t>(n) * sizeof(USERSDATA);
    if (daemon_reallocbuf(static_cast<int>(len)) < 0)
        return answer_empty(ap, PK_EVENTSET);
    daemon_replyhead(ap, PK_EVENTSET, static_cast<uint32_t>(len));
    char *p = daemon_data();
    memcpy(p, ap->el, events);
    p += events;
    // The engine keeps its users in the agent's own code; the monitor gets
    // converted copies.
    for (int32_t i = 0; i < n; i++, p += sizeof(USERSDATA)) {
        const USERSDATA *u = &ap->us[i];
        USERSDATA w;
        memset(&w, 0, sizeof w);
        w.UserID = u->UserID;
        w.Reserved = u->Reserved;
        net_textout(w.UserName, user_name_max + 1, u->UserName, sizeof u->UserName, 1);
        net_textout(w.Address, user_text_max + 1, u->Address, user_text_max, 1);
        net_textout(w.Email, user_text_max + 1, u->Email, user_text_max, 1);
        memcpy(p, &w, sizeof w);
    }
    return net_sendpacketout(ap);
}

int daemon_getconfig(AGENT *ap)
{
    int kind = net_convkind(daemon_head()->Version);
    bool win110 = beMonitorWin110() != 0;
    if (is_protector(ap) || engine_read(ap, EA_GETCONFIG, E_UPSCONFIG, nullptr) < 0)
        return answer_empty(ap, PK_CONFIG);
    const uint32_t len = sizeof(UPS_PACKET_HEAD) + sizeof(UPS_PARAM);
    if (daemon_reallocbuf(len) < 0)
        return answer_empty(ap, PK_CONFIG);
    // The shared record keeps the agent's own code: announcements and the
    // UPS information answer read it too.  The monitor gets a converted copy.
    UPS_PARAM up = ap->aip->ups.up;
    UPS_COMMPARAM *c = &up.commparam;
    const UPS_COMMPARAM *src = &ap->aip->ups.up.commparam;
    net_textout(c->Agent, sizeof c->Agent, src->Agent, sizeof src->Agent, kind);
    net_textout(c->Group, sizeof c->Group, src->Group, sizeof src->Group, kind);
    net_textout(c->lpszAccount, sizeof c->lpszAccount, src->lpszAccount, sizeof src->lpszAccount,
                kind);
    net_textout(c->lpszDomain, sizeof c->lpszDomain, src->lpszDomain, sizeof src->lpszDomain, kind);
    if (win110)
        up.workparam.ComSet = static_cast<int32_t>(up.workparam.TurnOffDelay);
    daemon_replyhead(ap, PK_CONFIG, len);
    memcpy(daemon_data(), &up, sizeof up);
    return net_sendpacketout(ap);
}
