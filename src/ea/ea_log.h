// The engine's diagnostic sink.  It keeps nothing: the engine reports files
// it cannot open here, and nobody reads them.  Tests may watch it.
#ifndef VOLTMIRA_EA_EA_LOG_H
#define VOLTMIRA_EA_EA_LOG_H

// Takes a message (may be null) and discards it, after showing it to the
// observer if one is set.
void Ea_log(const char *msg);

// Sets (or with null clears) an observer of the sink, for tests.
void ea_log_setobserver(void (*observer)(const char *msg));

#endif
