// The engine's look at the UPS and at the agents: every change of the UPS
// state becomes events, messages and changes of the pending shutdown, and
// notices about agents (settings changed, another agent's network shutdown,
// this agent's stop) are taken in.  No I/O of its own: everything goes
// through eventaction, the callback and the configuration store.
#ifndef VOLTMIRA_EA_EA_CHECK_H
#define VOLTMIRA_EA_EA_CHECK_H

#include "ea/daemon2event_api.h"

// Compares the UPS state of in (the record and the status word) with what
// the previous call saw and acts on every change; publishes the time stamp,
// the two latest events and the displayed shutdown times into out.  0, or
// -1 when an event action or a time conversion failed (the evaluation still
// runs to its end).
int checkupsstatus(UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

// A notice about an agent (AGEV_*).  0, or -1 when its work failed or
// agentevent is null.
int checkagent(AGENTEVENT *agentevent, UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

// The mains-failure countdown: start raises event 65 and sets ACFAIL_off
// EXPBLIFE seconds ahead, measured from then on by the monotonic clock;
// stop forgets it.  start returns eventaction's result.
int ea_acfail_start(UPS_EIN_DATA *in, UPS_EOUT_DATA *out);
void ea_acfail_stop(void);

#endif
