// Services shared by the agent and its manager: the cross-process lock made
// of a hard link in the installation directory, the test-and-set flag in the
// shared agent record that it guards, and the host's interface list.
#ifndef VOLTMIRA_AGENT_AGENT_UTILS_H
#define VOLTMIRA_AGENT_AGENT_UTILS_H

#include <ctime>
#include <net/if.h>

// Returns once the lock is held; never fails.  Not recursive: the holder
// must release before taking it again.  A lock left behind by a process that
// died holding it is broken once it is older than utils_lock.stale_after.
void utils_setatomlock(void);

// Gives the lock up.
void releaseatomlock(void);

// Under the lock: 0 when the shared record's flag was clear and is now set
// (or when no record is attached), -1 when it was already set.
int net_testandsetlock(void);

// Under the lock: clears the shared record's flag when a record is attached.
void net_clearlock(void);

// Lists the interfaces into ifc with SIOCGIFCONF on socket fd, growing the
// buffer until the kernel leaves part of it unfilled.  Returns the number of
// entries (the caller frees ifc->ifc_buf), or -1 with ifc_buf null and
// ifc_len 0.  ifc->ifc_buf must be null or a malloc'd buffer on entry.
int utils_findmultihome(int fd, struct ifconf *ifc);

// State of the lock.  The lock is held for a few reads and writes of the
// shared record, so a lock older than stale_after seconds was left by a dead
// holder.  now is the clock (seconds since the epoch, with fraction): tests
// move it instead of waiting.
struct utils_lockstate {
    double stale_after;
    double (*now)(void);
    unsigned long broken; // stale locks removed so far
};
extern utils_lockstate utils_lock;

// Puts the lock state back to its defaults.
void utils_lockinit(void);

#endif
