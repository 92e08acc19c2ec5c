// The system's shutdown once its deadline is reached: the grace the agent
// type gives, the UPS told to switch off (and when to switch on again after
// a scheduled shutdown), the other agents told, and the operating system's
// shutdown started.  Also the clock of the mains-failure countdown.
#ifndef VOLTMIRA_EA_EA_SHUTDOWN_H
#define VOLTMIRA_EA_EA_SHUTDOWN_H

#include "ea/daemon2event_api.h"

// Called on every tick once the deadline is reached.  Waits (returns) until
// downpoint; then raises the shutdown events, asks the daemon to switch the
// UPS off and tell the other agents, and replaces the process with the
// system's shutdown command.  Returns when that command could not be
// started (tried again on the next tick), while the grace runs, or when the
// shutdown was abandoned: 0, or -1 when the UPS could not be told.
int shutdown_system(UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

// Minutes of grace shown to users: 1 for agent type 5, 2 for 6, else 0.
int getnetshutdowntime(UPS_EIN_DATA *in);

// The countdown's clock, on the monotonic clock so that a change of the
// wall clock cannot move the deadline: start arms it, getduration gives the
// whole seconds since (0 while the countdown is not running: just_fail),
// stop disarms it.
void starttimer(void);
long getduration(void);
void stoptimer(void);

#endif
