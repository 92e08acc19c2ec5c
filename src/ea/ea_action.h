// What the engine does when an event happens: the event is raised by its id
// (the catalogue of ea_events.h) and carried out by its settings.
#ifndef VOLTMIRA_EA_EA_ACTION_H
#define VOLTMIRA_EA_EA_ACTION_H

#include "ea/daemon2event_api.h"

// Raises event eventid with the settings and users of in (of out while the
// request in progress is EA_GETEVENT): the two-event memory, the log record,
// the users' notification and the event's command (started, not waited
// for), and an event-triggered shutdown.  0; -1 when the event has no
// settings or no catalogue text, or its log record or the two-event memory
// failed.
int eventaction(int eventid, UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

// eventaction as a count of failures: 1 when it failed, else 0.
int ea_raise(int eventid, UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

#endif
