// Start-up of the agent program: it detaches from the terminal, opens its
// network endpoints, creates the shared segment and the pipes, and forks
// into the UPS channel process (child) and the daemon process (parent).
#ifndef VOLTMIRA_AGENT_AGENT_MAIN_H
#define VOLTMIRA_AGENT_AGENT_MAIN_H

#include "agent/agent.h"

#include <net/if.h>

// The whole program; takes no options.  Returns 1 when the system root is
// refused, -1 when start-up fails; the daemon process never returns (it
// leaves through net_netexit).
int agent_main(int argc, char **argv);

// Detaches from the terminal (unless started by init): working directory
// the installation directory, standard output and error on the console.
// 0 or -1.
int daemon_start(void);

// The UDP socket on port, all addresses, broadcasting allowed.  0 or -1;
// exits the program with status 1 when broadcasting cannot be allowed.
int init_uport(NETINFO *agnetp, int port);

// One listening TCP socket on port for each interface address.  0, or -1
// with none left listening.
int init_tport(NETINFO *agnetp, int port);

// Opens, binds and listens on the address of ifr, appending it to the list
// (where it stays on failure, for the caller to free).  0 or -1.
int init_bindaddress(NETINFO *agnetp, struct ifreq *ifr, int port);

// Closes and frees every listening socket.
void init_freeservlist(NETINFO *agnetp);

// Creates the shared segment under ap->key, private to this user (0600),
// attaches it to ap->aip and clears it.  A segment already under the key is
// taken over only when this user made and owns it, it is private and of the
// record's size; any other is removed first.  0 or -1 (ap->shmid -1).
int init_segment(AGENT *ap);

// Leaves only the language, time-zone, system-root and sanitizer variables
// in the environment and sets PATH to "/usr/sbin:/usr/bin:/sbin:/bin" (a
// staged system's own four directories before them).  0 or -1.
int init_environment(void);

// Opens the self-pipe and installs sigchild for SIGCHLD.  0 or -1.
int init_sigchild(void);

// SIGCHLD: reaps the dead children; the death of the UPS channel process is
// written on the self-pipe for the loop, which then leaves.
void sigchild(int signum);

#endif
