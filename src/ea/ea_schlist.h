// Schedule settings: the shutdown and self-test entries of the configuration
// file read into the engine's schedule state (SCH_off, SCH_boot, next_test
// and the rest of ea_st) and into a list for monitors, and a monitor's list
// written back.
#ifndef VOLTMIRA_EA_EA_SCHLIST_H
#define VOLTMIRA_EA_EA_SCHLIST_H

#include "ea/daemon2event_api.h"

#include <ctime>

struct ea_schlist_state {
    int index_fetch;            // number of the special-day entry being read
    time_t index_for_fetch_on;  // end instant of the last entry read
    time_t index_for_fetch_off; // start instant of the last entry read
};
extern ea_schlist_state ea_schlist_st;

// Back to the state at daemon start.
void ea_schlist_init(void);

// Reads one entry: its start (and end) text under the keys start and end of
// section, appends a node after node (may be null), and makes it the running
// candidate *next_s/*next_e/*reason when it starts earliest.  duration: the
// key of a monthly shutdown's minutes, or null.  The new node (owned by the
// list), or null when the entry is missing, invalid or past.
SCHEDULELIST *fetch(SCHEDULELIST *node, int aid, int sid, const char *section, const char *start,
                    const char *end, const char *duration, time_t *next_s, time_t *next_e,
                    int *reason);

// Recomputes the engine's schedule state from the configuration (at most
// 100 entries of each kind and section are read) and returns the valid
// entries as one list in a single block (free releases it all; the caller
// owns it), or null when there are none.
SCHEDULELIST *getschlist(void);

// Stores a monitor's list (may be null: no entries) as the schedule
// sections; event 10 when every write succeeded.  0 or -1 (also, with
// nothing written, for more than 100 entries of one kind and action).
int setschedule(const SCHEDULELIST *schl, UPS_EIN_DATA *eindata, UPS_EOUT_DATA *eoutdata);

// Puts list into out's schedule list, freeing a list an earlier step of the
// same request left there.
void ea_putschlist(UPS_EOUT_DATA *out, SCHEDULELIST *list);

#endif
