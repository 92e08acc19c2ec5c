// The drill itself: stage the sandbox, start the test UPS and the agent,
// pull the mains, watch, and tell what happened.
#ifndef VOLTMIRA_TOOLS_FIREDRILL_DRILL_H
#define VOLTMIRA_TOOLS_FIREDRILL_DRILL_H

#include "options.h"
#include "settings.h"

#include <csignal>
#include <cstdio>

namespace firedrill
{

// Set by the signal handler: the drill ends, cleans up and exits 2.
extern volatile sig_atomic_t drill_interrupted;

// Plays the drill; the timeline and the verdict go to out, progress to
// progress.  Returns the exit status: 0 as expected, 1 unexpected, 2 when
// the sandbox could not be made or the drill was interrupted.
int drill_run(const Options *o, const Settings *s, const char *self_exe, FILE *out, FILE *progress);

} // namespace firedrill

#endif
