// The engine's one state record, its start values and the way to the daemon.
#include "ea/ea_state.h"

#include "ea/ea_history.h"
#include "ea/ea_sched.h"
#include "ea/ea_schlist.h"
#include "ea/ea_syslog.h"

#include <cstring>

namespace
{

ea_state defaults(ea_callback_fn callback)
{
    ea_state s;
    // Every instant, flag and counter not named below starts at zero, and
    // every name and message buffer empty.
    memset(&s, 0, sizeof s);
    s.downreason = NONE;
    s.testreason = NONE;
    s.schdownreason = NONE;
    s.schtestreason = NONE;
    s.shutdowneventid = 255;
    s.DOWNEVENTID = 255;
    s.EVENTLOGENABLED = 1;
    s.CLOSEAPPTIME = 300;
    s.reboot_old = -1;
    s.lastdownreason = NONE;
    s.lastlastdownreason = NONE;
    s.scheinterval = 300;
    // No event yet: the first one shifts an empty entry into the older place.
    for (UPS_EVENTLOGINFO &e : s.last2event) {
        e.EventId = 255;
        e.byDownToEvt = -1;
    }
    s.callback = callback;
    return s;
}

} // namespace

// The daemon starts with the start values, as a test does after
// ea_stateinit().
ea_state ea_st = defaults(nullptr);

void ea_stateinit(void)
{
    ea_st = defaults(ea_st.callback);
    ea_history_init();
    ea_sched_init();
    ea_schlist_init();
    ea_syslog_fini();
}

void ea_setcallback(ea_callback_fn fn)
{
    ea_st.callback = fn;
}

int ea_callback(int cmd, char *msg, unsigned arg1, unsigned arg2)
{
    if (ea_st.callback == nullptr)
        return -1;
    return ea_st.callback(cmd, msg, arg1, arg2);
}
