// Cost of one full poll against the test UPS at real line speed, beside the
// least the line allows, and the time taken to decide that a silent UPS is
// gone.
//
// For each unit (a QR, a QA and a bracket-variant QE350) the simulator runs
// paced at 2400 baud.  The unit is found, polled once to settle (the first
// poll after a search asks the model in both forms), then:
//   poll      one ups_getupsstatus, timed on the monotonic clock
//   wire      every byte both ways during that poll, from the transcript,
//             at 10 bits per byte and 2400 bit/s: what a real line takes
//   over      (poll - wire) per exchange: what the host side adds
//   loss      the line goes silent; a failing poll and verify_commlost, as
//             the channel loop runs them, until the loss is decided
// Everything runs in a temporary system root; nothing of the host is used.
#include "agent/agent.h"
#include "agent/agent_ups.h"
#include "agent/sysroot.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef VOLTMIRA_UPSSIM_PATH
#error "the benchmark must be told where the upssim program is"
#endif

namespace
{

int64_t mono_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The simulator's escapes undone, counting bytes only.
size_t unescaped_size(const std::string &s)
{
    size_t n = 0;
    for (size_t i = 0; i < s.size(); i++, n++) {
        if (s[i] != '\\' || i + 1 >= s.size())
            continue;
        i++;
        if (s[i] == 'x')
            i += 2;
    }
    return n;
}

struct Sim {
    pid_t pid = -1;
    std::string dir, ctl, transcript;

    bool start(const std::string &model, const std::string &link)
    {
        char tmpl[] = "/tmp/voltmira-bench-sim.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return false;
        dir = tmpl;
        ctl = dir + "/ctl";
        transcript = dir + "/transcript";
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            execl(VOLTMIRA_UPSSIM_PATH, VOLTMIRA_UPSSIM_PATH, "--link", link.c_str(), "--model",
                  model.c_str(), "--control", ctl.c_str(), "--transcript", transcript.c_str(),
                  "--pace", "--die-with-parent", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string got;
        char buf[64];
        struct pollfd p = {out[0], POLLIN, 0};
        while (got.find("ready\n") == std::string::npos && poll(&p, 1, 5000) > 0) {
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        close(out[0]);
        return got.find("ready\n") != std::string::npos;
    }

    std::string control(const std::string &cmd)
    {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un sa = {};
        sa.sun_family = AF_UNIX;
        snprintf(sa.sun_path, sizeof sa.sun_path, "%s", ctl.c_str());
        std::string line = cmd + "\n", answer;
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) == 0 &&
            write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
            char buf[256];
            ssize_t n;
            while (answer.find('\n') == std::string::npos && (n = read(fd, buf, sizeof buf)) > 0)
                answer.append(buf, static_cast<size_t>(n));
        }
        close(fd);
        return answer.substr(0, answer.find('\n'));
    }

    // Bytes that crossed the line (both ways) and commands sent, between
    // two instants.
    void traffic(int64_t from, int64_t to, size_t *bytes, int *commands) const
    {
        *bytes = 0;
        *commands = 0;
        FILE *f = fopen(transcript.c_str(), "r");
        if (f == nullptr)
            return;
        char *line = nullptr;
        size_t cap = 0;
        while (getline(&line, &cap, f) > 0) {
            long long ns;
            char kind[8];
            int off = 0;
            if (sscanf(line, "%lld %7s %n", &ns, kind, &off) < 2 || ns < from || ns > to)
                continue;
            std::string body = line + off;
            if (!body.empty() && body.back() == '\n')
                body.pop_back();
            bool rx = strcmp(kind, "RX") == 0;
            if (rx || strcmp(kind, "TX") == 0)
                *bytes += unescaped_size(body);
            if (rx)
                (*commands)++;
        }
        free(line);
        fclose(f);
    }

    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
        unlink(transcript.c_str());
        rmdir(dir.c_str());
    }
};

int run(const char *model, AGENT *ag)
{
    AGINFO *aip = ag->aip;
    *aip = AGINFO{};
    aip->ups.ui.CommStatus = COMM_LOST;
    aip->ups.up.workparam.ComSet = 1;
    ups_init();
    Sim sim;
    if (!sim.start(model, sysroot_ttypath(0))) {
        fprintf(stderr, "poll: the test UPS did not start\n");
        return -1;
    }
    int rc = -1;
    if (ups_comsearch_model(ag) >= 0 && ups_getupsstatus(ag) == 0) {
        aip->ups.ui.CommStatus = COMM_ESTABLISHED;
        // The transcript stamps a received command when its CR would have
        // arrived; start the count just before the first byte is written.
        int64_t t0 = mono_ns();
        int prc = ups_getupsstatus(ag);
        int64_t t1 = mono_ns();
        usleep(100000); // the last entries reach the transcript
        size_t bytes;
        int cmds;
        sim.traffic(t0, t1, &bytes, &cmds);
        double poll_ms = (t1 - t0) / 1e6;
        double wire_ms = bytes * 10.0 / 2400 * 1000;

        sim.control("silence on");
        int64_t l0 = mono_ns();
        int lost = 0;
        while (!lost) {
            if (ups_getupsstatus(ag) != 0)
                lost = verify_commlost(ag) != 0;
        }
        double loss_s = (mono_ns() - l0) / 1e9;
        printf("%-8s %4s %8.1f %8.1f %6zu %5d %9.2f %7.2f\n", model, prc == 0 ? "ok" : "FAIL",
               poll_ms, wire_ms, bytes, cmds, cmds ? (poll_ms - wire_ms) / cmds : 0.0, loss_s);
        rc = prc;
    } else {
        fprintf(stderr, "poll: %s was not found on the line\n", model);
    }
    ups_fini();
    sim.stop();
    return rc;
}

} // namespace

int main()
{
    // A system root of our own before anything reads a path.
    char root[] = "/tmp/voltmira-bench.XXXXXX";
    if (mkdtemp(root) == nullptr) {
        perror("poll: mkdtemp");
        return 1;
    }
    std::string dev = std::string(root) + "/dev";
    mkdir(dev.c_str(), 0755);
    setenv("VOLTMIRA_SYSROOT", root, 1);
    if (sysroot_init() != 0)
        return 1;

    static AGINFO info;
    agent.aip = &info;
    printf("one poll at 2400 baud (ms), host overhead per exchange (ms), loss decision (s)\n");
    printf("%-8s %4s %8s %8s %6s %5s %9s %7s\n", "unit", "poll", "time", "wire", "bytes", "cmds",
           "over/cmd", "loss");
    int failed = 0;
    for (const char *model : {"QR200ZB", "QA1500", "QE350"}) {
        if (run(model, &agent) != 0)
            failed = 1;
    }
    std::string log = sysroot_path(SP_DEBUGLOG);
    unlink(log.c_str());
    rmdir(dev.c_str());
    rmdir(root);
    return failed;
}
