// voltmira-firedrill: a mains failure played against a real configuration,
// in a sandbox, with the agent's every reaction on a timeline.  Called as
// shutdown, wall, write, mesg, mail or who it is the sandbox's recording
// stand-in for that program instead.
#include "drill.h"
#include "fake.h"
#include "options.h"
#include "report.h"
#include "settings.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace firedrill;

namespace
{

void on_signal(int)
{
    drill_interrupted = 1;
}

void catch_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a wait in progress ends at once.
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

} // namespace

int main(int argc, char **argv)
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        fprintf(stderr, "voltmira-firedrill: cannot find its own program file\n");
        return 2;
    }
    self[n] = '\0';
    if (const char *name = fake_name(self))
        return fake_main(name, self, argc, argv);

    std::string self_dir = self;
    self_dir.erase(self_dir.rfind('/'));
    Options o;
    char err[1024] = "";
    if (options_parse(argc, argv, self_dir, &o, err, sizeof err) != 0) {
        fprintf(stderr, "voltmira-firedrill: %s\n%s", err, options_usage());
        return 2;
    }
    if (o.help) {
        fputs(options_usage(), stdout);
        return 0;
    }
    Settings s;
    if (settings_read(o.config.c_str(), &s, err, sizeof err) != 0) {
        fprintf(stderr, "voltmira-firedrill: %s\n", err);
        return 2;
    }
    if (geteuid() != 0) {
        fprintf(stderr, "voltmira-firedrill: needs root (it makes namespaces and a root-owned "
                        "sandbox for the agent)\n");
        return 2;
    }
    catch_signals();
    report_settings(&o, &s, stdout);
    return drill_run(&o, &s, self, stdout, stderr);
}
