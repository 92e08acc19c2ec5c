// The daemon's side of the event engine: the request and reply records it
// hands the engine, the calls of the engine, what the engine asks of the
// daemon through Event_CallBack (daemon2event_api.h), and the monitors'
// reads that the engine answers (daemon_reads.cpp).
#ifndef VOLTMIRA_AGENT_DAEMON_ENGINE_H
#define VOLTMIRA_AGENT_DAEMON_ENGINE_H

#include "agent/agent.h"
#include "ea/daemon2event_api.h"

// The engine's parameters, kept for the life of the process.
extern UPS_EIN_DATA ein;
extern UPS_EOUT_DATA eout;
extern int ein_cmd;
extern int eout_cmd;

// Installs Event_CallBack as the engine's way to the daemon.
void daemon_engine_install(void);

// Points ein and eout at the daemon's memory (the live record and the UPS
// status word beside it, the parameters, the event settings and users) for
// one request of the given E_DATATYPE bits; no schedule list, any other
// field as it was.
void daemon_engineviews(AGENT *ap, unsigned datatype);

// Calls the engine with request cmd on ein and eout; the engine's result.
int daemon_callengine(int cmd);

// Tells the engine of an agent event (AGEV_*) through its request
// EA_CHECKAGENT on the daemon's records, with the shutdown notice adip (may
// be null; must live until the call returns); the engine's result.
int daemon_agentevent(AGENT *ap, int32_t id, UPS_AGENTDOWNINFO *adip = nullptr);

// Hands the monitor command cmd (its packet kind) to the engine's request
// EA_DOCOMMAND, with the shutdown request adip as its argument (may be
// null); the engine's result.
int daemon_upscommand(AGENT *ap, int32_t cmd, UPS_AGENTDOWNINFO *adip);

// 18: a shutdown request, from a monitor's connection (a user shutdown) or
// by datagram from another agent of the group (followed when this agent's
// type and settings say so).  0 done or ignored, -1 refused.
int daemon_shutdownups(AGENT *ap);

// Reports the agent's stop to the engine; its result, -1 when the agent has
// no shared record.
int daemon_logagentstop(void);

// Builds a message packet (kind 79) of msg (null: header only) in the
// buffer and sends it to the connected monitors of language lang.  0 or -1.
int daemon_sendmsg(AGENT *ap, const char *msg, int lang);

// Broadcasts this agent's announcement to the monitors (port 4113): a
// protector's record for agent types 0 and 1, else the agent's record with
// unconverted names.  The send's result; -1 when the node name cannot be had.
int daemon_announce(AGENT *ap);

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
