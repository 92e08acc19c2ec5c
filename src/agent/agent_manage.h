// The agent manager voltmiractl: starts the local agent, asks it to stop
// (and kills it when it does not), starts the graphical monitor, and offers
// the same in a small text menu.  It reaches the agent only through the
// agent's shared segment, whose request word it writes under the lock of
// agent_utils, and through the process table.
//
// Texts for the user come from the text domain "voltmiractl".  Operations
// return 0 on success and -1 on failure; the program leaves with these as
// its exit status (-1 as 255).  A few failures end the process at once with
// the error number as status, as administrators' scripts have always seen.
#ifndef VOLTMIRA_AGENT_AGENT_MANAGE_H
#define VOLTMIRA_AGENT_AGENT_MANAGE_H

#include <sys/types.h>

// The most process ids a list keeps.
inline constexpr int MANAGE_MAXPIDS = 30;

// The whole program once the system root is fixed: language, options, the
// check for another manager, and the chosen operation.  Returns the exit
// status (0 to 255).  Some paths end the process instead (see below).
int manage_main(int argc, char **argv);

// Chooses the language from the environment (Japanese or Chinese when the
// first of LANG, LC_ALL, LC_CTYPE, LANGUAGE and KDE_LANG that is set says
// so, else C), exports it for the programs started, and binds the text
// domain.  0, or -1 when the domain could not be bound (texts stay English).
int manage_setlang(void);

// Ids of the processes of this user whose command line contains name (see
// proclist.h), at most MANAGE_MAXPIDS of them, into pids; their number, or
// -1 when they cannot be listed.
int manage_getprocessidlist(const char *name, pid_t *pids);

// Attaches the agent's segment (never creates it) to agent.aip, looking its
// id up only when none is known yet.  0 attached, 1 there is no segment, -1
// the key cannot be made, the segment is too small to be the agent's, or it
// cannot be attached (also: the known segment is gone).
int manage_getsharememory(void);

// Detaches the segment when attached; the id stays known.
void manage_detachsharememory(void);

// Starts the agent unless it runs.  0 when it came up (or already ran), -1
// when it was not seen within 10 one-second checks.  A missing program ends
// the process with the error number as status, one that is not executable
// with 255, a failed fork with the error number.
int manage_startagent(void);

// Asks the running agent to stop through the segment and waits up to 20
// seconds for it; an agent that is still there then has its UPS channel
// process killed.  0, or -1 when there is no segment.
int manage_stopagent(void);

// Starts the monitor program and returns 0 at once; a missing or
// non-executable program or a failed fork ends the process as for the agent.
int manage_startmonitor(void);

// The menu on standard input and output until the user leaves (0), or -1
// when standard input is no terminal.
int manage_interactive(void);

// Ends the process with status 0, after telling how to stop the other one,
// when another manager runs.
void pre_voltmiractl(void);

// SIGKILL to every other manager process.
void stop_voltmiractl(void);

#endif
