// The drill as a monitor of its agent: connected on TCP 4112 like a
// graphical monitor, it hears the texts the agent sends monitors (the
// countdown, "Time is up!", the restore) and puts them on the timeline.
#ifndef VOLTMIRA_TOOLS_FIREDRILL_MONITOR_H
#define VOLTMIRA_TOOLS_FIREDRILL_MONITOR_H

#include "timeline.h"
#include "voltmiratop/client.h"

namespace firedrill
{

struct Monitor {
    vtop::Connection conn;
    double last_ask = 0; // when the UPS information was last asked for
    bool broken = false; // the agent closed the connection (it went down)
};

// Connects to the agent at 127.0.0.1; call inside the sandbox's network
// namespace.  0, or -1 when the agent does not take the connection.
int monitor_open(Monitor *m);

// Takes what the agent sent; each text becomes an item.  Asks for the UPS
// information once a second, as every monitor does, to stay a live client.
// Returns the number of items added.
int monitor_poll(Monitor *m, Timeline *t);

} // namespace firedrill

#endif
