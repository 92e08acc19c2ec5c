// Raising an event: it is remembered as one of the two latest and, as its
// settings say, logged, told to the users, mailed, given to its command and
// made the cause of a system shutdown.
#include "ea/ea_action.h"

#include "agent/strings.h"
#include "agent/sysclock.h"
#include "ea/e_a.h"
#include "ea/ea_events.h"
#include "ea/ea_history.h"
#include "ea/ea_notify.h"
#include "ea/ea_state.h"
#include "ea/ea_syslog.h"
#include "ea/ea_time.h"

#include <cstdlib>
#include <cstring>

namespace
{

// Events whose log record names someone, and the shutdown event whose
// record names the event that caused it.
enum {
    EV_SYSDOWN = 22,
    EV_CANCEL = 21,
    EV_USERDOWN = 79,
    EV_AGENTDOWN = 80,
    EV_NETDOWN = 134,
};

constexpr int no_cause = 255;

// The name fields of the commands need not be ended: each copy reads no more
// than its field (all of the notice's Agent fits the name).
static_assert(sizeof ea_st.monitorname <= EA_NAMELEN);
static_assert(sizeof(UPS_AGENTDOWNINFO::Agent) < sizeof ea_st.monitorname);

// The name an event's record carries, taking the commanding monitor's name
// from the command in progress; null for none.
const char *event_name(int eventid, const UPS_EIN_DATA *in)
{
    const AGENTCMD *acp = in->DATA.acp;
    switch (eventid) {
    case EV_CANCEL:
        if (acp != nullptr && acp->cmd == CMD_CANCELSHUTDOWN && acp->arg.hp != nullptr)
            wp_strlcpy(ea_st.monitorname, acp->arg.hp, sizeof ea_st.monitorname);
        return ea_st.monitorname;
    case EV_USERDOWN:
        if (acp != nullptr && acp->cmd == CMD_SHUTDOWN && acp->arg.adip != nullptr)
            wp_strlcpy(ea_st.monitorname, acp->arg.adip->Agent, sizeof acp->arg.adip->Agent + 1);
        return ea_st.monitorname;
    case EV_AGENTDOWN:
    case EV_NETDOWN:
        return ea_st.agentname;
    default:
        return nullptr;
    }
}

const UPS_EVENTINFO *find_settings(const UPS_EVENTINFO *eap, int eventid)
{
    for (int i = 0; i < EA_NEVENTROWS; i++) {
        if (eap[i].EventID == eventid)
            return &eap[i];
    }
    return nullptr;
}

// An event set to shut the system down starts an event shutdown, unless it
// is itself part of a shutdown or another shutdown already reached its
// deadline (a running one is never put off).
void event_shutdown(int eventid)
{
    if (eventid == EV_SYSDOWN || eventid == EV_USERDOWN || eventid == EV_AGENTDOWN ||
        ea_st.DOWNREACHED || ea_st.ISSHUTTINGDOWN)
        return;
    time_t now = sysclock_time();
    if (ea_st.next_off > ea_st.EVENTTRIGGER_off || ea_st.next_off == 0 || ea_st.ACFAIL_off > now ||
        ea_st.next_off > now) {
        ea_st.EVENTTRIGGER_off = now;
        ea_st.downreason = EVENT_TRIGGER;
        ea_st.next_off = now;
    }
}

} // namespace

int eventaction(int eventid, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    int errors = 0;
    int downid = eventid == EV_SYSDOWN ? ea_st.DOWNEVENTID : no_cause;
    const char *name = event_name(eventid, in);

    ea_st.last2event[0] = ea_st.last2event[1];
    if (!ea_st.eventshifted) {
        ea_st.last2event[0].EventId = 255;
        ea_st.eventshifted = 1;
    }
    if (updatelastevent(eventid, downid, name) < 0)
        errors++;

    // While the event settings are being read, the freshly read ones count.
    const UPS_EVENTINFO *eap = ea_st.CURRENTCMD == EA_GETEVENT ? out->DATA.eu.eap : in->DATA.eu.eap;
    if (eap == nullptr)
        return -1;
    const UPS_EVENTINFO *ev = find_settings(eap, eventid);
    if (ev == nullptr || EventMsg(eventid) == nullptr)
        return -1;

    // The system log is the administrator's view of the power events: every
    // event goes there whatever its Record setting, and before any program is
    // started, so the line is there even if a program hangs.  A lost line is
    // no failure of the event.
    ea_syslog_event(eventid, name);

    if (ev->Record && ea_st.EVENTLOGENABLED &&
        eventlog(eventid, static_cast<int>(out->DATA.upsconfigp->logparam.MaxEventRec), downid,
                 name) < 0)
        errors++;

    const UPS_USERSINFO *uip = ea_st.CURRENTCMD == EA_GETEVENT ? out->DATA.eu.uip : in->DATA.eu.uip;
    ea_notify(eventid, ev, uip);

    if (ev->Shutdown) {
        event_shutdown(eventid);
        ea_st.DOWNEVENTID = eventid;
    }
    return errors ? -1 : 0;
}

int ea_raise(int eventid, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    return eventaction(eventid, in, out) < 0 ? 1 : 0;
}
