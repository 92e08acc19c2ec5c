// The fire drill run as an administrator runs it: a short battery played to
// the recorded shutdown, the same failure called off by the mains' return,
// and the invocations it must refuse.  Each run is bounded by the drill's
// own time-out; a drill that overruns it is ended by its process id.
#include "testutil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// The drill's own limit is the battery time plus a minute after the
// failure, and a minute for the start: beyond this it is stuck.
constexpr int kOverrunS = 240;

const char kShortConfig[] = "[ UPS ]\n AgentType = 4\n Group = Drill\n"
                            "[ ShutDown ]\n EXPECTBLIFE = 20\n FIRSTWARN = 0\n INTERVAL = 5\n"
                            " TurnOffDelay = 30\n";

struct DrillRun {
    int status = -1;
    std::string out, err;
};

DrillRun drill(const std::vector<std::string> &args)
{
    testutil::TempDir dir;
    std::vector<std::string> all = {VOLTMIRA_FIREDRILL_PATH, "--agent", VOLTMIRA_VOLTMIRAD_PATH,
                                    "--ups", VOLTMIRA_UPSSIM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = dir.path() + "/out", err = dir.path() + "/err";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    DrillRun r;
    int st = 0;
    time_t until = time(nullptr) + kOverrunS;
    while (waitpid(pid, &st, WNOHANG) == 0) {
        if (time(nullptr) > until) {
            // SIGTERM lets it clean up; what it leaves is then checked too.
            kill(pid, SIGTERM);
            bool reaped = false;
            for (int i = 0; i < 300 && !reaped; i++)
                reaped = waitpid(pid, &st, WNOHANG) == pid || (usleep(100000), false);
            if (!reaped) {
                kill(pid, SIGKILL);
                waitpid(pid, &st, 0);
            }
            ADD_FAILURE() << "the drill overran " << kOverrunS << " s";
            break;
        }
        usleep(100000);
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = testutil::read_file(out);
    r.err = testutil::read_file(err);
    return r;
}

// The seconds from the failure of the first timeline line holding what;
// -1 when none does.
double at(const std::string &out, const std::string &what)
{
    size_t p = out.find(what, out.find("Timeline"));
    if (p == std::string::npos)
        return -1;
    size_t line = out.rfind("\n  +", p);
    int m = 0;
    double s = 0;
    if (line == std::string::npos || sscanf(out.c_str() + line, "\n  +%d:%lf", &m, &s) != 2)
        return -1;
    return m * 60 + s;
}

// The sandbox the drill reported, and proof that nothing of it is left: no
// directory, and no process started with it or in it.
void expect_nothing_left(const DrillRun &r)
{
    size_t p = r.err.find("sandbox /tmp/voltmira-firedrill.");
    ASSERT_NE(p, std::string::npos) << r.err;
    std::string root = r.err.substr(p + 8, r.err.find(';', p) - p - 8);
    struct stat sb;
    EXPECT_NE(stat(root.c_str(), &sb), 0) << root << " was left";
    DIR *d = opendir("/proc");
    ASSERT_NE(d, nullptr);
    while (struct dirent *e = readdir(d)) {
        if (atoi(e->d_name) <= 0)
            continue;
        for (const char *f : {"/cmdline", "/environ"}) {
            // Some processes do not let even root read them: nothing to see.
            int fd = open((std::string("/proc/") + e->d_name + f).c_str(), O_RDONLY | O_CLOEXEC);
            std::string text = fd >= 0 ? testutil::read_all(fd) : "";
            if (fd >= 0)
                close(fd);
            EXPECT_EQ(text.find(root), std::string::npos)
                << "process " << e->d_name << " of the drill is left";
        }
    }
    closedir(d);
}

#define DRILL_OR_SKIP(r)                                                                           \
    if (geteuid() != 0)                                                                            \
        GTEST_SKIP() << "the drill needs root";                                                    \
    if ((r).err.find("cannot make the sandbox's namespaces") != std::string::npos)                 \
        GTEST_SKIP() << "no namespaces here: " << (r).err;

TEST(FireDrill, PlaysTheFailureToTheShutdownInOrder)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the drill needs root";
    testutil::TempDir dir;
    const std::string config = dir.path() + "/config";
    testutil::write_file(config, kShortConfig);
    struct stat before;
    ASSERT_EQ(stat(config.c_str(), &before), 0);

    DrillRun r = drill({"--config", config});
    DRILL_OR_SKIP(r);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The settings come first, in words.
    EXPECT_LT(r.out.find("EXPECTBLIFE): 20 s"), r.out.find("Timeline"));
    EXPECT_LT(r.out.find("(TurnOffDelay): 30 s"), r.out.find("Timeline"));

    // Each step in its order, at a plausible time.  The agent sees the
    // failure at its next poll (about a second) and counts the battery from
    // there; a loaded machine adds to every step.
    const double fail = at(r.out, "MAINS FAIL"), acfail = at(r.out, "event 65 \"UPS Ac fail\""),
                 warn = at(r.out, "System will be shut down in"),
                 deadline = at(r.out, "Time is up!"),
                 ups = at(r.out, "UPS command \"S.5\\r\": switch off after 30 s, stays off"),
                 agents = at(r.out, "notice to other agents (kind 18, UDP 4114): shut down, group "
                                    "\"Drill\""),
                 down = at(r.out, "SHUTDOWN command run: shutdown -h -t0 0");
    EXPECT_EQ(fail, 0);
    EXPECT_GE(acfail, 0);
    EXPECT_LT(acfail, 10);
    EXPECT_GE(warn, 0);
    EXPECT_GE(deadline, 18) << r.out;
    EXPECT_LE(deadline, 40) << r.out;
    EXPECT_GE(ups, deadline);
    EXPECT_GE(agents, deadline);
    EXPECT_GE(down, ups);
    EXPECT_LE(down - deadline, 5) << "agent type 4 has no grace";
    EXPECT_NE(r.out.find("Verdict: the host would have been shut down"), std::string::npos);
    EXPECT_NE(r.out.find("the UPS switches off 30 s later and stays off"), std::string::npos);

    // The configuration given was only read.
    struct stat after;
    ASSERT_EQ(stat(config.c_str(), &after), 0);
    EXPECT_EQ(testutil::read_file(config), kShortConfig);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    expect_nothing_left(r);
}

TEST(FireDrill, MainsReturnCallsTheShutdownOff)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the drill needs root";
    testutil::TempDir dir;
    const std::string config = dir.path() + "/config";
    testutil::write_file(config, kShortConfig);
    DrillRun r = drill({"--config", config, "--restore-after", "5"});
    DRILL_OR_SKIP(r);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const double back = at(r.out, "MAINS BACK"), restore = at(r.out, "event 0 \"UPS AC Restore\"");
    EXPECT_GE(back, 5);
    EXPECT_GE(restore, back);
    EXPECT_EQ(at(r.out, "SHUTDOWN command"), -1);
    EXPECT_EQ(at(r.out, "UPS command \"S"), -1);
    EXPECT_EQ(at(r.out, "Time is up!"), -1);
    EXPECT_NE(r.out.find("Verdict: mains returned at +0:05; the shutdown was called off; no "
                         "shutdown command was run"),
              std::string::npos)
        << r.out;
    expect_nothing_left(r);
}

TEST(FireDrill, RefusesBadInvocations)
{
    testutil::TempDir dir;
    const std::string protector = dir.path() + "/protector", no_ups = dir.path() + "/no-ups";
    testutil::write_file(protector, "[ UPS ]\n AgentType = 1\n");
    testutil::write_file(no_ups, "[ UPS ]\n ComSet = -2\n");
    struct Case {
        std::vector<std::string> args;
        const char *says;
    } cases[] = {
        {{"--config", dir.path() + "/missing"}, "cannot read the configuration"},
        {{"--config", protector}, "protector"},
        {{"--config", no_ups}, "names no serial port"},
        {{"--restore-after", "soon"}, "--restore-after wants whole seconds"},
        {{"--restore-after", "-3"}, "--restore-after wants whole seconds"},
        {{"--restore-after", "5s"}, "--restore-after wants whole seconds"},
        {{"--restore-after", "0"}, "--restore-after wants whole seconds"},
        {{"--restore-after"}, "missing value for '--restore-after'"},
        {{"--config"}, "missing value for '--config'"},
        {{"--bogus"}, "unknown argument '--bogus'"},
        {{"--agent", dir.path() + "/no-agent"}, "cannot run"},
    };
    for (const Case &c : cases) {
        DrillRun r = drill(c.args);
        EXPECT_EQ(r.status, 2) << c.args[0];
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args[0] << ": " << r.err;
        EXPECT_EQ(r.out.find("Timeline"), std::string::npos) << c.args[0];
    }
}

} // namespace
