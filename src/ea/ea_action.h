// What the engine does when an event happens, and its periodic tick.
//
// An event is raised by its id (the catalogue of ea_events.h): its log record
// and the memory of the two latest events.  The tick runs at the end of every
// call of the engine's entry.
#ifndef VOLTMIRA_EA_EA_ACTION_H
#define VOLTMIRA_EA_EA_ACTION_H

#include "ea/daemon2event_api.h"

// Raises event eventid with the settings and users of in (of out while the
// request in progress is EA_GETEVENT).  0; -1 when the event has no
// settings or no catalogue text, or its log record or the two-event memory
// failed.
int eventaction(int eventid, UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

// The tick: the data log every DLOGINTERVAL seconds, and the time stamp and
// the two latest events published into out's UPS information.  0, or -1
// when the data log failed.
int schedule(UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

// A freshly built schedule list (the caller owns it), or null when there
// is none.  Schedules are not kept yet: always null.
SCHEDULELIST *getschlist(void);

#endif
