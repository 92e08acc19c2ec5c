// The drill's command line.
#ifndef VOLTMIRA_TOOLS_FIREDRILL_OPTIONS_H
#define VOLTMIRA_TOOLS_FIREDRILL_OPTIONS_H

#include <cstddef>
#include <string>

namespace firedrill
{

struct Options {
    std::string config = "/usr/lib/voltmira/config";
    std::string agent;      // default: voltmirad beside this program
    std::string ups;        // default: upssim beside this program
    int restore_after = -1; // seconds after the failure; -1: the mains stay off
    bool keep = false;      // leave the staged root for a look
    bool help = false;
};

// Parses argv; self_dir is the directory of this program's own file.
// Returns 0, or -1 with a sentence in err.
int options_parse(int argc, char **argv, const std::string &self_dir, Options *o, char *err,
                  size_t errlen);

// The usage text.
const char *options_usage();

} // namespace firedrill

#endif
