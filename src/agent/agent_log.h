// The debug log: internal diagnostics of both agent processes, never shown to
// users.  Callers put their own line ends into the text.
#ifndef VOLTMIRA_AGENT_AGENT_LOG_H
#define VOLTMIRA_AGENT_AGENT_LOG_H

// Appends msg (may be null: nothing is written) as it is.
void printf0(const char *msg);

// Appends a line of 31 dashes, msg, and the same line again.
void printf1(const char *msg);

// The writer behind both.  level has no effect.  Returns 0, or -1 when the
// message was lost (the log cannot be opened or written); callers ignore it.
int user_printf(const char *msg, int level);

#endif
