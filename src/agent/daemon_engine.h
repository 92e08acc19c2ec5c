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

// Hands the monitor command acp (cmd its packet kind, arg the member the
// command reads; what arg points at must live until the call returns) to
// the engine's request EA_DOCOMMAND; the engine's result.
int daemon_upscommand(AGENT *ap, const AGENTCMD *acp);

// The same for a shutdown request adip (may be null).
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

// Monitor commands handed to the engine (daemon_commands.cpp).  Each checks
// the request's Length (and the UPS model where the UPS cannot do it); a
// refused request changes nothing and is answered by nothing.  0 done, -1
// refused or failed.
int daemon_cancelshutdown(AGENT *ap); // 19, the canceller's name
int daemon_selftest(AGENT *ap);       // 20, its length
int daemon_docmd(AGENT *ap);          // 21, 22, 25, 26, 28, 29, 32, 33, 35
int daemon_getbattime(AGENT *ap);     // 30, answered by 31 (nothing on failure)
int daemon_setbattime(AGENT *ap);     // 31
int daemon_setupsmodelvl(AGENT *ap);  // 34, the output detection level 0..4
int daemon_prot2agent(AGENT *ap);     // 192, a protector's report

// Settings written through the engine, and the protector's requests
// (daemon_settings.cpp).  Same rules as the commands.
int daemon_scheduleset(AGENT *ap);    // 80
int daemon_eventset(AGENT *ap);       // 81
int daemon_configset(AGENT *ap);      // 82
int daemon_setprotector(AGENT *ap);   // 194
int daemon_getprotector(AGENT *ap);   // 195, answered by 194
int daemon_getprteventlog(AGENT *ap); // 197, the event-log read

#endif
