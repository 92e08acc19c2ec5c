// Services shared by the agent and its manager: the cross-process lock made
// of a hard link in the installation directory, the test-and-set flag in the
// shared agent record that it guards, the lock that the agent and the
// configuration helper take around a rewrite of the configuration file, and
// the host's interface list.
#ifndef VOLTMIRA_AGENT_AGENT_UTILS_H
#define VOLTMIRA_AGENT_AGENT_UTILS_H

#include <ctime>
#include <net/if.h>

// Takes the lock: 0 once held.  Not recursive: the holder must release
// before taking it again.  A lock left behind by a process that died holding
// it is broken once it is older than utils_lock.stale_after.  -1 when the
// files of the lock cannot be made or linked (no right to, for one) for
// utils_lock.giveup_after seconds since the last time the lock was taken.
int utils_setatomlock(void);

// Gives the lock up.
void releaseatomlock(void);

// Under the lock: 0 when the shared record's flag was clear and is now set
// (or when no record is attached), -1 when it was already set or the lock
// could not be taken.
int net_testandsetlock(void);

// Clears the shared record's flag when a record is attached: under the lock,
// or without it when the lock cannot be taken (the caller holds the flag).
void net_clearlock(void);

// Takes the configuration lock, which serialises every rewrite of the
// configuration file: a root-only file in the installation directory,
// locked without waiting and tried again for utils_lock.cfg_wait seconds.
// Returns the descriptor that holds it (closing it releases the lock), or
// -1 when it is busy for that long or cannot be opened.
int utils_cfglock(void);

// Lists the interfaces into ifc with SIOCGIFCONF on socket fd, growing the
// buffer until the kernel leaves part of it unfilled.  Returns the number of
// entries (the caller frees ifc->ifc_buf), or -1 with ifc_buf null and
// ifc_len 0.  ifc->ifc_buf must be null or a malloc'd buffer on entry.
int utils_findmultihome(int fd, struct ifconf *ifc);

// State of the locks.  The link lock is held for a few reads and writes of
// the shared record, so a lock older than stale_after seconds was left by a
// dead holder.  now is the clock (seconds since the epoch, with fraction)
// that dates it: tests move it instead of waiting.  The bounded waits run
// on the monotonic clock; tests shorten them instead.
struct utils_lockstate {
    double stale_after;
    double giveup_after;  // how long the link lock's own failures are retried
    double cfg_wait;      // how long a busy configuration lock is retried
    double (*now)(void);  // wall clock
    double failing_since; // monotonic time of the first failure since the last take; < 0 none
    unsigned long broken; // stale locks removed so far
};
extern utils_lockstate utils_lock;

// Puts the lock state back to its defaults.
void utils_lockinit(void);

#endif
