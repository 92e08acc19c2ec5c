// Running the real voltmiracfg from a test: its arguments, its standard
// output and error and its exit status, in the staged system root of the
// test process (VOLTMIRA_SYSROOT is inherited).
#ifndef VOLTMIRA_TESTS_CFGTOOL_CFG_RUN_H
#define VOLTMIRA_TESTS_CFGTOOL_CFG_RUN_H

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef VOLTMIRA_VOLTMIRACFG_PATH
#error "the test build must say where the voltmiracfg program is"
#endif

namespace cfgtest
{

struct Run {
    int status = -1; // exit status; 128 + signal when killed
    std::string out;
    std::string err;
};

inline std::vector<char *> argv_of(std::vector<std::string> &args)
{
    std::vector<char *> v;
    for (std::string &a : args)
        v.push_back(a.data());
    v.push_back(nullptr);
    return v;
}

// Runs voltmiracfg with args; setup runs in the child just before exec.  A
// run that outlives timeout_s is killed (by its pid) and shows as signal 9.
inline Run run(std::vector<std::string> args, const std::function<void()> &setup = {},
               int timeout_s = 60)
{
    args.insert(args.begin(), VOLTMIRA_VOLTMIRACFG_PATH);
    std::vector<char *> argv = argv_of(args);
    int po[2], pe[2];
    Run r;
    if (pipe2(po, O_CLOEXEC) != 0 || pipe2(pe, O_CLOEXEC) != 0)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(po[1], 1);
        dup2(pe[1], 2);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        if (setup)
            setup();
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(po[1]);
    close(pe[1]);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool killed = false;
    struct pollfd p[2] = {{po[0], POLLIN, 0}, {pe[0], POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0) {
        if (poll(p, 2, 200) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (p[i].fd < 0 || p[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            } else {
                close(p[i].fd);
                p[i].fd = -1;
                open_fds--;
            }
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (!killed && now.tv_sec - start.tv_sec > timeout_s) {
            kill(pid, SIGKILL);
            killed = true;
        }
    }
    for (struct pollfd &q : p) {
        if (q.fd >= 0)
            close(q.fd);
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

} // namespace cfgtest

#endif
