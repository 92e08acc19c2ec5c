// The recording stand-ins: the drill's own program, linked into the staged
// root as shutdown, wall, write, mesg, mail and who.  Called under one of
// those names it notes the time, its name, its arguments and what it was
// given to read in <root>/.drill/record, and does nothing else.
#ifndef VOLTMIRA_TOOLS_FIREDRILL_FAKE_H
#define VOLTMIRA_TOOLS_FIREDRILL_FAKE_H

#include <string>

namespace firedrill
{

// The stand-in names, null-terminated, each with its place in a system root.
extern const char *const kFakePaths[];

// The stand-in name this program runs as (from the path it was started
// by), or null when it runs as the drill itself.
const char *fake_name(const char *exe_path);

// Runs as the stand-in name; returns the exit status.
int fake_main(const char *name, const char *exe_path, int argc, char **argv);

// Bytes as one line: backslash, CR, LF, tab and non-printing bytes escaped.
std::string escape_bytes(const std::string &bytes);
// The reverse; bad escapes are kept as they are.
std::string unescape_bytes(const std::string &text);

} // namespace firedrill

#endif
