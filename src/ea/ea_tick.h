// The engine's tick, run at the end of every request: it chooses the
// governing shutdown instant among the pending ones, warns before it,
// starts a scheduled self-test, writes the data log, and begins the
// system's shutdown when the deadline is reached.
#ifndef VOLTMIRA_EA_EA_TICK_H
#define VOLTMIRA_EA_EA_TICK_H

#include "ea/daemon2event_api.h"

// One tick.  0, or -1 when an event, the data log, a time conversion or
// telling the UPS failed.
int schedule(UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

#endif
