// The few settings of a configuration file that decide how a mains failure
// plays out, read the way the agent reads them (first section and first key
// win, missing keys take the agent's defaults).
#ifndef VOLTMIRA_TOOLS_FIREDRILL_SETTINGS_H
#define VOLTMIRA_TOOLS_FIREDRILL_SETTINGS_H

#include <cstddef>

namespace firedrill
{

struct Settings {
    int battlife = 60;      // EXPECTBLIFE: seconds on battery before the deadline
    int firstwarn = 30;     // FIRSTWARN: warnings start this long after the failure
    int interval = 30;      // INTERVAL: between warnings
    int turnoffdelay = 600; // TurnOffDelay: the UPS switches off this long after the command
    int agenttype = 4;      // AgentType: 1 protector, 4/5/6 with grace 0/60/120
    int ignore = 1;         // IgnoreOtherAgentDown: also skips the grace wait
    int comset = 0;         // ComSet as written
    int port = 0;           // the serial port the agent will open: ttyS<port>
    char group[16] = "Group A";
};

// Reads path into *out.  Returns 0, or -1 with a sentence in err when the
// file cannot be read or names no UPS to drill with.
int settings_read(const char *path, Settings *out, char *err, size_t errlen);

// Seconds between the deadline and the system's shutdown.
int settings_grace(const Settings *s);

// How long a drill may run before the agent is taken to have failed.
int settings_timeout(const Settings *s);

} // namespace firedrill

#endif
