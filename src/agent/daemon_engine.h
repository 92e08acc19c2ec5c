// The daemon's side of the event engine: what the engine asks of the daemon
// through Event_CallBack (daemon2event_api.h), and the monitors' reads that
// the engine answers.
#ifndef VOLTMIRA_AGENT_DAEMON_ENGINE_H
#define VOLTMIRA_AGENT_DAEMON_ENGINE_H

#include "agent/agent.h"

// Installs Event_CallBack as the engine's way to the daemon.
void daemon_engine_install(void);

// Builds a message packet (kind 79) of msg (null: header only) in the
// buffer and sends it to the connected monitors of language lang.  0 or -1.
int daemon_sendmsg(AGENT *ap, const char *msg, int lang);

// Read requests of kind 24 (sub-commands 1 to 5), answered by the engine:
// event log, data log, schedule list, event settings, configuration.  Each
// answers the current client; an engine failure gives a header-only answer.
// Return the send's result, -1 when nothing could be sent.
int daemon_geteventlog(AGENT *ap);
int daemon_getdatalog(AGENT *ap);
int daemon_getschedule(AGENT *ap);
int daemon_getevents(AGENT *ap);
int daemon_getconfig(AGENT *ap);

#endif
