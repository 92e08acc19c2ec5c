#include "lab.h"

#include "agent/agent_utils.h"
#include "agent/sysroot.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <functional>
#include <climits>
#include <crypt.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef VOLTMIRA_VOLTMIRAD_PATH
#error "the lab must be told where the built agent is"
#endif

namespace lab
{

namespace
{

using testutil::mono_ns;

// Every name this fixture gives a namespace starts with this; the leftover
// guard touches nothing else.
const char kPrefix[] = "vmlab-";
const char kNetnsDir[] = "/run/netns";

// Key file of the shared segment and the id the agent gives ftok.
const char kKeyFile[] = "/etc/.ZERURIDO";
constexpr int kKeyId = 1029;

void pause_ms(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

std::string errtext(const std::string &what)
{
    return what + ": " + strerror(errno);
}

ino_t ino_of(const char *path)
{
    struct stat sb;
    if (stat(path, &sb) != 0)
        return 0;
    return sb.st_ino;
}

// The namespaces this process started in.  Opened once, before any switch,
// so that every temporary switch has a way home.
struct Home {
    int net = -1;
    int ipc = -1;
    ino_t net_ino = 0;
    ino_t ipc_ino = 0;
};

Home &home()
{
    static Home h = [] {
        Home x;
        x.net = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        x.ipc = open("/proc/thread-self/ns/ipc", O_RDONLY | O_CLOEXEC);
        x.net_ino = ino_of("/proc/thread-self/ns/net");
        x.ipc_ino = ino_of("/proc/thread-self/ns/ipc");
        return x;
    }();
    return h;
}

// This thread inside another network or IPC namespace for a few calls.
// Not being able to come back would leave the test talking to the wrong
// network, so that ends the process.
class Enter
{
  public:
    Enter(int target, int type) : type_(type)
    {
        home_ = type == CLONE_NEWNET ? home().net : home().ipc;
        if (home_ < 0 || setns(target, type) != 0)
            throw std::runtime_error(errtext("lab: setns into a host"));
    }
    ~Enter()
    {
        if (setns(home_, type_) != 0) {
            perror("lab: setns back home");
            abort();
        }
    }
    Enter(const Enter &) = delete;
    Enter &operator=(const Enter &) = delete;

  private:
    int type_;
    int home_;
};

std::string find_ip()
{
    for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(p, X_OK) == 0)
            return p;
    return "";
}

// Reads a child's output until it closes its end or the time is up; false
// on time-out.
bool drain(int fd, std::string &out, int64_t deadline)
{
    for (;;) {
        int64_t left = (deadline - mono_ns()) / 1000000;
        if (left <= 0)
            return false;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

int decode_status(int st)
{
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

// Waits for a child of ours; kills it at the deadline.  The decoded status.
int reap(pid_t pid, int64_t deadline)
{
    int st = 0;
    for (;;) {
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid)
            return decode_status(st);
        if (r < 0 && errno != EINTR)
            return -1;
        if (mono_ns() >= deadline) {
            kill(pid, SIGKILL);
            if (waitpid(pid, &st, 0) == pid)
                return decode_status(st);
            return -1;
        }
        pause_ms(2);
    }
}

// A program run with its standard output and error; enter runs in the child
// just before the program starts and may refuse (false: exit status 126).
CommandResult run_program(const std::vector<std::string> &argv, int timeout_ms,
                          const std::function<bool()> &enter)
{
    CommandResult res;
    int out[2];
    if (argv.empty() || pipe2(out, O_CLOEXEC) != 0)
        return res;
    std::vector<std::string> copy = argv;
    std::vector<char *> args;
    for (std::string &a : copy)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return res;
    }
    if (pid == 0) {
        if (enter && !enter())
            _exit(126);
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
    drain(out[0], res.output, deadline);
    close(out[0]);
    res.status = reap(pid, deadline);
    return res;
}

// A program run in the test's own namespaces (the "ip" tool).
CommandResult run_here(const std::vector<std::string> &argv, int timeout_ms = 10000)
{
    return run_program(argv, timeout_ms, {});
}

CommandResult ip(const std::vector<std::string> &args)
{
    static const std::string tool = find_ip();
    std::vector<std::string> argv = {tool};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_here(argv);
}

void ip_or_throw(const std::vector<std::string> &args)
{
    CommandResult r = ip(args);
    if (r.status != 0) {
        std::string cmd = "ip";
        for (const std::string &a : args)
            cmd += " " + a;
        throw std::runtime_error("lab: " + cmd + " failed: " + r.output);
    }
}

// State letter and parent of a process from /proc/<pid>/stat; false when
// it does not exist.
bool proc_stat(pid_t pid, char *state, pid_t *ppid, std::string *comm = nullptr)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return false;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    // The command name is in parentheses and may itself hold any character.
    char *open_paren = strchr(buf, '(');
    char *close_paren = strrchr(buf, ')');
    if (open_paren == nullptr || close_paren == nullptr || close_paren[1] == '\0')
        return false;
    if (comm != nullptr)
        comm->assign(open_paren + 1, close_paren);
    char st = 0;
    int pp = 0;
    if (sscanf(close_paren + 2, "%c %d", &st, &pp) != 2)
        return false;
    *state = st;
    *ppid = pp;
    return true;
}

bool alive(pid_t pid)
{
    char st;
    pid_t pp;
    return proc_stat(pid, &st, &pp) && st != 'Z' && st != 'X';
}

// Whether pid has ended; reaps it when it is a child of ours.
bool ended(pid_t pid)
{
    int status;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid)
        return true;
    return !alive(pid);
}

bool wait_ended(pid_t pid, int timeout_ms)
{
    int64_t deadline = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (;;) {
        if (ended(pid))
            return true;
        if (mono_ns() >= deadline)
            return false;
        pause_ms(2);
    }
}

// Agent processes that ended after being handed to us (this process is a
// subreaper while a LabNet lives) stay zombies until reaped; their image
// and namespaces can no longer be read, only their name and parent.
void reap_agent_zombies()
{
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return;
    pid_t self = getpid();
    while (struct dirent *e = readdir(d)) {
        pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        if (pid <= 0)
            continue;
        char st;
        pid_t pp;
        std::string comm;
        if (proc_stat(pid, &st, &pp, &comm) && st == 'Z' && pp == self && comm == "voltmirad")
            waitpid(pid, nullptr, WNOHANG);
    }
    closedir(d);
}

const std::string &agent_image()
{
    static const std::string path = [] {
        char buf[PATH_MAX];
        if (realpath(VOLTMIRA_VOLTMIRAD_PATH, buf) == nullptr)
            return std::string(VOLTMIRA_VOLTMIRAD_PATH);
        return std::string(buf);
    }();
    return path;
}

bool runs_agent_image(pid_t pid, const std::string &img)
{
    char path[64];
    char buf[PATH_MAX];
    snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(pid));
    ssize_t n = readlink(path, buf, sizeof buf - 1);
    if (n <= 0) {
        // An exiting process loses its image link as soon as its memory is
        // released, before its descriptors are closed (a sanitizer build takes
        // long over that); while it still holds the agent's sockets it must
        // still count, and its name is all that is left to know it by.
        char st;
        pid_t pp;
        std::string comm;
        return proc_stat(pid, &st, &pp, &comm) && comm == "voltmirad" && st != 'Z' && st != 'X';
    }
    buf[n] = '\0';
    // A rebuilt binary shows as "<path> (deleted)" in processes that still
    // run the old one.
    return strncmp(buf, img.c_str(), img.size()) == 0 &&
           (buf[img.size()] == '\0' || buf[img.size()] == ' ');
}

ino_t netns_ino_of(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/ns/net", static_cast<int>(pid));
    return ino_of(path);
}

std::vector<pid_t> pids_in_netns(const std::string &name)
{
    std::vector<pid_t> out;
    CommandResult r = ip({"netns", "pids", name});
    if (r.status != 0)
        return out;
    size_t pos = 0;
    while (pos < r.output.size()) {
        size_t nl = r.output.find('\n', pos);
        if (nl == std::string::npos)
            nl = r.output.size();
        pid_t pid = static_cast<pid_t>(atoi(r.output.substr(pos, nl - pos).c_str()));
        if (pid > 0 && pid != getpid())
            out.push_back(pid);
        pos = nl + 1;
    }
    return out;
}

// Kills by id whatever still runs in a lab namespace (the agent and what it
// started: a stand-in script, a shell), then deletes the namespace.
void delete_netns(const std::string &name)
{
    for (int round = 0; round < 3; round++) {
        std::vector<pid_t> left = pids_in_netns(name);
        if (left.empty())
            break;
        for (pid_t pid : left)
            kill(pid, SIGKILL);
        for (pid_t pid : left)
            wait_ended(pid, 2000);
    }
    ip({"netns", "del", name});
}

void mkdir_or_throw(const std::string &path, mode_t mode = 0755)
{
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        throw std::runtime_error(errtext("lab: mkdir " + path));
}

void write_or_throw(const std::string &path, const std::string &text, mode_t mode)
{
    testutil::write_file(path, text);
    if (chmod(path.c_str(), mode) != 0)
        throw std::runtime_error(errtext("lab: chmod " + path));
}

// A recording stand-in for a system program: it notes its name and
// arguments (and, for the ones that read a message, its input) and does
// nothing else.
std::string stand_in(const std::string &record, bool reads_input, const std::string &prints)
{
    std::string s = "#!/bin/sh\n"
                    "# Lab stand-in: records the call, touches nothing.\n"
                    "rec='" +
                    record +
                    "'\n"
                    "{ printf 'CALL %s' \"$0\"; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; "
                    "printf '\\n'; } >> \"$rec\"\n";
    if (reads_input)
        s += "if [ ! -t 0 ]; then printf 'INPUT\\n' >> \"$rec\"; timeout 5 cat >> \"$rec\"; "
             "printf '\\nEND\\n' >> \"$rec\"; fi\n";
    if (!prints.empty())
        s += "printf '" + prints + "'\n";
    s += "exit 0\n";
    return s;
}

// The CLOCK_MONOTONIC-free wall clock is not needed; shadow "last change"
// days only have to be plausible.
std::string shadow_hash(const std::string &password)
{
    if (password.empty())
        return "";
    struct crypt_data data;
    memset(&data, 0, sizeof data);
    const char *h = crypt_r(password.c_str(), "$6$voltmiralab$", &data);
    if (h == nullptr || h[0] == '*')
        throw std::runtime_error("lab: crypt refused the password");
    return h;
}

std::string read_or_empty(const std::string &path)
{
    try {
        return testutil::read_file(path);
    } catch (const std::exception &) {
        return "";
    }
}

std::vector<std::string> sockets_from(const std::string &table, const char *state)
{
    std::vector<std::string> out;
    size_t pos = table.find('\n'); // the column heads
    while (pos != std::string::npos && pos + 1 < table.size()) {
        size_t nl = table.find('\n', pos + 1);
        std::string line = table.substr(pos + 1, nl == std::string::npos ? nl : nl - pos - 1);
        pos = nl;
        unsigned slot, laddr, lport, raddr, rport, st;
        if (sscanf(line.c_str(), " %u: %8X:%4X %8X:%4X %2X", &slot, &laddr, &lport, &raddr, &rport,
                   &st) != 6)
            continue;
        if (st != strtoul(state, nullptr, 16))
            continue;
        // The address column is the raw network-order word.
        out.push_back(dotted(laddr) + ":" + std::to_string(lport));
    }
    return out;
}

} // namespace

// ---------------------------------------------------------------------------
// Fd

void Fd::reset(int fd)
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

// ---------------------------------------------------------------------------
// Leftovers

int remove_leftovers()
{
    std::vector<std::string> stale;
    if (DIR *d = opendir(kNetnsDir)) {
        while (struct dirent *e = readdir(d)) {
            const char *n = e->d_name;
            if (strncmp(n, kPrefix, sizeof kPrefix - 1) != 0)
                continue;
            char *end = nullptr;
            long owner = strtol(n + sizeof kPrefix - 1, &end, 10);
            if (owner <= 0 || end == nullptr || *end != '-')
                continue;
            // Still owned by a running test (this one or a parallel one).
            if (kill(static_cast<pid_t>(owner), 0) == 0 || errno == EPERM)
                continue;
            stale.push_back(n);
        }
        closedir(d);
    }
    for (const std::string &name : stale)
        delete_netns(name);
    return static_cast<int>(stale.size());
}

// ---------------------------------------------------------------------------
// LabNet

LabNet::LabNet()
{
    if (geteuid() != 0)
        throw Unavailable("the lab needs root for its namespaces");
    if (find_ip().empty())
        throw Unavailable("the lab needs the ip tool (iproute2)");
    if (home().net < 0 || home().ipc < 0)
        throw Unavailable("this system does not show namespaces in /proc");
    remove_leftovers();

    static int serial = 0;
    prefix_ =
        std::string(kPrefix) + std::to_string(getpid()) + "-" + std::to_string(++serial) + "-";
    switch_ns_ = prefix_ + "sw";
    try {
        dir_ = std::make_unique<testutil::TempDir>();
        const char *old = getenv("VOLTMIRA_SYSROOT");
        had_sysroot_ = old != nullptr;
        saved_sysroot_ = old ? old : "";
        setenv("VOLTMIRA_SYSROOT", dir_->path().c_str(), 1);
        if (sysroot_init() != 0)
            throw std::runtime_error("lab: the lab directory is no usable system root");

        // The agent detaches: its processes end up with the nearest
        // subreaper, which lets the lab reap them and wait for them.
        prctl(PR_GET_CHILD_SUBREAPER, &saved_subreaper_);
        prctl(PR_SET_CHILD_SUBREAPER, 1);

        CommandResult r = ip({"netns", "add", switch_ns_});
        if (r.status != 0)
            throw Unavailable("network namespaces cannot be made here: " + r.output);
        switch_made_ = true;
        r = ip({"-n", switch_ns_, "link", "add", "br0", "type", "bridge"});
        if (r.status != 0)
            throw Unavailable("no bridge device here: " + r.output);
        ip_or_throw({"-n", switch_ns_, "link", "set", "br0", "up"});
    } catch (...) {
        cleanup();
        throw;
    }
}

LabNet::~LabNet()
{
    cleanup();
}

void LabNet::cleanup()
{
    for (auto it = hosts_.rbegin(); it != hosts_.rend(); ++it)
        (*it)->teardown();
    hosts_.clear();
    if (switch_made_) {
        delete_netns(switch_ns_);
        switch_made_ = false;
    }
    reap_agent_zombies();
    if (dir_) {
        if (had_sysroot_)
            setenv("VOLTMIRA_SYSROOT", saved_sysroot_.c_str(), 1);
        else
            unsetenv("VOLTMIRA_SYSROOT");
        sysroot_init();
        prctl(PR_SET_CHILD_SUBREAPER, saved_subreaper_);
        dir_.reset();
    }
}

LabHost &LabNet::add_host(const std::string &name, const HostOptions &opt)
{
    for (const auto &h : hosts_)
        if (h->name() == name)
            throw std::runtime_error("lab: a second host " + name);
    if (name.empty() || name.size() > 8 || name.find_first_of("/ .") != std::string::npos)
        throw std::runtime_error("lab: host names are 1 to 8 plain characters");
    hosts_.push_back(
        std::unique_ptr<LabHost>(new LabHost(*this, name, static_cast<int>(hosts_.size()) + 1)));
    hosts_.back()->setup(opt);
    return *hosts_.back();
}

LabHost &LabNet::host(const std::string &name)
{
    for (const auto &h : hosts_)
        if (h->name() == name)
            return *h;
    throw std::runtime_error("lab: no host " + name);
}

// ---------------------------------------------------------------------------
// LabHost: making and removing

LabHost::LabHost(LabNet &net, const std::string &name, int index)
    : net_(net), name_(name), index_(index), image_(agent_image())
{
}

LabHost::~LabHost()
{
    teardown();
}

void LabHost::setup(const HostOptions &opt)
{
    netns_ = net_.prefix_ + name_;
    hostname_ = "vm" + name_ + ".lab";
    root_ = net_.dir() + "/" + name_;
    stage_root(opt);

    CommandResult r = ip({"netns", "add", netns_});
    if (r.status != 0)
        throw Unavailable("network namespaces cannot be made here: " + r.output);
    netfd_.reset(open((std::string(kNetnsDir) + "/" + netns_).c_str(), O_RDONLY | O_CLOEXEC));
    if (!netfd_.valid())
        throw std::runtime_error(errtext("lab: open " + netns_));
    struct stat sb;
    fstat(netfd_, &sb);
    net_ino_ = sb.st_ino;
    if (net_ino_ == home().net_ino)
        throw std::runtime_error("lab: the host's namespace is the test's own");

    ip_or_throw({"-n", netns_, "link", "set", "lo", "up"});
    if (opt.wire) {
        addr_ = "10.77.0." + std::to_string(10 + index_);
        std::string port = "p" + std::to_string(index_);
        ip_or_throw({"link", "add", "eth0", "netns", netns_, "type", "veth", "peer", "name", port,
                     "netns", net_.switch_ns_});
        ip_or_throw({"-n", net_.switch_ns_, "link", "set", port, "master", "br0"});
        ip_or_throw({"-n", net_.switch_ns_, "link", "set", port, "up"});
        ip_or_throw({"-n", netns_, "addr", "add", addr_ + "/24", "brd", "+", "dev", "eth0"});
        ip_or_throw({"-n", netns_, "link", "set", "eth0", "up"});
        // Limited broadcasts (255.255.255.255) follow the default route.
        ip_or_throw({"-n", netns_, "route", "add", "default", "dev", "eth0"});
    }
    make_namespaces(opt);
}

void LabHost::stage_root(const HostOptions &opt)
{
    mkdir_or_throw(root_, 0755);
    for (const char *d : {"/usr", "/usr/lib", "/usr/lib/voltmira", "/usr/bin", "/etc", "/dev",
                          "/sbin", "/bin", "/tmp", "/.lab"})
        mkdir_or_throw(root_ + d);
    write_or_throw(at(kKeyFile), "voltmira lab\n", 0644);
    write_or_throw(at("/dev/console"), "", 0666);
    write_or_throw(at("/usr/lib/voltmira/config"), opt.config, 0600);
    write_or_throw(at("/.lab/record"), "", 0666);

    const std::string rec = at("/.lab/record");
    write_or_throw(at("/sbin/shutdown"), stand_in(rec, false, ""), 0755);
    write_or_throw(at("/usr/bin/wall"), stand_in(rec, true, ""), 0755);
    write_or_throw(at("/usr/bin/write"), stand_in(rec, true, ""), 0755);
    write_or_throw(at("/usr/bin/mesg"), stand_in(rec, false, ""), 0755);
    write_or_throw(at("/bin/mail"), stand_in(rec, true, ""), 0755);
    write_or_throw(at("/usr/bin/who"),
                   stand_in(rec, false,
                            "root     pts/0        2026-01-01 09:00 (10.77.0.2)\\n"
                            "labuser  pts/1        2026-01-01 09:05 (10.77.0.3)\\n"),
                   0755);

    std::string passwd = "root:x:0:0:root:/root:/bin/sh\n";
    std::string shadow = "root:*:20000:0:99999:7:::\n";
    for (const User &u : opt.users) {
        passwd += u.name + ":x:" + std::to_string(u.uid) + ":" + std::to_string(u.uid) +
                  "::/nonexistent:/usr/sbin/nologin\n";
        shadow += u.name + ":" + shadow_hash(u.password) + ":20000:0:99999:7:::\n";
    }
    write_or_throw(at("/.lab/passwd"), passwd, 0644);
    write_or_throw(at("/.lab/shadow"), shadow, 0600);
    if (!opt.config_owner.empty()) {
        auto it = std::find_if(opt.users.begin(), opt.users.end(),
                               [&](const User &u) { return u.name == opt.config_owner; });
        if (it == opt.users.end())
            throw std::runtime_error("lab: the configuration's owner is no lab user");
        if (chown(at("/usr/lib/voltmira/config").c_str(), it->uid, it->uid) != 0)
            throw std::runtime_error(errtext("lab: chown config"));
    }
}

// The IPC, UTS and mount namespaces are made by a short-lived child and
// then held by descriptors: they live as long as the host (or as long as an
// agent still runs in them), and need no process of their own.
void LabHost::make_namespaces(const HostOptions &)
{
    int ready[2], hold[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        throw std::runtime_error(errtext("lab: pipe"));
    if (pipe2(hold, O_CLOEXEC) != 0) {
        close(ready[0]);
        close(ready[1]);
        throw std::runtime_error(errtext("lab: pipe"));
    }
    const std::string passwd = at("/.lab/passwd");
    const std::string shadow = at("/.lab/shadow");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(errtext("lab: fork"));
    if (pid == 0) {
        close(ready[0]);
        close(hold[1]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        char code = 'k';
        // The private propagation must hold before anything is mounted:
        // only then do the bind mounts stay out of the machine's own view.
        if (unshare(CLONE_NEWIPC | CLONE_NEWUTS | CLONE_NEWNS) != 0)
            code = 'u';
        else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            code = 'p';
        else if (sethostname(hostname_.data(), hostname_.size()) != 0)
            code = 'h';
        else if (mount(passwd.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
                 mount(shadow.c_str(), "/etc/shadow", nullptr, MS_BIND, nullptr) != 0)
            code = 'b';
        if (write(ready[1], &code, 1) != 1)
            _exit(1);
        char c;
        while (read(hold[0], &c, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    char code = 0;
    struct pollfd p = {ready[0], POLLIN, 0};
    if (poll(&p, 1, 5000) == 1 && read(ready[0], &code, 1) == 1 && code == 'k') {
        std::string base = "/proc/" + std::to_string(pid) + "/ns/";
        ipcfd_.reset(open((base + "ipc").c_str(), O_RDONLY | O_CLOEXEC));
        utsfd_.reset(open((base + "uts").c_str(), O_RDONLY | O_CLOEXEC));
        mntfd_.reset(open((base + "mnt").c_str(), O_RDONLY | O_CLOEXEC));
    }
    close(ready[0]);
    close(hold[1]);
    reap(pid, mono_ns() + 5000000000LL);
    if (code != 'k')
        throw Unavailable(std::string("private namespaces cannot be made here (step ") + code +
                          ")");
    if (!ipcfd_.valid() || !utsfd_.valid() || !mntfd_.valid())
        throw std::runtime_error("lab: the host's namespaces could not be held");
    struct stat sb;
    if (fstat(ipcfd_, &sb) != 0 || sb.st_ino == home().ipc_ino)
        throw std::runtime_error("lab: the host's IPC namespace is the test's own");
}

void LabHost::teardown()
{
    kill_agent();
    ups_.reset();
    detach_segment();
    if (netfd_.valid() || !netns_.empty()) {
        netfd_.reset();
        ipcfd_.reset();
        utsfd_.reset();
        mntfd_.reset();
        if (!netns_.empty())
            delete_netns(netns_);
        netns_.clear();
    }
}

// ---------------------------------------------------------------------------
// LabHost: the test UPS

testutil::UpsSim &LabHost::attach_ups(testutil::UpsSim::Options opt, int port)
{
    if (ups_)
        throw std::runtime_error("lab: host " + name_ + " has a UPS already");
    if (port < 0 || port > 3)
        throw std::runtime_error("lab: serial ports are 0 to 3");
    opt.link = at("/dev/ttyS" + std::to_string(port));
    ups_ = std::make_unique<testutil::UpsSim>(opt);
    return *ups_;
}

// ---------------------------------------------------------------------------
// LabHost: the agent

// In the lab's child that is about to run the agent: becomes process 1 of a
// new PID namespace, starts the agent as its child and waits for it,
// reaping whatever else is left to it, then ends with the agent's status.
// A SIGKILL to the launcher ends process 1, and with it the whole namespace.
namespace
{
[[noreturn]] void run_under_init(char **argv, char **envp)
{
    if (unshare(CLONE_NEWPID) != 0)
        _exit(126);
    pid_t init = fork();
    if (init < 0)
        _exit(126);
    if (init > 0) {
        // The launcher's parent (the test) waits for this one; it carries
        // the agent's status out, and takes process 1 down with it.
        int st = 0;
        while (waitpid(init, &st, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(st))
            _exit(WEXITSTATUS(st));
        _exit(128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0));
    }
    // Process 1: the agent's parent, as a service manager would be.  It
    // ends with the launcher, and the kernel then ends the namespace.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    pid_t agent = fork();
    if (agent < 0)
        _exit(126);
    if (agent == 0) {
        execve(argv[0], argv, envp);
        _exit(127);
    }
    for (;;) {
        int st = 0;
        pid_t r = waitpid(-1, &st, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r == agent) {
            if (WIFEXITED(st))
                _exit(WEXITSTATUS(st));
            _exit(128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0));
        }
        if (r < 0)
            _exit(126);
    }
}
} // namespace

int LabHost::start_agent()
{
    return start_agent(AgentStart{});
}

int LabHost::start_agent(const AgentStart &how)
{
    if (!netfd_.valid())
        throw std::runtime_error("lab: host " + name_ + " is not set up");
    // Only what the agent needs: its staged root, and a search path that
    // finds the stand-ins before anything real.  The sanitizer settings of
    // a sanitizer build go along so that its reports look the same.
    std::vector<std::string> env = {
        "VOLTMIRA_SYSROOT=" + root_,
        "PATH=" + root_ + "/usr/bin:" + root_ + "/bin:" + root_ + "/sbin:/usr/bin:/bin",
    };
    for (const char *v : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *s = getenv(v))
            env.push_back(std::string(v) + "=" + s);
    env.insert(env.end(), how.env.begin(), how.env.end());
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    if (!how.program.empty()) {
        char buf[PATH_MAX];
        if (realpath(how.program.c_str(), buf) == nullptr)
            throw std::runtime_error(errtext("lab: " + how.program));
        image_ = buf;
    } else {
        image_ = agent_image();
    }
    std::string image = image_;
    char *argv[] = {image.data(), nullptr};
    std::string out = at("/.lab/start.out");
    const ino_t host_net = net_ino_;
    const ino_t home_net = home().net_ino;
    const ino_t home_ipc = home().ipc_ino;

    started_ns_ = mono_ns();
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(errtext("lab: fork"));
    if (pid == 0) {
        // Into every namespace of the host, and proof of it before the
        // agent runs: it must never broadcast on the machine's own network.
        if (setns(netfd_, CLONE_NEWNET) != 0 || setns(ipcfd_, CLONE_NEWIPC) != 0 ||
            setns(utsfd_, CLONE_NEWUTS) != 0 || setns(mntfd_, CLONE_NEWNS) != 0)
            _exit(126);
        ino_t now_net = ino_of("/proc/thread-self/ns/net");
        ino_t now_ipc = ino_of("/proc/thread-self/ns/ipc");
        if (now_net != host_net || now_net == home_net || now_ipc == home_ipc || now_net == 0)
            _exit(126);
        if (chdir("/") != 0)
            _exit(126);
        int in = open("/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || o < 0)
            _exit(126);
        dup2(in, 0);
        dup2(o, 1);
        dup2(o, 2);
        closefrom(3);
        if (how.under_init)
            run_under_init(argv, envp.data());
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    if (how.under_init) {
        launcher_ = pid;
        return 0;
    }
    return reap(pid, mono_ns() + 10000000000LL);
}

int LabHost::wait_foreground(int timeout_ms)
{
    if (launcher_ < 0)
        throw std::runtime_error("lab: no agent of " + name_ + " runs in the foreground");
    int64_t deadline = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(launcher_, &st, WNOHANG);
        if (r == launcher_) {
            launcher_ = -1;
            return decode_status(st);
        }
        if (r < 0 && errno != EINTR) {
            launcher_ = -1;
            return -1;
        }
        if (mono_ns() >= deadline)
            return -1;
        pause_ms(5);
    }
}

std::vector<pid_t> LabHost::agent_pids() const
{
    // A program the engine starts (a notice to users, say) runs the agent's
    // image between its fork and its exec; it is not one of the agent's
    // processes.  A reading with more than one child of the agent is taken
    // again until that moment has passed, for up to a second (a sanitizer
    // build on loaded cores is slow to exec).
    std::vector<pid_t> out;
    for (int tries = 0;; tries++) {
        out = scan_agent_pids();
        size_t children = 0;
        for (pid_t p : out) {
            char st;
            pid_t pp;
            if (proc_stat(p, &st, &pp) && std::find(out.begin(), out.end(), pp) != out.end())
                children++;
        }
        if (children <= 1 || tries >= 50)
            return out;
        usleep(20000);
    }
}

std::vector<pid_t> LabHost::scan_agent_pids() const
{
    std::vector<pid_t> out;
    reap_agent_zombies();
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return out;
    while (struct dirent *e = readdir(d)) {
        pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        if (pid <= 0 || !runs_agent_image(pid, image_) || netns_ino_of(pid) != net_ino_)
            continue;
        if (alive(pid))
            out.push_back(pid);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

pid_t LabHost::daemon_pid() const
{
    std::vector<pid_t> pids = agent_pids();
    for (pid_t p : pids) {
        char st;
        pid_t pp;
        if (proc_stat(p, &st, &pp) && std::find(pids.begin(), pids.end(), pp) == pids.end())
            return p;
    }
    return -1;
}

pid_t LabHost::ups_pid() const
{
    std::vector<pid_t> pids = agent_pids();
    for (pid_t p : pids) {
        char st;
        pid_t pp;
        if (proc_stat(p, &st, &pp) && std::find(pids.begin(), pids.end(), pp) != pids.end())
            return p;
    }
    return -1;
}

void LabHost::remember_agent_pids()
{
    for (pid_t p : agent_pids())
        if (std::find(known_pids_.begin(), known_pids_.end(), p) == known_pids_.end())
            known_pids_.push_back(p);
}

bool LabHost::wait_agent_up(int timeout_ms)
{
    int64_t deadline = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (;;) {
        remember_agent_pids();
        pid_t d = daemon_pid();
        pid_t u = ups_pid();
        if (d > 0 && u > 0) {
            AGINFO *a = aginfo();
            if (a != nullptr && a->upspid == u)
                return true;
        }
        if (mono_ns() >= deadline)
            return false;
        pause_ms(5);
    }
}

bool LabHost::wait_agent_gone(int timeout_ms)
{
    int64_t deadline = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (;;) {
        for (pid_t p : known_pids_)
            ended(p);
        if (agent_pids().empty())
            return true;
        if (mono_ns() >= deadline)
            return false;
        pause_ms(5);
    }
}

bool LabHost::wait_pid_gone(pid_t pid, int timeout_ms)
{
    return wait_ended(pid, timeout_ms);
}

void LabHost::kill_agent()
{
    if (launcher_ > 0) {
        // The init of the agent's PID namespace: its end takes every
        // process of that namespace with it.
        kill(launcher_, SIGKILL);
        reap(launcher_, mono_ns() + 3000000000LL);
        launcher_ = -1;
    }
    if (net_ino_ == 0)
        return;
    remember_agent_pids();
    for (pid_t p : known_pids_)
        if (alive(p) && (runs_agent_image(p, image_) || netns_ino_of(p) == net_ino_))
            kill(p, SIGKILL);
    for (pid_t p : known_pids_)
        wait_ended(p, 3000);
    known_pids_.clear();
    reap_agent_zombies();
}

// ---------------------------------------------------------------------------
// LabHost: the shared segment

key_t LabHost::key() const
{
    return ftok(at(kKeyFile).c_str(), kKeyId);
}

int LabHost::segment_id()
{
    if (!ipcfd_.valid())
        return -1;
    key_t k = key();
    if (k == static_cast<key_t>(-1))
        return -1;
    Enter in(ipcfd_, CLONE_NEWIPC);
    return shmget(k, 0, 0);
}

int LabHost::attach_fresh()
{
    detach_segment();
    key_t k = key();
    if (k == static_cast<key_t>(-1))
        return -1;
    Enter in(ipcfd_, CLONE_NEWIPC);
    int id = shmget(k, 0, 0);
    if (id < 0)
        return -1;
    struct shmid_ds ds;
    if (shmctl(id, IPC_STAT, &ds) != 0 || ds.shm_segsz < sizeof(AGINFO))
        return -1;
    void *p = shmat(id, nullptr, 0);
    if (p == reinterpret_cast<void *>(-1))
        return -1;
    seg_ = static_cast<AGINFO *>(p);
    seg_id_ = id;
    return id;
}

AGINFO *LabHost::aginfo()
{
    int id = segment_id();
    if (id < 0)
        return nullptr;
    if (seg_ != nullptr && id == seg_id_)
        return seg_;
    if (attach_fresh() < 0)
        return nullptr;
    return seg_;
}

void LabHost::detach_segment()
{
    if (seg_ != nullptr)
        shmdt(seg_);
    seg_ = nullptr;
    seg_id_ = -1;
}

bool LabHost::write_request(int32_t word)
{
    AGINFO *a = aginfo();
    if (a == nullptr)
        return false;
    // The lock routines find the lock files through the staged root and the
    // record through the process's agent record: point both at this host for
    // the length of the request, as the agent manager would have them.
    std::string saved = getenv("VOLTMIRA_SYSROOT") ? getenv("VOLTMIRA_SYSROOT") : "";
    setenv("VOLTMIRA_SYSROOT", root_.c_str(), 1);
    sysroot_init();
    AGINFOP saved_aip = agent.aip;
    agent.aip = a;
    bool done = false;
    for (int attempt = 0; attempt < 180 && !done; attempt++) {
        if (net_testandsetlock() == 0) {
            a->isagentchg = word;
            net_clearlock();
            done = true;
        }
    }
    agent.aip = saved_aip;
    setenv("VOLTMIRA_SYSROOT", saved.c_str(), 1);
    sysroot_init();
    return done;
}

bool LabHost::request_stop()
{
    return write_request(-1);
}

// ---------------------------------------------------------------------------
// LabHost: running things inside

int LabHost::socket(int domain, int type, int protocol)
{
    Enter in(netfd_, CLONE_NEWNET);
    return ::socket(domain, type | SOCK_CLOEXEC, protocol);
}

std::string LabHost::run(const std::function<std::string()> &fn, int timeout_ms)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return "";
    pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return "";
    }
    if (pid == 0) {
        close(out[0]);
        if (setns(netfd_, CLONE_NEWNET) != 0 || setns(ipcfd_, CLONE_NEWIPC) != 0 ||
            setns(utsfd_, CLONE_NEWUTS) != 0 || setns(mntfd_, CLONE_NEWNS) != 0)
            _exit(126);
        std::string r;
        try {
            r = fn();
        } catch (...) {
            _exit(125);
        }
        size_t off = 0;
        while (off < r.size()) {
            ssize_t n = write(out[1], r.data() + off, r.size() - off);
            if (n <= 0)
                _exit(124);
            off += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(out[1]);
    std::string got;
    int64_t deadline = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    bool finished = drain(out[0], got, deadline);
    close(out[0]);
    int st = reap(pid, finished ? mono_ns() + 2000000000LL : mono_ns());
    return finished && st == 0 ? got : "";
}

CommandResult LabHost::run_command(const std::vector<std::string> &argv, int timeout_ms)
{
    return run_program(argv, timeout_ms, [this] {
        return setns(netfd_, CLONE_NEWNET) == 0 && setns(ipcfd_, CLONE_NEWIPC) == 0 &&
               setns(utsfd_, CLONE_NEWUTS) == 0 && setns(mntfd_, CLONE_NEWNS) == 0;
    });
}

std::string LabHost::proc_net(const std::string &file)
{
    Enter in(netfd_, CLONE_NEWNET);
    return read_or_empty("/proc/thread-self/net/" + file);
}

std::vector<std::string> LabHost::tcp_listeners()
{
    return sockets_from(proc_net("tcp"), "0A");
}

std::vector<std::string> LabHost::udp_bound()
{
    return sockets_from(proc_net("udp"), "07");
}

std::string LabHost::debug_log() const
{
    return read_or_empty(at("/.erra"));
}

std::string LabHost::console() const
{
    return read_or_empty(at("/dev/console"));
}

std::string LabHost::fake_record() const
{
    return read_or_empty(at("/.lab/record"));
}

std::vector<int> LabHost::event_ids() const
{
    std::vector<int> ids;
    const std::string log = read_or_empty(at("/usr/lib/voltmira/events.log"));
    for (size_t pos = 0; pos < log.size();) {
        size_t end = log.find('\n', pos);
        if (end == std::string::npos)
            end = log.size();
        // The id stands after the 19 characters of the record's time.
        int id = -1;
        if (end - pos > 19 && sscanf(log.substr(pos + 19, end - pos - 19).c_str(), "%d", &id) == 1)
            ids.push_back(id);
        pos = end + 1;
    }
    return ids;
}

std::string LabHost::sanitizer_reports() const
{
    std::string out;
    for (const std::string &text : {console(), read_or_empty(at("/.lab/start.out"))}) {
        size_t pos = 0;
        while (pos < text.size()) {
            size_t nl = text.find('\n', pos);
            std::string line = text.substr(pos, nl == std::string::npos ? nl : nl - pos + 1);
            pos = nl == std::string::npos ? text.size() : nl + 1;
            if (line.find("Sanitizer") != std::string::npos ||
                line.find("runtime error:") != std::string::npos)
                out += line;
        }
    }
    return out;
}

void LabHost::write_config(const std::string &text)
{
    struct stat sb;
    bool had = stat(at("/usr/lib/voltmira/config").c_str(), &sb) == 0;
    testutil::write_file(at("/usr/lib/voltmira/config"), text);
    if (had && chown(at("/usr/lib/voltmira/config").c_str(), sb.st_uid, sb.st_gid) != 0)
        throw std::runtime_error(errtext("lab: chown config"));
}

// ---------------------------------------------------------------------------
// Packets and sockets

std::string packet(uint8_t kind, const std::string &data, int16_t version, int8_t prototype)
{
    UPS_PACKET_HEAD h;
    h.Version = version;
    h.Prototype = prototype;
    h.DataId = kind;
    h.Length = static_cast<uint32_t>(sizeof h + data.size());
    return bytes_of(h) + data;
}

std::string dotted(uint32_t addr_be)
{
    struct in_addr a;
    a.s_addr = addr_be;
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

namespace
{

bool make_sockaddr(const std::string &addr, uint16_t port, struct sockaddr_in *sa)
{
    memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    return inet_pton(AF_INET, addr.c_str(), &sa->sin_addr) == 1;
}

} // namespace

Fd tcp_connect(LabHost &from, const std::string &addr, uint16_t port, int timeout_ms)
{
    struct sockaddr_in sa;
    if (!make_sockaddr(addr, port, &sa))
        return Fd();
    Fd fd(from.socket(AF_INET, SOCK_STREAM));
    if (!fd.valid())
        return Fd();
    int fl = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    int r = connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa);
    if (r != 0 && errno != EINPROGRESS)
        return Fd();
    if (r != 0) {
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, timeout_ms) != 1)
            return Fd();
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
            return Fd();
    }
    fcntl(fd, F_SETFL, fl);
    return fd;
}

Fd udp_open(LabHost &h, uint16_t port)
{
    Fd fd(h.socket(AF_INET, SOCK_DGRAM));
    if (!fd.valid())
        return Fd();
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    struct sockaddr_in sa;
    make_sockaddr("0.0.0.0", port, &sa);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0)
        return Fd();
    return fd;
}

bool send_all(int fd, const std::string &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

bool udp_send(int fd, const std::string &addr, uint16_t port, const std::string &bytes)
{
    struct sockaddr_in sa;
    if (!make_sockaddr(addr, port, &sa))
        return false;
    ssize_t n = sendto(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                       reinterpret_cast<struct sockaddr *>(&sa), sizeof sa);
    return n == static_cast<ssize_t>(bytes.size());
}

namespace
{

// Exactly want more bytes into out before the deadline.  1: done, 0: time
// out, -1: the peer closed or reset.
int read_exact(int fd, std::string &out, size_t want, int64_t deadline)
{
    while (want > 0) {
        int64_t left = (deadline - mono_ns()) / 1000000;
        if (left <= 0)
            return 0;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0)
            return 0;
        if (r < 0)
            return -1;
        char buf[65536];
        ssize_t n = recv(fd, buf, std::min(want, sizeof buf), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        out.append(buf, static_cast<size_t>(n));
        want -= static_cast<size_t>(n);
    }
    return 1;
}

} // namespace

std::string read_answer(int fd, int timeout_ms, bool *closed)
{
    int64_t deadline = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (;;) {
        int left = static_cast<int>((deadline - mono_ns()) / 1000000);
        std::string p = read_packet(fd, left > 0 ? left : 0, closed);
        bool message = p.size() >= sizeof(UPS_PACKET_HEAD) && head_of(p).DataId == PK_MESSAGE;
        if (!message)
            return p;
        if (left <= 0)
            return std::string();
    }
}

std::string read_packet(int fd, int timeout_ms, bool *closed)
{
    if (closed != nullptr)
        *closed = false;
    int64_t deadline = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    std::string p;
    int r = read_exact(fd, p, sizeof(UPS_PACKET_HEAD), deadline);
    if (r == 1) {
        uint32_t len = head_of(p).Length;
        // Nothing the agent sends comes near this; a wrong length must not
        // make the test wait for data that never comes.
        if (len > sizeof(UPS_PACKET_HEAD) && len < (1u << 20))
            r = read_exact(fd, p, len - sizeof(UPS_PACKET_HEAD), deadline);
    }
    if (r == -1 && closed != nullptr)
        *closed = true;
    return r == 1 ? p : "";
}

bool wait_closed(int fd, int timeout_ms)
{
    int64_t deadline = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (;;) {
        int64_t left = (deadline - mono_ns()) / 1000000;
        if (left <= 0)
            return false;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
    }
}

std::optional<Datagram> recv_datagram(int fd, int timeout_ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    int64_t deadline = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (;;) {
        int64_t left = (deadline - mono_ns()) / 1000000;
        if (left < 0)
            return std::nullopt;
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return std::nullopt;
        break;
    }
    char buf[65536];
    struct sockaddr_in sa;
    socklen_t len = sizeof sa;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<struct sockaddr *>(&sa), &len);
    if (n < 0)
        return std::nullopt;
    Datagram d;
    d.ns = mono_ns();
    d.bytes.assign(buf, static_cast<size_t>(n));
    d.from = dotted(sa.sin_addr.s_addr);
    d.port = ntohs(sa.sin_port);
    return d;
}

} // namespace lab
