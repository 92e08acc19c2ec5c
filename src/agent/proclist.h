// Finding processes by name, read straight from /proc.
//
// The programs used to ask a shell for "ps xf | grep -v grep | grep NAME"
// into a work file in /tmp with a name anyone could predict.  They run as
// root, so any user could plant a link there and have the file it points to
// truncated; and NAME reached the shell.  Reading /proc needs neither a
// shell nor a file of our own, and gives the same counts on the same host:
//
// A process matches NAME when, as ps shows it, it belongs to the caller
// ("ps x": the same effective user, with or without a terminal), its command
// line contains NAME and does not contain "grep" (the pipeline dropped every
// such line, its own greps and anyone grepping for NAME alike).  The command
// line is the arguments joined by blanks, or "[comm]" for a process without
// arguments, as ps shows it.
//
// Two deliberate differences, both about processes that are not really
// there for the caller:
//   - a zombie (ended, not yet reaped) is not counted: it can no longer act,
//     and counting it would keep a caller waiting for an end that came;
//   - only processes of the caller's IPC namespace are counted.  The agent
//     a manager can talk to lives in that namespace (the shared segment is
//     there); an agent in a container that shares the process table is
//     another host's agent.  A normal host has one IPC namespace.
// Only the command is matched, not the other columns of a ps line (process
// id, terminal, state, time), which could only match by accident.
// The caller's own process counts when its own command line contains NAME.
#ifndef VOLTMIRA_AGENT_PROCLIST_H
#define VOLTMIRA_AGENT_PROCLIST_H

#include <sys/types.h>

// The longest NAME looked for; longer ones are refused.
inline constexpr int PROC_NAME_MAX = 64;

// Stores the ids of matching processes, in ascending order, into pids (at
// most max of them); returns the number stored, or -1 when name is null,
// empty or longer than PROC_NAME_MAX, max is negative, or /proc cannot be
// read, or when pids is null with max above 0.
int proc_list(const char *name, pid_t *pids, int max);

// The number of matching processes (not capped), or -1 as proc_list.
int proc_count(const char *name);

// Whether process pid matches name: 1 yes, 0 no (also when it does not
// exist), -1 for a name proc_list would refuse.
int proc_matches(pid_t pid, const char *name);

#endif
