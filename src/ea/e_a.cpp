// The engine's entry: every request of the daemon goes through Event_Action,
// which does the request's work and then always runs the tick.  Also the
// agent notices, and the message pair in which every text reaches the
// monitors.
#include "ea/e_a.h"

#include "agent/strings.h"
#include "ea/ea_action.h"
#include "ea/ea_check.h"
#include "ea/ea_tick.h"
#include "ea/ea_config.h"
#include "ea/ea_events.h"
#include "ea/ea_history.h"
#include "ea/ea_schlist.h"
#include "ea/ea_state.h"
#include "jconv/jconv.h"

#include <cstdarg>
#include <cstdio>
#include <libintl.h>

namespace
{

// Reply datatype after initialisation: everything the daemon loads at start.
constexpr unsigned init_datatype = E_UPSTAT | E_UPSCONFIG | E_SCHEDULE | E_EVENTACTION;

void set_datatype(UPS_EOUT_DATA *out, unsigned t)
{
    out->datatype = static_cast<E_DATATYPE>(t);
}

// Initialisation (request 1).  Ignored while the system is shutting down:
// a reload must not undo the running shutdown.
int do_init(UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    if (ea_st.ISSHUTTINGDOWN)
        return 0;
    set_datatype(out, init_datatype);
    return initial(in, out);
}

// The work of one request.  Returns the number of failed steps.
int do_request(int cmd, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    switch (cmd) {
    case EA_INIT:
        return do_init(in, out) < 0;
    case EA_GETCONFIG:
        set_datatype(out, E_UPSCONFIG);
        return getconfig(out) < 0;
    case EA_GETEVENT:
        set_datatype(out, E_EVENTACTION);
        return out->DATA.eu.eap == nullptr || getevent(out->DATA.eu.eap, in, out) < 0;
    case EA_GETSCHEDULE:
        set_datatype(out, E_SCHEDULE);
        ea_putschlist(out, getschlist());
        return 0;
    case EA_GETEVENTLOG:
        set_datatype(out, E_EVENTLOG);
        return in->DATA.range == nullptr || geteventlog(in->DATA.range, &out->eventlog) < 0;
    case EA_GETDATALOG:
        set_datatype(out, E_DATALOG);
        return in->DATA.range == nullptr || getdatalog(in->DATA.range, &out->datalog) < 0;
    // After a write the record is read back from the file; that read's
    // failure is not the write's.
    case EA_SETCONFIG: {
        set_datatype(out, E_NULLEVENT);
        int failed = setconfig(in, out) < 0;
        getconfig(out);
        return failed;
    }
    case EA_SETEVENT: {
        set_datatype(out, E_NULLEVENT);
        int failed = setevent(in, out) < 0;
        getevent(out->DATA.eu.eap, in, out);
        return failed;
    }
    // The stored schedule is read back whether or not the store succeeded:
    // what was written before a failure counts.
    case EA_SETSCHEDULE: {
        set_datatype(out, E_NULLEVENT);
        int failed = setschedule(in->DATA.schlist, in, out) < 0;
        ea_putschlist(out, getschlist());
        return failed;
    }
    case EA_DOCOMMAND: {
        int failed = docommand(in->DATA.acp, in, out) < 0;
        ea_st.beDoCmdDown = in->DATA.acp != nullptr && in->DATA.acp->cmd == CMD_SHUTDOWN;
        return failed;
    }
    case EA_CHECKUPS:
        return checkupsstatus(in, out) < 0;
    case EA_CHECKAGENT:
        // While the system shuts down only a stop asked for still counts:
        // it hastens the shutdown, nothing else may change it.
        if (ea_st.ISSHUTTINGDOWN &&
            (in->DATA.agentevent == nullptr || in->DATA.agentevent->id != AGEV_STOPASKED))
            return 0;
        return checkagent(in->DATA.agentevent, in, out) < 0;
    default:
        return 0;
    }
}

} // namespace

int Event_Action(int cmd, UPS_EIN_DATA *in, int *outcmd, UPS_EOUT_DATA *out)
{
    (void)outcmd;
    // Every request reads the live record and writes through the reply's
    // views; without them there is nothing the engine can do safely.
    if (in == nullptr || out == nullptr || in->DATA.upsinfop == nullptr ||
        in->DATA.upsconfigp == nullptr || out->DATA.upsinfop == nullptr ||
        out->DATA.upsconfigp == nullptr)
        return -1;
    ea_st.CURRENTCMD = cmd;
    ea_st.ISCOMLST = in->DATA.upsinfop->CommStatus == COMM_LOST;
    int errors = do_request(cmd, in, out);
    if (schedule(in, out) < 0)
        errors++;
    return errors ? -1 : 0;
}

// ---------------------------------------------------------------------------
// Messages to the monitors

int ea_sendtext(const char *text, unsigned lang)
{
    return ea_sendtext_kind(CB_MESSAGE, text, lang);
}

int ea_sendtext_kind(int kind, const char *text, unsigned lang)
{
    // The conversion wants room for twice the text; the converted text is
    // never longer than its source, so it fits msgbuffer1 again.
    char conv[2 * EA_MSGLEN + 1];
    if (JConvForDataOutToNetwork(text != nullptr ? text : "", conv, sizeof conv, 1) < 0)
        conv[0] = '\0';
    wp_strlcpy(ea_st.msgbuffer1, conv, sizeof ea_st.msgbuffer1);
    return ea_callback(kind, ea_st.msgbuffer1, lang, 0) != 0 ? -1 : 0;
}

int ea_sendpair(void)
{
    int r = ea_sendtext(ea_st.msgbuffer, 1);
    if (ea_sendtext(ea_st.msgbuffer2, 2) < 0)
        r = -1;
    return r;
}

namespace
{

void format_pair(const char *fmt, va_list ap)
{
    va_list ap2;
    va_copy(ap2, ap);
    vsnprintf(ea_st.msgbuffer, sizeof ea_st.msgbuffer, gettext(fmt), ap);
    vsnprintf(ea_st.msgbuffer2, sizeof ea_st.msgbuffer2, fmt, ap2);
    va_end(ap2);
}

} // namespace

void ea_msgformat(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    format_pair(fmt, ap);
    va_end(ap);
}

int ea_msgpair(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    format_pair(fmt, ap);
    va_end(ap);
    return ea_sendpair();
}
