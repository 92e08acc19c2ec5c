#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace firedrill
{

namespace
{

// A restore later than a day is no drill anyone waits for.
constexpr long kMaxRestore = 24 * 3600;

} // namespace

const char *options_usage()
{
    return "usage: voltmira-firedrill [--config FILE] [--restore-after N] [--agent PATH] "
           "[--ups PATH] [--keep]\n"
           "Plays a mains failure against the agent with FILE's settings (default\n"
           "/usr/lib/voltmira/config) in a sandbox and prints what the agent did and when.\n"
           "  --restore-after N  the mains return N seconds after the failure\n"
           "  --agent PATH       the agent (default: voltmirad beside this program)\n"
           "  --ups PATH         the test UPS (default: upssim beside this program)\n"
           "  --keep             leave the sandbox's files (logs, record) for a look\n"
           "Needs root.  Exit status 0: the drill ran as expected; 1: the agent did\n"
           "something unexpected; 2: usage or sandbox error.\n";
}

int options_parse(int argc, char **argv, const std::string &self_dir, Options *o, char *err,
                  size_t errlen)
{
    *o = Options{};
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        bool has_value = i + 1 < argc;
        if (strcmp(a, "--keep") == 0) {
            o->keep = true;
        } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
            o->help = true;
        } else if ((strcmp(a, "--config") == 0 || strcmp(a, "--agent") == 0 ||
                    strcmp(a, "--ups") == 0) &&
                   has_value) {
            const char *v = argv[++i];
            if (v[0] == '\0' || strlen(v) >= PATH_MAX) {
                snprintf(err, errlen, "%s wants a path", a);
                return -1;
            }
            (strcmp(a, "--config") == 0  ? o->config
             : strcmp(a, "--agent") == 0 ? o->agent
                                         : o->ups) = v;
        } else if (strcmp(a, "--restore-after") == 0 && has_value) {
            const char *v = argv[++i];
            char *end = nullptr;
            errno = 0;
            long n = strtol(v, &end, 10);
            if (v[0] < '0' || v[0] > '9' || errno != 0 || *end != '\0' || n < 1 ||
                n > kMaxRestore) {
                snprintf(err, errlen,
                         "--restore-after wants whole seconds from 1 to %ld, not '%.40s'",
                         kMaxRestore, v);
                return -1;
            }
            o->restore_after = static_cast<int>(n);
        } else {
            bool wants_value = strcmp(a, "--config") == 0 || strcmp(a, "--agent") == 0 ||
                               strcmp(a, "--ups") == 0 || strcmp(a, "--restore-after") == 0;
            snprintf(err, errlen, "%s '%.60s'",
                     wants_value ? "missing value for" : "unknown argument", a);
            return -1;
        }
    }
    if (o->agent.empty())
        o->agent = self_dir + "/voltmirad";
    if (o->ups.empty())
        o->ups = self_dir + "/upssim";
    for (std::string *p : {&o->agent, &o->ups}) {
        char real[PATH_MAX];
        if (access(p->c_str(), X_OK) != 0 || realpath(p->c_str(), real) == nullptr) {
            snprintf(err, errlen, "cannot run %s (%s); name it with %s", p->c_str(),
                     strerror(errno), p == &o->agent ? "--agent" : "--ups");
            return -1;
        }
        // The agent starts in "/": a relative path would not find it there.
        *p = real;
    }
    return 0;
}

} // namespace firedrill
