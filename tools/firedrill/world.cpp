#include "world.h"

#include "timeline.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace firedrill
{

namespace
{

constexpr int kReadyMs = 10000;
constexpr int kReapMs = 10000;

int64_t mono_ms()
{
    return timeline_mono_ns() / 1000000;
}

ino_t ino_of(const char *path)
{
    struct stat sb;
    return stat(path, &sb) == 0 ? sb.st_ino : 0;
}

std::vector<char *> pointers(std::vector<std::string> &v)
{
    std::vector<char *> p;
    for (std::string &s : v)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

// Prepared before the keeper forks, so that the child only calls
// async-signal-safe functions.
struct AgentLaunch {
    std::vector<std::string> argv, env;
    std::vector<char *> argvp, envp;
    ino_t home_net = 0;
};
AgentLaunch launch;

// Waits for pid up to ms; true when it was reaped.
bool reap(pid_t pid, int ms)
{
    int64_t until = mono_ms() + ms;
    for (;;) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD))
            return true;
        if (mono_ms() >= until)
            return false;
        usleep(10000);
    }
}

// Process 1 of the agent's PID namespace: starts the agent, reaps whatever
// is left to it, ends when the agent's main process ends.
[[noreturn]] void run_init()
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The last proof before the agent runs: never in the machine's own
    // network namespace, where its broadcasts would reach real hosts.
    ino_t net = ino_of("/proc/thread-self/ns/net");
    if (net == 0 || net == launch.home_net)
        _exit(126);
    pid_t agent = fork();
    if (agent < 0)
        _exit(126);
    if (agent == 0) {
        int null = open("/dev/null", O_RDWR);
        if (null < 0 || chdir("/") != 0)
            _exit(126);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        closefrom(3);
        execve(launch.argvp[0], launch.argvp.data(), launch.envp.data());
        _exit(127);
    }
    for (;;) {
        int st = 0;
        pid_t r = waitpid(-1, &st, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r == agent || r < 0)
            _exit(r == agent && WIFEXITED(st) ? WEXITSTATUS(st) : 125);
    }
}

[[noreturn]] void run_keeper(int ready, int go)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    char code = 'k';
    if (unshare(CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS) != 0)
        code = 'u';
    else if (unshare(CLONE_NEWPID) != 0)
        code = 'p';
    if (write(ready, &code, 1) != 1 || code != 'k')
        _exit(1);
    close(ready);
    char c;
    ssize_t n;
    while ((n = read(go, &c, 1)) < 0 && errno == EINTR) {
    }
    if (n != 1)
        _exit(0);
    close(go);
    pid_t init = fork();
    if (init < 0)
        _exit(1);
    if (init == 0)
        run_init();
    int st = 0;
    while (waitpid(init, &st, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 1);
}

const char *ip_program()
{
    for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(p, X_OK) == 0)
            return p;
    return nullptr;
}

// ip with the given arguments inside the sandbox's network namespace; no
// shell between.  Its exit status, or -1.
int ip_in(World *w, std::vector<std::string> args)
{
    const char *ip = ip_program();
    if (ip == nullptr)
        return -1;
    args.insert(args.begin(), ip);
    std::vector<char *> argv = pointers(args);
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char *envp[] = {path, nullptr};
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        if (setns(w->net, CLONE_NEWNET) != 0)
            _exit(126);
        execve(argv[0], argv.data(), envp);
        _exit(127);
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int network(World *w, char *err, size_t errlen)
{
    if (ip_program() == nullptr) {
        snprintf(err, errlen, "the ip program (iproute2) is missing");
        return -1;
    }
    if (ip_in(w, {"link", "set", "lo", "up"}) != 0) {
        snprintf(err, errlen, "cannot bring up the sandbox's loopback");
        return -1;
    }
    // A dummy interface when the kernel has one, else a veth pair kept
    // wholly inside the sandbox.
    if (ip_in(w, {"link", "add", "drill0", "type", "dummy"}) != 0 &&
        ip_in(w, {"link", "add", "drill0", "type", "veth", "peer", "name", "drill1"}) != 0) {
        snprintf(err, errlen, "cannot make an interface in the sandbox (dummy or veth)");
        return -1;
    }
    ip_in(w, {"link", "set", "drill1", "up"});
    // Limited broadcasts (255.255.255.255) follow the default route.
    if (ip_in(w, {"addr", "add", "10.213.0.1/24", "brd", "+", "dev", "drill0"}) != 0 ||
        ip_in(w, {"link", "set", "drill0", "up"}) != 0 ||
        ip_in(w, {"route", "add", "default", "dev", "drill0"}) != 0) {
        snprintf(err, errlen, "cannot give the sandbox's interface its address and route");
        return -1;
    }
    return 0;
}

} // namespace

int world_make(World *w, const std::vector<std::string> &agent_argv,
               const std::vector<std::string> &agent_env, char *err, size_t errlen)
{
    // Everything the drill starts comes back to it when its parent ends.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    launch.argv = agent_argv;
    launch.env = agent_env;
    launch.argvp = pointers(launch.argv);
    launch.envp = pointers(launch.env);
    launch.home_net = ino_of("/proc/thread-self/ns/net");
    w->home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (w->home < 0 || launch.home_net == 0) {
        snprintf(err, errlen, "cannot open the drill's own network namespace: %s", strerror(errno));
        return -1;
    }

    int ready[2], go[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return snprintf(err, errlen, "pipe: %s", strerror(errno)), -1;
    if (pipe2(go, O_CLOEXEC) != 0) {
        close(ready[0]);
        close(ready[1]);
        return snprintf(err, errlen, "pipe: %s", strerror(errno)), -1;
    }
    w->keeper = fork();
    if (w->keeper == 0) {
        close(ready[0]);
        close(go[1]);
        run_keeper(ready[1], go[0]);
    }
    close(ready[1]);
    close(go[0]);
    w->go = go[1];
    if (w->keeper < 0) {
        close(ready[0]);
        return snprintf(err, errlen, "fork: %s", strerror(errno)), -1;
    }
    char code = 0;
    struct pollfd p = {ready[0], POLLIN, 0};
    if (poll(&p, 1, kReadyMs) != 1 || read(ready[0], &code, 1) != 1)
        code = '?';
    close(ready[0]);
    if (code != 'k') {
        snprintf(err, errlen, "cannot make the sandbox's namespaces (%s)",
                 code == 'u'   ? "network, IPC, UTS"
                 : code == 'p' ? "PID"
                               : "no answer");
        return -1;
    }
    std::string ns = "/proc/" + std::to_string(w->keeper) + "/ns/net";
    w->net = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat sb;
    if (w->net < 0 || fstat(w->net, &sb) != 0 || sb.st_ino == launch.home_net) {
        snprintf(err, errlen, "cannot hold the sandbox's network namespace");
        return -1;
    }
    return network(w, err, errlen);
}

int world_start_ups(World *w, const std::vector<std::string> &argv_in,
                    const std::vector<std::string> &env_in, const std::string &control, char *err,
                    size_t errlen)
{
    std::vector<std::string> args = argv_in, env = env_in;
    std::vector<char *> argv = pointers(args), envp = pointers(env);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return snprintf(err, errlen, "pipe: %s", strerror(errno)), -1;
    w->ups_socket = control;
    w->ups = fork();
    if (w->ups == 0) {
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, 0);
        dup2(out[1], 1);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    if (w->ups < 0) {
        close(out[0]);
        return snprintf(err, errlen, "fork: %s", strerror(errno)), -1;
    }
    std::string said;
    int64_t until = mono_ms() + kReadyMs;
    while (said.find("ready\n") == std::string::npos && mono_ms() < until) {
        struct pollfd p = {out[0], POLLIN, 0};
        if (poll(&p, 1, 100) != 1)
            continue;
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        said.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    if (said.find("ready\n") == std::string::npos) {
        snprintf(err, errlen, "the test UPS %s did not start", argv_in[0].c_str());
        return -1;
    }
    return 0;
}

int world_start_agent(World *w)
{
    char g = 'g';
    if (w->go < 0 || write(w->go, &g, 1) != 1)
        return -1;
    close(w->go);
    w->go = -1;
    return 0;
}

int world_in_sandbox(World *w, int (*fn)(void *), void *arg)
{
    if (w->net < 0 || w->home < 0 || setns(w->net, CLONE_NEWNET) != 0)
        return -1;
    int rc = fn(arg);
    // Not getting back would leave the drill's later sockets in the sandbox:
    // harmless for the machine, but a sign that something is badly off.
    if (setns(w->home, CLONE_NEWNET) != 0)
        _exit(2);
    return rc;
}

int world_ups(World *w, const std::string &command, std::string &answer)
{
    answer.clear();
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (w->ups_socket.size() >= sizeof a.sun_path) {
        close(fd);
        return -1;
    }
    memcpy(a.sun_path, w->ups_socket.c_str(), w->ups_socket.size());
    std::string line = command + "\n";
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0 ||
        write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        close(fd);
        return -1;
    }
    int64_t until = mono_ms() + 5000;
    while (answer.find('\n') == std::string::npos && answer.size() < 512 && mono_ms() < until) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) != 1)
            continue;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    answer = answer.substr(0, answer.find('\n'));
    return answer.compare(0, 2, "OK") == 0 ? 0 : -1;
}

bool world_agent_alive(World *w)
{
    if (w->keeper < 0)
        return false;
    int st = 0;
    pid_t r = waitpid(w->keeper, &st, WNOHANG);
    if (r == w->keeper) {
        w->agent_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        w->keeper = -1;
        return false;
    }
    return true;
}

void world_stop(World *w)
{
    if (w->go >= 0) {
        close(w->go);
        w->go = -1;
    }
    if (w->keeper > 0) {
        kill(w->keeper, SIGKILL);
        reap(w->keeper, kReapMs);
        w->keeper = -1;
    }
    if (w->ups > 0) {
        kill(w->ups, SIGTERM);
        if (!reap(w->ups, kReapMs)) {
            kill(w->ups, SIGKILL);
            reap(w->ups, kReapMs);
        }
        w->ups = -1;
    }
    // The namespace's process 1 (and a stand-in caught mid-way) came back
    // to the drill as their subreaper when the keeper ended: reap them too.
    int64_t until = mono_ms() + kReapMs;
    for (;;) {
        pid_t r = waitpid(-1, nullptr, WNOHANG);
        if (r < 0 && errno == ECHILD)
            break;
        if (r == 0 && mono_ms() >= until)
            break;
        if (r == 0)
            usleep(10000);
    }
    if (w->net >= 0)
        close(w->net);
    if (w->home >= 0)
        close(w->home);
    w->net = w->home = -1;
}

} // namespace firedrill
