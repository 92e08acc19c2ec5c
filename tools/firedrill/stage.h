// The staged system root the drill's agent sees as its whole world: a fresh
// directory under /tmp with the configuration's copy, the key file, a plain
// console file, the catalogues and the recording stand-ins.
#ifndef VOLTMIRA_TOOLS_FIREDRILL_STAGE_H
#define VOLTMIRA_TOOLS_FIREDRILL_STAGE_H

#include <cstddef>
#include <string>

namespace firedrill
{

struct Stage {
    std::string root; // empty until made
};

// Makes a fresh root for the configuration at config (copied, never
// changed), with the stand-ins copied from self_exe and the catalogues from
// locale_dir (skipped when it does not exist).  Returns 0, or -1 with a
// sentence in err; what was made is left for stage_remove.
int stage_make(Stage *s, const char *config, const char *self_exe, const char *locale_dir,
               char *err, size_t errlen);

// A path inside the root ("/dev/console" gives <root>/dev/console).
std::string stage_at(const Stage *s, const char *path);

// Removes the root and everything in it; 0 or -1.
int stage_remove(Stage *s);

} // namespace firedrill

#endif
