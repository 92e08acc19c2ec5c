// The agent manager voltmiractl, run as administrators run it, inside lab
// hosts (lab.h): it may start the real agent, which must never broadcast on
// the machine's own network.  The staged root holds the built agent (linked
// where the manager looks for it) and a monitor program that only notes
// that it was started.  The menu is driven through a pseudo-terminal.
//
// Also the process finder on /proc that the manager and the configuration
// helper share (ManageProc): what it counts, what it leaves out, and that
// it writes nothing anywhere.
//
// Every process a test starts is ended by its id and reaped, also when the
// test fails; the lab removes its namespaces and the agents in them.
#include "lab/lab.h"

#include "agent/proclist.h"
#include "agent/sysroot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <random>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef VOLTMIRA_VOLTMIRACTL_PATH
#error "the manager's tests must be told where the built manager is"
#endif

namespace
{

using lab::CommandResult;
using lab::LabHost;
using lab::LabNet;
using testutil::count_of;
using testutil::eventually;
using testutil::mono_ns;
using testutil::ms_since;
using testutil::sleep_ms;

// The texts an administrator sees, as the manager prints them in English.
const char kUsage[] = "\nUsage: /usr/lib/voltmira/voltmiractl [-r|-s|-m]\n"
                      "\t-r: start local agent\n"
                      "\t-s: stop local agent\n"
                      "\t-m: run a X-WINDOWS monitor\n";
const char kWaitingUp[] = "\n\n\tWaiting for local agent up\n";
const char kIsUp[] = "\n\tLocal Agent is up!\n";
const char kStopping[] = "\n\n\tNow, begin to stop local Voltmira\n\tPlease wait...\n";
const char kIsDown[] = "\n\tLocal Agent is down.\n";
const char kRunning[] = "\nThe voltmiractl is Running\nIf you would like to stop it,"
                        "please input the following command.\nusage: "
                        "/usr/lib/voltmira/voltmiractl -k\n";
const char kMenuTitle[] = "INTERACTIVE MENU OF VOLTMIRA FOR LINUX";
const char kPrompt[] = "What are you want to do:";

// The manager's checks are one second apart, and it gives a stubborn agent
// twenty of them.
constexpr int kStopChecks = 20;

bool has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

std::string read_or_empty(const std::string &path)
{
    return testutil::file_exists(path) ? testutil::read_file(path) : "";
}

// A name no other process of the machine carries.
std::string unique_token(const char *what)
{
    static std::mt19937 rng(static_cast<unsigned>(mono_ns() ^ getpid()));
    char buf[64];
    snprintf(buf, sizeof buf, "%s%d x%08x", what, static_cast<int>(getpid()),
             static_cast<unsigned>(rng()));
    std::string s = buf;
    s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
    return s;
}

// ---------------------------------------------------------------------------
// Processes of the tests' own

// A process that only sleeps, under a command line of the test's choosing
// (argument zero), started by the test and killed and reaped with the
// object.  how runs in the child before the program (a change of user or
// namespace); a non-zero result ends the child with that status.
class Sleeper
{
  public:
    explicit Sleeper(const std::string &argv0, const std::function<int()> &how = nullptr,
                     int seconds = 60)
    {
        std::string secs = std::to_string(seconds);
        std::string a0 = argv0;
        pid_ = fork();
        if (pid_ == 0) {
            if (how) {
                int r = how();
                if (r != 0)
                    _exit(r);
            }
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(devnull, 1);
            closefrom(3);
            char *argv[] = {a0.data(), secs.data(), nullptr};
            execv("/bin/sleep", argv);
            _exit(127);
        }
    }
    ~Sleeper() { end(); }
    Sleeper(const Sleeper &) = delete;
    Sleeper &operator=(const Sleeper &) = delete;

    pid_t pid() const { return pid_; }
    // Waits until the program runs under its new command line; false when
    // the child ended first (its status in *status).
    bool wait_running(const std::string &argv0, int *status = nullptr)
    {
        std::string path = "/proc/" + std::to_string(pid_) + "/cmdline";
        return eventually(
                   [&] {
                       int st;
                       if (waitpid(pid_, &st, WNOHANG) == pid_) {
                           if (status != nullptr)
                               *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                           pid_ = -1;
                           return true;
                       }
                       return read_or_empty(path).rfind(argv0, 0) == 0;
                   },
                   3000) &&
               pid_ > 0;
    }
    void end()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

// A process that is not our child (handed to this process, the lab's
// subreaper, when its parent ended): killed by id and reaped at the end.
class Adopted
{
  public:
    Adopted() = default;
    explicit Adopted(pid_t pid) : pid_(pid) {}
    ~Adopted()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int st;
            int64_t deadline = mono_ns() + 3000000000LL;
            while (waitpid(pid_, &st, WNOHANG) == 0 && mono_ns() < deadline)
                sleep_ms(5);
        }
    }
    Adopted(const Adopted &) = delete;
    Adopted &operator=(const Adopted &) = delete;
    pid_t pid() const { return pid_; }
    // The end of the process: its wait status once it ended, or -1 while it
    // runs after the time.
    int wait_end(int timeout_ms)
    {
        int st = -1;
        bool done = eventually(
            [&] {
                pid_t r = waitpid(pid_, &st, WNOHANG);
                return r == pid_ || (r < 0 && errno == ECHILD);
            },
            timeout_ms);
        if (!done)
            return -1;
        pid_ = -1;
        return st;
    }

  private:
    pid_t pid_ = -1;
};

// ---------------------------------------------------------------------------
// The manager inside a host

// The command line that runs the manager in host h with a clean
// environment: the host's staged root, a search path, and what is asked.
std::vector<std::string> ctl_argv(LabHost &h, const std::vector<std::string> &args,
                                  const std::vector<std::string> &env = {})
{
    std::vector<std::string> argv = {"/usr/bin/env", "-i", "VOLTMIRA_SYSROOT=" + h.root(),
                                     "PATH=/usr/bin:/bin"};
    for (const char *v : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *s = getenv(v))
            argv.push_back(std::string(v) + "=" + s);
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(VOLTMIRA_VOLTMIRACTL_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

CommandResult ctl(LabHost &h, const std::vector<std::string> &args,
                  const std::vector<std::string> &env = {}, int timeout_ms = 15000)
{
    return h.run_command(ctl_argv(h, args, env), timeout_ms);
}

std::string monitor_record(LabHost &h)
{
    return read_or_empty(h.at("/.lab/monitor"));
}

// A host ready for the manager: the built agent where the manager starts it
// from (a link, so that the lab still knows the running image as the
// agent's), and a monitor program that notes its start and ends.
LabHost &managed_host(LabNet &net, const std::string &name = "a")
{
    LabHost &h = net.add_host(name);
    std::string daemon = h.at("/usr/lib/voltmira/voltmirad");
    if (symlink(VOLTMIRA_VOLTMIRAD_PATH, daemon.c_str()) != 0)
        throw std::runtime_error("cannot link the agent into the host");
    std::string rec = h.at("/.lab/monitor");
    std::string script = "#!/bin/sh\n"
                         "# Lab monitor: notes how it was started and ends.\n"
                         "printf 'MONITOR %s args=%s cwd=%s\\n' \"$0\" \"$#\" \"$(pwd)\" >> '" +
                         rec + "'\n";
    std::string mon = h.at("/usr/lib/voltmira/monitor");
    testutil::write_file(mon, script);
    chmod(mon.c_str(), 0755);
    return h;
}

// A segment under the agent's key in host h, made as a dead agent would
// have left it (size of the agent's record); its id, or -1.
int make_segment(LabHost &h, pid_t upspid = 0)
{
    key_t key = h.key();
    std::string r = h.run([&] {
        int id = shmget(key, sizeof(AGINFO), IPC_CREAT | IPC_EXCL | 0600);
        if (id < 0)
            return std::string("-1");
        void *p = shmat(id, nullptr, 0);
        if (p == reinterpret_cast<void *>(-1))
            return std::string("-1");
        memset(p, 0, sizeof(AGINFO));
        static_cast<AGINFO *>(p)->upspid = upspid;
        shmdt(p);
        return std::to_string(id);
    });
    return r.empty() ? -1 : atoi(r.c_str());
}

// Whether segment id still exists in host h (under any key).
bool segment_exists(LabHost &h, int id)
{
    std::string r = h.run([&] {
        struct shmid_ds ds;
        return std::string(shmctl(id, IPC_STAT, &ds) == 0 ? "1" : "0");
    });
    return r == "1";
}

// A stand-in for an agent that never obeys a stop request: a process of
// host h with the command line argv0, which goes on sleeping.  When
// segment is set it first makes the agent's segment and notes upspid there
// (0: its own id).  Returns its id; the process is handed to this process
// when its starter ends.
pid_t stand_in(LabHost &h, const std::string &argv0, bool segment, pid_t upspid = 0)
{
    key_t key = h.key();
    // A stand-in named like the agent runs under the agent's program name
    // (a link to sleep), as the manager checks that before it kills.
    std::string image = "/bin/sleep";
    if (argv0 == "voltmirad") {
        image = h.at("/tmp/voltmirad");
        unlink(image.c_str());
        if (symlink("/bin/sleep", image.c_str()) != 0)
            return 0;
    }
    std::string r = h.run([&] {
        int ready[2];
        if (pipe(ready) != 0)
            return std::string("-1");
        pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            setsid();
            char ok = 'n';
            if (segment) {
                int id = shmget(key, sizeof(AGINFO), IPC_CREAT | 0600);
                void *p = id < 0 ? reinterpret_cast<void *>(-1) : shmat(id, nullptr, 0);
                if (p != reinterpret_cast<void *>(-1)) {
                    memset(p, 0, sizeof(AGINFO));
                    static_cast<AGINFO *>(p)->upspid = upspid > 0 ? upspid : getpid();
                    shmdt(p);
                    ok = 'y';
                }
            } else {
                ok = 'y';
            }
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
            if (write(ready[1], &ok, 1) != 1 || ok != 'y')
                _exit(1);
            closefrom(3);
            std::string a0 = argv0;
            char secs[] = "90";
            char *argv[] = {a0.data(), secs, nullptr};
            execv(image.c_str(), argv);
            _exit(127);
        }
        close(ready[1]);
        char ok = 0;
        bool made = read(ready[0], &ok, 1) == 1 && ok == 'y';
        close(ready[0]);
        return std::to_string(made ? pid : -pid);
    });
    pid_t pid = r.empty() ? 0 : static_cast<pid_t>(atoi(r.c_str()));
    return pid;
}

// ---------------------------------------------------------------------------
// A manager on a pseudo-terminal, from inside a host (LabHost::run): the
// menu wants a terminal.  These run in the child of LabHost::run, so they
// report through their result instead of asserting.

struct Tty {
    pid_t pid = -1;
    int fd = -1;
    std::string seen;
};

Tty spawn_on_tty(const std::vector<std::string> &argv)
{
    Tty t;
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0)
        return t;
    const char *name = ptsname(m);
    if (name == nullptr)
        return t;
    std::string slave = name;
    std::vector<std::string> copy = argv;
    std::vector<char *> args;
    for (std::string &a : copy)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int s = open(slave.c_str(), O_RDWR);
        if (s < 0)
            _exit(126);
        ioctl(s, TIOCSCTTY, 0);
        dup2(s, 0);
        dup2(s, 1);
        dup2(s, 2);
        closefrom(3);
        execv(args[0], args.data());
        _exit(127);
    }
    t.pid = pid;
    t.fd = m;
    return t;
}

// Reads what the manager shows until what has appeared count times in all
// it showed; false on time-out or when the terminal closed first.
bool read_until(Tty &t, const std::string &what, size_t count, int timeout_ms)
{
    int64_t deadline = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    while (count_of(t.seen, what) < count) {
        int left = static_cast<int>((deadline - mono_ns()) / 1000000);
        if (left <= 0)
            return false;
        struct pollfd p = {t.fd, POLLIN, 0};
        int r = poll(&p, 1, left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(t.fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        t.seen.append(buf, static_cast<size_t>(n));
    }
    return true;
}

bool type_line(Tty &t, const std::string &text)
{
    return write(t.fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// The wait status of a child of ours within the time, or -1.
int wait_child(pid_t pid, int timeout_ms)
{
    int st = -1;
    int64_t deadline = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (;;) {
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid)
            return st;
        if (r < 0 || mono_ns() >= deadline)
            return -1;
        sleep_ms(5);
    }
}

void end_tty(Tty &t)
{
    if (t.pid > 0) {
        kill(t.pid, SIGKILL);
        waitpid(t.pid, nullptr, 0);
        t.pid = -1;
    }
    if (t.fd >= 0)
        close(t.fd);
    t.fd = -1;
}

// A program from inside the host, its output and exit status.  prepare, if
// given, runs in the child just before the program replaces it; *child gets
// the program's process id.
CommandResult run_in_here(const std::vector<std::string> &argv, int timeout_ms,
                          const std::function<void()> &prepare = {}, pid_t *child = nullptr)
{
    CommandResult res;
    int out[2];
    if (pipe(out) != 0)
        return res;
    std::vector<std::string> copy = argv;
    std::vector<char *> args;
    for (std::string &a : copy)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = fork();
    if (child != nullptr)
        *child = pid;
    if (pid == 0) {
        if (prepare)
            prepare();
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        closefrom(3);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    int64_t deadline = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (;;) {
        int left = static_cast<int>((deadline - mono_ns()) / 1000000);
        struct pollfd p = {out[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            break;
        char buf[4096];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        res.output.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    int st = wait_child(pid, std::max(0, static_cast<int>((deadline - mono_ns()) / 1000000)));
    if (st == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return res;
}

// Fields of a report from inside a host, split at the unit separator.
std::string join_fields(const std::vector<std::string> &fields)
{
    std::string s;
    for (const std::string &f : fields)
        s += f + '\x1f';
    return s;
}

std::vector<std::string> split_fields(const std::string &s)
{
    std::vector<std::string> out;
    size_t pos = 0;
    for (size_t us = s.find('\x1f'); us != std::string::npos; us = s.find('\x1f', pos)) {
        out.push_back(s.substr(pos, us - pos));
        pos = us + 1;
    }
    return out;
}

// ===========================================================================
// Starting the agent

// -r starts the agent, waits for it and says so; the same again while it
// runs returns at once, prints nothing and starts no second agent.
TEST(LabManage, StartReportsUpAndAgainIsSilent)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &h = managed_host(*net);

    int64_t t = mono_ns();
    CommandResult r = ctl(h, {"-r"});
    double took = ms_since(t);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, std::string(kWaitingUp) + kIsUp);
    EXPECT_LT(took, 11000) << "ten checks a second apart at most";
    ASSERT_TRUE(h.wait_agent_up(6000)) << h.debug_log() << h.console();
    pid_t daemon = h.daemon_pid();
    ASSERT_GT(daemon, 0);
    EXPECT_EQ(h.agent_pids().size(), 2u);

    t = mono_ns();
    r = ctl(h, {"-R"});
    took = ms_since(t);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "");
    EXPECT_LT(took, 900) << "a running agent needs no waiting";
    sleep_ms(300);
    EXPECT_EQ(h.agent_pids().size(), 2u) << "a second agent was started";
    EXPECT_EQ(h.daemon_pid(), daemon);
    EXPECT_EQ(h.sanitizer_reports(), "");
}

// A segment left by an agent that died is removed before the agent is
// started: the new agent makes its own instead of taking the old one over.
TEST(LabManage, StaleSegmentIsRemovedByStart)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &h = managed_host(*net);
    int stale = make_segment(h);
    ASSERT_GE(stale, 0);
    ASSERT_EQ(h.segment_id(), stale);

    CommandResult r = ctl(h, {"-r"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(has(r.output, kIsUp)) << r.output;
    EXPECT_FALSE(segment_exists(h, stale)) << "the stale segment is still there";
    ASSERT_TRUE(h.wait_agent_up(6000)) << h.debug_log();
    EXPECT_NE(h.segment_id(), stale);
    EXPECT_EQ(h.sanitizer_reports(), "");
}

// Without the agent's program: its error number as status and a message;
// with a program that may not be run: 255.  Neither starts anything.
TEST(LabManage, MissingOrNonExecutableAgentProgram)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &h = net->add_host("a");
    const std::string prog = h.at("/usr/lib/voltmira/voltmirad");

    CommandResult r = ctl(h, {"-r"});
    EXPECT_EQ(r.status, ENOENT);
    EXPECT_EQ(r.output,
              h.at("/usr/lib/voltmira/") + "voltmirad: the file " + prog + " doesn't exist\n");

    testutil::write_file(prog, "#!/bin/sh\nexit 0\n");
    chmod(prog.c_str(), 0644);
    r = ctl(h, {"-r"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output,
              h.at("/usr/lib/voltmira/") + "/voltmirad: the file " + prog + " can't be executed\n");
    EXPECT_TRUE(h.agent_pids().empty());
    EXPECT_EQ(h.segment_id(), -1);
}

// ===========================================================================
// Stopping the agent

// -s asks the agent through its segment; the agent leaves by itself (its
// log says why), and the manager sees it gone.
TEST(LabManage, StopThroughTheSegment)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &h = managed_host(*net);
    ASSERT_EQ(h.start_agent(), 0);
    ASSERT_TRUE(h.wait_agent_up(6000)) << h.debug_log();
    pid_t ups = h.ups_pid();

    int64_t t = mono_ns();
    CommandResult r = ctl(h, {"-s"}, {}, 30000);
    double took = ms_since(t);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, std::string(kStopping) + kIsDown);
    EXPECT_TRUE(h.wait_agent_gone(2000));
    EXPECT_EQ(h.segment_id(), -1);
    std::string log = h.debug_log();
    EXPECT_TRUE(has(log, "receive voltmiractl stop command")) << log;
    // The UPS channel process ended by itself, within its start-up pause
    // and a check or two, not after the twenty checks of a stubborn agent.
    EXPECT_LT(took, 8000);
    EXPECT_TRUE(h.wait_pid_gone(ups, 1000));
    RecordProperty("stop_ms", std::to_string(took));
    EXPECT_EQ(h.sanitizer_reports(), "");
}

// No segment, no agent: 255, nothing printed.
TEST(LabManage, StopWithoutAgentFailsSilently)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &h = managed_host(*net);
    CommandResult r = ctl(h, {"-S"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "");
}

// An agent that ignores the request: after twenty checks its UPS channel
// process (noted from the segment) is killed, and the segment removed.
TEST(LabManage, IgnoredStopKillsTheUpsProcess)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &h = managed_host(*net);
    Adopted stub(stand_in(h, "voltmirad", true));
    ASSERT_GT(stub.pid(), 0);
    AGINFO *seg = h.aginfo();
    ASSERT_NE(seg, nullptr);
    ASSERT_EQ(seg->upspid, stub.pid());

    int64_t t = mono_ns();
    CommandResult r = ctl(h, {"-s"}, {}, (kStopChecks + 10) * 1000);
    double took = ms_since(t);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, kStopping);
    EXPECT_EQ(seg->isagentchg, -1) << "the request was not written";
    EXPECT_EQ(seg->locked, 0) << "the flag was left set";
    int st = stub.wait_end(3000);
    ASSERT_NE(st, -1) << "the stubborn process lives on";
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
    EXPECT_GE(took, (kStopChecks - 1) * 1000.0);
    EXPECT_EQ(h.segment_id(), -1) << "the segment was not removed";
}

// The noted id comes from a segment anyone may write.  When it names a
// process that is no agent, that process is left alone (and so is the
// stubborn agent, which the manager cannot tell from here).
TEST(LabManage, StopNeverKillsAProcessThatIsNoAgent)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &h = managed_host(*net);
    // Its command line mentions the agent, so it is on the manager's list,
    // but it does not run the agent's program.
    Adopted bystander(stand_in(h, "tail-voltmirad-log", false));
    ASSERT_GT(bystander.pid(), 0);
    Adopted stub(stand_in(h, "voltmirad", true, bystander.pid()));
    ASSERT_GT(stub.pid(), 0);

    CommandResult r = ctl(h, {"-s"}, {}, (kStopChecks + 10) * 1000);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, kStopping);
    // A killed child stays a zombie until reaped, so ask whether it ended.
    EXPECT_EQ(bystander.wait_end(300), -1) << "a process that is no agent was killed";
    EXPECT_EQ(stub.wait_end(0), -1);
    EXPECT_EQ(h.segment_id(), -1);
}

// ===========================================================================
// The command line

// Two operations, an unknown option, or -M without its argument: the
// usage text on standard error and 255; nothing is started.
TEST(LabManage, TwoOptionsOrUnknownPrintUsage)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &h = managed_host(*net);

    CommandResult r = ctl(h, {"-r", "-s"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, kUsage);
    r = ctl(h, {"-sm"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, kUsage);
    r = ctl(h, {"-x"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(has(r.output, kUsage)) << r.output;
    r = ctl(h, {"-M"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(has(r.output, kUsage)) << r.output;

    sleep_ms(200);
    EXPECT_TRUE(h.agent_pids().empty());
    EXPECT_EQ(h.segment_id(), -1);
    EXPECT_EQ(monitor_record(h), "");
}

// The language comes from the environment: Japanese texts from the
// catalogue for a Japanese LANG, English otherwise.
TEST(LabManage, LanguageFromTheEnvironment)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &h = managed_host(*net);
    std::string dir = h.at("/usr/lib/voltmira/locale");
    for (const char *d : {"", "/ja", "/ja/LC_MESSAGES"})
        mkdir((dir + d).c_str(), 0755);
    testutil::write_file(dir + "/ja/LC_MESSAGES/voltmiractl.mo",
                         testutil::read_file(std::string(VOLTMIRA_LOCALE_BUILD_DIR) +
                                             "/ja/LC_MESSAGES/voltmiractl.mo"));

    CommandResult ja = ctl(h, {"-r", "-s"}, {"LANG=ja_JP.UTF-8"});
    EXPECT_EQ(ja.status, 255);
    EXPECT_TRUE(has(ja.output, "使い方: /usr/lib/voltmira/voltmiractl [-r|-s|-m]")) << ja.output;
    EXPECT_TRUE(has(ja.output, "\t-s: ローカルエージェントを停止します\n")) << ja.output;

    // The first of the variables that is set decides.
    CommandResult ctype = ctl(h, {"-r", "-s"}, {"LC_CTYPE=ja_JP.UTF-8", "LANG=C"});
    EXPECT_EQ(ctype.output, kUsage);
    CommandResult en = ctl(h, {"-r", "-s"}, {"LANG=en_US.UTF-8"});
    EXPECT_EQ(en.output, kUsage);
    CommandResult none = ctl(h, {"-r", "-s"});
    EXPECT_EQ(none.output, kUsage);
}

// -m starts the monitor from the installation directory, with no
// arguments, and returns at once; a missing one ends with its error number.
TEST(LabManage, MonitorOption)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &h = managed_host(*net);

    CommandResult r = ctl(h, {"-m"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "");
    ASSERT_TRUE(eventually([&] { return !monitor_record(h).empty(); }, 3000));
    EXPECT_EQ(monitor_record(h), "MONITOR " + h.at("/usr/lib/voltmira/monitor") +
                                     " args=0 cwd=" + h.at("/usr/lib/voltmira") + "\n");

    const std::string mon = h.at("/usr/lib/voltmira/monitor");
    chmod(mon.c_str(), 0644);
    r = ctl(h, {"-m"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, h.at("/usr/lib/voltmira/") + "/voltmiractl: the file " + mon +
                            " can't be executed\n");
    unlink(mon.c_str());
    r = ctl(h, {"-M", "ignored"});
    EXPECT_EQ(r.status, ENOENT);
    EXPECT_EQ(r.output,
              h.at("/usr/lib/voltmira/") + "voltmiractl: the file " + mon + " doesn't exist\n");
    EXPECT_TRUE(h.agent_pids().empty());
}

// ===========================================================================
// The menu

// "12" and its line feed is no choice: the menu comes again and nothing is
// done (not even "1"); "2" starts the monitor; "3" leaves with 0.
TEST(LabManage, MenuTwelveIsNoChoiceAndTwoStartsTheMonitor)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &h = managed_host(*net);
    const std::string rec = h.at("/.lab/monitor");
    std::vector<std::string> argv = ctl_argv(h, {});

    std::string report = h.run(
        [&] {
            Tty t = spawn_on_tty(argv);
            std::vector<std::string> f;
            bool ok = t.pid > 0 && read_until(t, kPrompt, 1, 5000);
            f.push_back(ok ? "first" : "no first menu");
            f.push_back(t.seen);
            ok = ok && type_line(t, "12\n") && read_until(t, kPrompt, 2, 5000);
            f.push_back(ok ? "second" : "no second menu");
            f.push_back(t.seen);
            f.push_back(read_or_empty(rec));
            ok = ok && type_line(t, "2\n") && read_until(t, kPrompt, 3, 5000);
            f.push_back(ok ? "third" : "no third menu");
            eventually([&] { return !read_or_empty(rec).empty(); }, 3000);
            f.push_back(read_or_empty(rec));
            ok = ok && type_line(t, "3\n");
            int st = ok ? wait_child(t.pid, 5000) : -1;
            if (st != -1)
                t.pid = -1;
            f.push_back(st != -1 && WIFEXITED(st) ? std::to_string(WEXITSTATUS(st)) : "none");
            end_tty(t);
            return join_fields(f);
        },
        30000);

    std::vector<std::string> f = split_fields(report);
    ASSERT_EQ(f.size(), 8u) << report;
    ASSERT_EQ(f[0], "first") << f[1];
    EXPECT_TRUE(has(f[1], kMenuTitle));
    EXPECT_TRUE(has(f[1], "\t1.\tStart local agent.")) << f[1];
    EXPECT_TRUE(has(f[1], "\t2.\tStart a Monitor on XWINDOW."));
    EXPECT_TRUE(has(f[1], "\t3.\texit agent manager."));
    ASSERT_EQ(f[2], "second") << f[3];
    EXPECT_EQ(count_of(f[3], kMenuTitle), 2u);
    EXPECT_FALSE(has(f[3], "Waiting for local agent up")) << "\"12\" was taken as 1";
    EXPECT_EQ(f[4], "") << "\"12\" started a monitor";
    ASSERT_EQ(f[5], "third");
    EXPECT_EQ(f[6], "MONITOR " + h.at("/usr/lib/voltmira/monitor") +
                        " args=0 cwd=" + h.at("/usr/lib/voltmira") + "\n");
    EXPECT_EQ(f[7], "0");
    EXPECT_TRUE(h.agent_pids().empty());
}

// While one manager sits in its menu, a second one says so and does
// nothing else (even when asked to start the agent); -k ends the first.
TEST(LabManage, SecondManagerIsRefusedAndKillEndsTheFirst)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &h = managed_host(*net);
    std::vector<std::string> menu = ctl_argv(h, {});
    std::vector<std::string> second = ctl_argv(h, {"-r"});
    std::vector<std::string> killer = ctl_argv(h, {"-k"});

    std::string report = h.run(
        [&] {
            Tty t = spawn_on_tty(menu);
            std::vector<std::string> f;
            bool ok = t.pid > 0 && read_until(t, kPrompt, 1, 5000);
            f.push_back(ok ? "menu" : "no menu: " + t.seen);
            CommandResult s = ok ? run_in_here(second, 10000) : CommandResult{};
            f.push_back(std::to_string(s.status));
            f.push_back(s.output);
            f.push_back(t.pid > 0 && kill(t.pid, 0) == 0 ? "alive" : "gone");
            CommandResult k = ok ? run_in_here(killer, 10000) : CommandResult{};
            f.push_back(std::to_string(k.status));
            f.push_back(k.output);
            int st = ok ? wait_child(t.pid, 3000) : -1;
            if (st != -1)
                t.pid = -1;
            f.push_back(st != -1 && WIFSIGNALED(st) ? std::to_string(WTERMSIG(st)) : "none");
            end_tty(t);
            return join_fields(f);
        },
        40000);

    std::vector<std::string> f = split_fields(report);
    ASSERT_EQ(f.size(), 7u) << report;
    ASSERT_EQ(f[0], "menu");
    EXPECT_EQ(f[1], "0");
    EXPECT_EQ(f[2], kRunning);
    EXPECT_EQ(f[3], "alive");
    EXPECT_EQ(f[4], "0");
    EXPECT_EQ(f[5], "");
    EXPECT_EQ(f[6], std::to_string(SIGKILL)) << "the menu manager was not killed";
    sleep_ms(200);
    EXPECT_TRUE(h.agent_pids().empty()) << "the refused manager started the agent";
    EXPECT_EQ(h.segment_id(), -1);
}

// ===========================================================================
// No work files: links planted where the old process lists wrote are
// neither followed nor replaced.

TEST(LabManage, PlantedWorkFileLinksAreLeftAlone)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &h = net->add_host("a");
    // A stale segment has the manager list both names before it finds the
    // program missing.
    int stale = make_segment(h);
    ASSERT_GE(stale, 0);
    const std::string victim = h.at("/.lab/victim");
    testutil::write_file(victim, "precious\n");
    const std::string tmp = h.at("/tmp/");
    std::vector<std::string> argv = ctl_argv(h, {"-r"});

    // The manager runs under a known id: the links are planted for it by
    // the process that then becomes the manager.
    auto plant = [&] {
        for (const char *name : {"voltmiractl", "voltmirad"}) {
            std::string link =
                tmp + "tmp" + name + "pid." + std::to_string(static_cast<int>(getpid()));
            if (symlink(victim.c_str(), link.c_str()) != 0)
                _exit(125);
        }
    };
    std::string report = h.run(
        [&] {
            pid_t pid = -1;
            CommandResult r = run_in_here(argv, 10000, plant, &pid);
            return join_fields({std::to_string(pid), std::to_string(r.status), r.output});
        },
        20000);

    std::vector<std::string> f = split_fields(report);
    ASSERT_EQ(f.size(), 3u) << report;
    EXPECT_EQ(f[1], std::to_string(ENOENT)) << f[2];
    EXPECT_FALSE(segment_exists(h, stale)) << "the manager did not get as far as the lists";
    EXPECT_EQ(testutil::read_file(victim), "precious\n");
    for (const char *name : {"voltmiractl", "voltmirad"}) {
        std::string link = tmp + "tmp" + name + "pid." + f[0];
        struct stat sb;
        ASSERT_EQ(lstat(link.c_str(), &sb), 0) << link << " was removed";
        EXPECT_TRUE(S_ISLNK(sb.st_mode)) << link << " was replaced";
    }
}

// ===========================================================================
// The process finder

// Zero, one, two: processes started with the name in their command line
// are counted and listed in ascending order; the list keeps at most what it
// is given room for; ended processes are gone from it.
TEST(ManageProc, CountsZeroOneAndTwo)
{
    const std::string token = unique_token("mpcount");
    EXPECT_EQ(proc_count(token.c_str()), 0);
    pid_t pids[8];
    EXPECT_EQ(proc_list(token.c_str(), pids, 8), 0);

    Sleeper one(token);
    ASSERT_TRUE(one.wait_running(token));
    EXPECT_EQ(proc_count(token.c_str()), 1);
    ASSERT_EQ(proc_list(token.c_str(), pids, 8), 1);
    EXPECT_EQ(pids[0], one.pid());
    EXPECT_EQ(proc_matches(one.pid(), token.c_str()), 1);

    // The name anywhere in the command line, not only at its start.
    Sleeper two("/opt/x/" + token + "-helper");
    ASSERT_TRUE(two.wait_running("/opt/x/" + token));
    EXPECT_EQ(proc_count(token.c_str()), 2);
    ASSERT_EQ(proc_list(token.c_str(), pids, 8), 2);
    EXPECT_EQ(pids[0], std::min(one.pid(), two.pid()));
    EXPECT_EQ(pids[1], std::max(one.pid(), two.pid()));
    // Room for one: the lowest id, and the count of those stored.
    pid_t first[1];
    EXPECT_EQ(proc_list(token.c_str(), first, 1), 1);
    EXPECT_EQ(first[0], pids[0]);
    // The arguments count too: "60" is the sleepers' second word.
    EXPECT_EQ(proc_matches(one.pid(), (token + " 60").c_str()), 1);

    one.end();
    two.end();
    EXPECT_EQ(proc_count(token.c_str()), 0);
}

// Lines holding "grep" were dropped by the old pipeline, and are here; a
// process that ended but is not yet reaped is not counted.
TEST(ManageProc, GrepLinesAndZombiesAreNotCounted)
{
    const std::string token = unique_token("mpgz");
    Sleeper grepper("grep-" + token);
    ASSERT_TRUE(grepper.wait_running("grep-" + token));
    EXPECT_EQ(proc_count(token.c_str()), 0);
    EXPECT_EQ(proc_matches(grepper.pid(), token.c_str()), 0);

    // A zombie has no command line; ps would show its name in brackets, and
    // the name carries the token.
    std::string comm = token.substr(0, 15);
    pid_t z = fork();
    if (z == 0) {
        prctl(PR_SET_NAME, comm.c_str());
        _exit(0);
    }
    ASSERT_GT(z, 0);
    std::string stat_path = "/proc/" + std::to_string(z) + "/stat";
    bool zombie = eventually(
        [&] {
            std::string s = read_or_empty(stat_path);
            size_t p = s.rfind(')');
            return p != std::string::npos && p + 2 < s.size() && s[p + 2] == 'Z';
        },
        3000);
    bool named = has(read_or_empty(stat_path), "(" + comm + ")");
    int counted = proc_count(comm.c_str());
    waitpid(z, nullptr, 0);
    ASSERT_TRUE(zombie);
    ASSERT_TRUE(named);
    EXPECT_EQ(counted, 0) << "a zombie was counted";
}

// Only the caller's own processes (as "ps x" shows them) and only those of
// its IPC namespace, where the agent it manages keeps its segment.
TEST(ManageProc, OtherUsersAndOtherIpcNamespacesAreNotCounted)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to start processes as another user";
    const std::string token = unique_token("mpns");
    Sleeper mine(token);
    Sleeper other_user(token, [] {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            return 90;
        return 0;
    });
    Sleeper other_ns(token, [] { return unshare(CLONE_NEWIPC) == 0 ? 0 : 91; });
    int st = 0;
    ASSERT_TRUE(mine.wait_running(token));
    ASSERT_TRUE(other_user.wait_running(token, &st)) << "status " << st;
    bool ns_ok = other_ns.wait_running(token, &st);
    if (!ns_ok && st == 91)
        GTEST_SKIP() << "no IPC namespaces here";
    ASSERT_TRUE(ns_ok);

    EXPECT_EQ(proc_count(token.c_str()), 1);
    pid_t pids[4];
    ASSERT_EQ(proc_list(token.c_str(), pids, 4), 1);
    EXPECT_EQ(pids[0], mine.pid());
    EXPECT_EQ(proc_matches(other_user.pid(), token.c_str()), 0);
    EXPECT_EQ(proc_matches(other_ns.pid(), token.c_str()), 0);
}

// Names past the bound, empty or missing are refused; the bound itself is
// fine.
TEST(ManageProc, OverlongEmptyAndMissingNamesAreRefused)
{
    std::string at_bound(PROC_NAME_MAX, 'q');
    std::string over(PROC_NAME_MAX + 1, 'q');
    pid_t pids[4];
    EXPECT_EQ(proc_count(at_bound.c_str()), 0);
    EXPECT_EQ(proc_list(at_bound.c_str(), pids, 4), 0);
    EXPECT_EQ(proc_count(over.c_str()), -1);
    EXPECT_EQ(proc_list(over.c_str(), pids, 4), -1);
    EXPECT_EQ(proc_matches(getpid(), over.c_str()), -1);
    EXPECT_EQ(proc_count(""), -1);
    EXPECT_EQ(proc_count(nullptr), -1);
    EXPECT_EQ(proc_list("x", pids, -1), -1);
    EXPECT_EQ(proc_list("x", nullptr, 4), -1);
}

// Links planted under the names the old pipeline wrote, in the staged work
// directory and for this very process, are never written through.
TEST(ManageProc, PlantedLinksAreNeverWritten)
{
    testutil::Sysroot root;
    const std::string token = unique_token("mplink");
    const std::string victim = root.at("/etc/victim");
    testutil::write_file(victim, "precious\n");
    Sleeper one(token);
    ASSERT_TRUE(one.wait_running(token));
    std::vector<std::string> links;
    for (const std::string &name : {token, std::string("voltmirad"), std::string("voltmiractl")}) {
        char path[PATH_MAX];
        std::string file = "tmp" + name + "pid." + std::to_string(getpid());
        ASSERT_EQ(sysroot_tmpfile(file.c_str(), path, sizeof path), 0);
        ASSERT_EQ(symlink(victim.c_str(), path), 0);
        links.push_back(path);
    }

    EXPECT_EQ(proc_count(token.c_str()), 1);
    pid_t pids[4];
    EXPECT_EQ(proc_list(token.c_str(), pids, 4), 1);
    EXPECT_GE(proc_count("voltmirad"), 0);
    EXPECT_GE(proc_count("voltmiractl"), 0);

    EXPECT_EQ(testutil::read_file(victim), "precious\n");
    for (const std::string &l : links) {
        struct stat sb;
        ASSERT_EQ(lstat(l.c_str(), &sb), 0) << l;
        EXPECT_TRUE(S_ISLNK(sb.st_mode)) << l;
    }
}

} // namespace
