// What the drill tells: the settings that decide the play, in words, before
// it; the summary and the one-line verdict after the timeline.
#ifndef VOLTMIRA_TOOLS_FIREDRILL_REPORT_H
#define VOLTMIRA_TOOLS_FIREDRILL_REPORT_H

#include "options.h"
#include "settings.h"
#include "timeline.h"

#include <cstdio>

namespace firedrill
{

// The settings that matter, in words.
void report_settings(const Options *o, const Settings *s, FILE *out);

// The summary and the verdict of a played drill whose result was rc (0, 1
// or 2); restore_seen tells whether the agent logged the mains' return.
// Returns rc, made 1 when the verdict finds something unexpected that the
// play did not (no switch-off command for the UPS).
int report_verdict(const Options *o, const Settings *s, bool restore_seen, Timeline *t, int rc,
                   FILE *out);

} // namespace firedrill

#endif
