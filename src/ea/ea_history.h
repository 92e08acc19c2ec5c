// The engine's two history files: the event log (one 44-character line per
// recorded event) and the data log (one 60-character line of measurements
// per sample), both capped to a number of lines by dropping the oldest; the
// readers that turn their lines back into records for the monitors; and the
// in-memory copy of the two latest events.
//
// Not to be confused with Ea_log (ea_log.h), the engine's diagnostic sink.
#ifndef VOLTMIRA_EA_EA_HISTORY_H
#define VOLTMIRA_EA_EA_HISTORY_H

#include "ea/daemon2event_api.h"

inline constexpr int EA_EVELINEWIDTH = 44;  // nominal event-log line, newline included
inline constexpr int EA_DATALINEWIDTH = 60; // nominal data-log line, newline included

// Appends one event line (now, id, cause eventID, computername cut to 15
// characters, null for none), then trims the log to linelimit lines.  0;
// -1 when the write or the trim failed.  A log that cannot be created or
// opened is skipped with 0.
int eventlog(int id, int linelimit, int eventID, const char *computername);

// Appends one data line of upsdata (not null) and trims to linelimit lines.
// An all-zero sample writes nothing.  Results as eventlog.
int datalog(const UPSDATA *upsdata, int linelimit);

// Keeps only the last `line` lines of file, counted as its size / width (a
// negative line keeps all); replaces the file atomically, keeping owner and
// mode.  0, or -1.
int lengthcheck(const char *file, int line, int width);

// Reads range->counts event lines from line range->firstline (0 = first)
// into a new array (the caller frees it).  0, or -1 with rnum 0 and no array.
int geteventlog(LOGRANGE *range, EVENTLOGARRAY *evelogarray);

// Reads range->counts data lines into a new array: with firstline 0 the
// newest ones, else those from line firstline on.  0, or -1 as geteventlog.
int getdatalog(LOGRANGE *range, DATALOGARRAY *dlogarray);

// Copies the two latest events (older first, 56 bytes) to lastevents,
// loading them from the event log once.  0, or -1 when the log can't be read.
int getlasttwoevents(UPS_EVENTLOGINFO *lastevents);

// Sets the newer entry of the two-event memory to id, downid, now and
// computername (cut to 15, null for none).  0, or -1 when the time is bad.
int updatelastevent(int id, int downid, const char *computername);

// Parses one event-log line into evelog; 0, or -1 when a field is missing
// (the fields that were found are still set).
int evelogtoinfo(const char *str, UPS_EVENTLOGINFO *evelog);

// Parses one data-log line into datalog; 0, or -1 as evelogtoinfo.
int datalogtoinfo(const char *str, UPS_DATALOGINFO *datalog);

// The next decimal field of line after the cursor (reset by the parsers),
// within lower..upper and, for last 1, ending the line (0: not ending it).
// Returns its text with a "-" when preceded by one, in a buffer of this
// module valid until the next call; null when there is none.
char *next_logfield(const char *line, int lower, int upper, int last);

// Forgets the cursor of next_logfield; ea_stateinit calls it.
void ea_history_init(void);

#endif
