// What the drill watches while it plays: the test UPS's transcript (the
// commands the agent sent on the serial line), the stand-ins' record, the
// agent's event log and the notices on UDP ports 4113 and 4114.  Each new
// observation becomes a timeline item.
#ifndef VOLTMIRA_TOOLS_FIREDRILL_WATCH_H
#define VOLTMIRA_TOOLS_FIREDRILL_WATCH_H

#include "timeline.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace firedrill
{

struct Watch {
    std::string transcript, record, eventlog; // paths
    off_t transcript_at = 0, record_at = 0, eventlog_at = 0;
    std::string transcript_part, record_part, eventlog_part; // unfinished text
    int monitors = -1;                                       // UDP 4113 (made inside the sandbox)
    int agents = -1;                                         // UDP 4114
    long long call_ns = 0;                                   // the stand-in call being read
    std::string call_name, call_input;
    std::vector<std::string> call_args;
    bool shutdown_seen = false;
    bool restore_seen = false; // the agent logged the mains' return
    bool deadline_seen = false;
};

// Paths set, descriptors closed: a fresh watch.
void watch_init(Watch *w, const std::string &transcript, const std::string &record,
                const std::string &eventlog);
// Opens the two UDP ports; call inside the sandbox's network namespace.
// 0, or -1 when a port cannot be had.
int watch_open_ports(Watch *w);
// Skips what the files already hold (the start-up), so that the timeline
// begins with the failure.
void watch_skip_history(Watch *w);
// Reads what is new everywhere and adds it to t; returns the number of
// items added.
int watch_poll(Watch *w, Timeline *t);
// Closes the ports.
void watch_close(Watch *w);

// One event-log line ("dd/mm/yyyy hh:mm:ss id cause name") in words, or
// empty when it is no such line; id is set.
std::string event_line_text(const std::string &line, int *id);

} // namespace firedrill

#endif
