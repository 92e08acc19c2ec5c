// Power events in the system log: one English line per event, facility
// daemon, so that the service manager's journal shows them beside the
// agent's own event log.
//
// The line goes as one datagram to the system log's socket (/dev/log under
// the staged root), in the traditional format "<PRI>Mmm dd hh:mm:ss
// voltmirad[pid]: text", with the time of the engine's clock in local time.
// The socket is never waited for: a missing, refusing or full socket loses
// the line and nothing else, and the event log stays the record.
#ifndef VOLTMIRA_EA_EA_SYSLOG_H
#define VOLTMIRA_EA_EA_SYSLOG_H

#include <cstddef>

// Most bytes of a line's text (the part after "voltmirad[pid]: ").
inline constexpr size_t EA_SYSLOG_TEXTMAX = 480;

struct ea_syslog_state {
    int fd; // the datagram socket, -1 when not open
};

extern ea_syslog_state ea_syslog_st;

// Closes the socket; the next line opens it again.  ea_stateinit calls it.
void ea_syslog_fini(void);

// The severity (LOG_ALERT ... LOG_INFO) the line of event id is sent with:
// a shutdown for want of power ranks highest, then the failures that put
// the host at risk, then failed tests, then planned shutdowns and warnings;
// returns to normal are notices, everything else information.
int ea_syslog_priority(int eventid);

// Sends the line of event id: its English catalogue text, with name (cut,
// control and non-ASCII bytes made '?') put in place of the text's "%s", or
// when the text has none and name is neither null nor empty, " (name)"
// after it.  Returns 0 when sent, -1 when the event has no text or the line
// could not be sent at once.
int ea_syslog_event(int eventid, const char *name);

#endif
