// Schedule texts: the crontab-like notation in which the configuration keeps
// schedule entries, the search for the next instant a weekly or monthly text
// comes due, the instant of a special day, the conversion between texts and
// the 8-byte time records monitors send, and the length of a shutdown.
// Every reading of "now" goes through the clock seam; all times are local.
#ifndef VOLTMIRA_EA_EA_SCHED_H
#define VOLTMIRA_EA_EA_SCHED_H

#include "agent/agent.h"

#include <cstddef>
#include <ctime>

// Entry kinds (SCHEDULEINFO.ID) and actions (SCHEDULEINFO.ActionID).
enum { SCH_SPECIAL = 1, SCH_WEEKLY = 2, SCH_MONTHLY = 3 };
enum { SCH_ACT_SHUTDOWN = 0, SCH_ACT_TEST = 1 };

// The cursor next_field reads from; every caller points it at its text
// before the first field (or leaves it null: then the first call starts at
// its line) and clears it when done.
struct ea_sched_state {
    const char *cursor;
    char infobuf[64]; // infototime's text
};
extern ea_sched_state ea_sched_st;

// Back to the state at daemon start.
void ea_sched_init(void);

// The next field of the text at the cursor, each number within
// lower..upper; last: the field is one item and must end the text.  A new
// copy (the caller frees it with free), or null at the end of the text or for
// an invalid field.
char *next_field(const char *line, int lower, int upper, int last);

// current when the field list (a field as next_field returns it) covers
// it, else the smallest listed number above it, else the smallest listed.
int next_ge(int current, const char *list);

// The decimal number at *ptr; *ptr is moved past its digits.
int num(const char **ptr);

// Days of month m (0..11) of year y (years since 1900, as tm_year), by the
// Gregorian rule.
int days_in_mon(int m, int y);

// Next instant (second 0 of a minute after the current one) that a weekly
// or monthly text matches on the local clock (a wall time the clock skips
// never matches; one it shows twice matches first at its earlier showing);
// 0 for an invalid text or one not due within eight years.
time_t autod(const char *str);

// Instant of a special-day text when it lies in the future, else 0 (also
// for an invalid text, a date the calendar does not have, or one the system
// cannot represent).
time_t specialdayautod(const char *str);

// Reads the text of entry kind id into *time.  0, or 1 for an invalid text
// (time untouched).
int timetoinfo(const char *str, UPS_TIMEINFO *time, int id);

// The text of *time for entry kind id, in a buffer of this module valid
// until the next call.
char *infototime(const UPS_TIMEINFO *time, int id);

// New memory of size bytes (free releases it); null for size 0 or when
// memory is exhausted ("Not enough memory" is logged).
void *xmalloc(size_t size);

// Minutes from the start record to the end record of a weekly or monthly
// schedule (sch_type) in the current week or month, a week or 31 days added
// when the end is not after the start; for action 1 (a self-test) always 10.
// Also stored at *dp (may be null).  -1 (*dp untouched) for another kind or
// a time that cannot be represented.
int time2duration(const UPS_TIMEINFO *stp, const UPS_TIMEINFO *etp, long *dp, int sch_type,
                  int action);

#endif
