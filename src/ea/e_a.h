// The engine's entry (Event_Action, daemon2event_api.h) and the work it
// does itself: monitor commands, agent notices, and the message pair that
// every text for the monitors travels as.
#ifndef VOLTMIRA_EA_E_A_H
#define VOLTMIRA_EA_E_A_H

#include "ea/daemon2event_api.h"

// Carries out one monitor command acp->cmd (CMD_*, ea_state.h); a text
// argument (arg.hp) is a terminated string.  0, or -1 when it failed, was
// refused, or the code is unknown.
int docommand(AGENTCMD *acp, UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

// Formats fmt translated into msgbuffer and in English into msgbuffer2,
// without sending.
void ea_msgformat(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Formats fmt translated into msgbuffer and in English into msgbuffer2, then
// sends both (ea_sendpair).  0, or -1 when a send failed.
int ea_msgpair(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Sends msgbuffer (language 1) then msgbuffer2 (language 2) to the
// monitors, each converted for the network.  0, or -1 when a send failed.
int ea_sendpair(void);

// Sends text once, converted for the network, with language lang.  0 or -1.
int ea_sendtext(const char *text, unsigned lang);

// The same with callback kind (CB_MESSAGE, or CB_NETDOWNMSG, after which the
// daemon tells the network that this host goes down).
int ea_sendtext_kind(int kind, const char *text, unsigned lang);

#endif
