// Power events in the system log: one English line per event, facility
// daemon, so that the service manager's journal shows them beside the
// agent's own event log.
//
// The line goes as one datagram to the system log's socket (/dev/log under
// the staged root), in the traditional format "<PRI>Mmm dd hh:mm:ss
// voltmirad[pid]: text".  A missing or refusing socket loses the line and
// nothing else: the event log stays the record.
#ifndef VOLTMIRA_EA_EA_SYSLOG_H
#define VOLTMIRA_EA_EA_SYSLOG_H

struct ea_syslog_state {
    int fd; // the datagram socket, -1 when not open
};

extern ea_syslog_state ea_syslog_st;

// Closes the socket; the next line opens it again.
void ea_syslog_fini(void);

// The priority (LOG_CRIT ... LOG_INFO) the line of event id is sent with:
// failures that lead to a shutdown rank above warnings, returns to normal
// are notices.
int ea_syslog_priority(int eventid);

// Sends the line of event id: its English catalogue text, and when name is
// neither null nor empty, " (name)" after it.  Returns 0 when sent, -1 when
// the event has no text or the send failed.
int ea_syslog_event(int eventid, const char *name);

#endif
