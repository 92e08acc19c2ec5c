// The UPS channel process at real line speed: how often it polls, how long
// a command from the daemon waits before it reaches the line while polls
// are running, and how long it takes to notice that the UPS went silent and
// that it came back.
//
// ups_doupschan runs in a child process on real pipes, with the shared
// record in shared memory, against the test UPS paced at 2400 baud on a
// staged serial port; this program plays the daemon.
//   period    start of one poll to the start of the next (Q1 received),
//             and the poll's own length on the wire (from the host's first
//             byte of "Q1" to the last byte of the last reply)
//   latency   a "buzzer enable" word written on the pipe at random moments
//             (20-500 ms apart) to the moment its first byte went onto the
//             line (the test UPS stamps a command when its CR has arrived:
//             three byte times later)
//   loss      the unit goes silent: until CommStatus is 17; it answers
//             again: until CommStatus is 2
// Everything runs in a temporary system root; nothing of the host is used.
#include "agent/agent.h"
#include "agent/agent_ups.h"
#include "agent/sysroot.h"

#include "stats.h"
#include "upssim_harness.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <random>
#include <string>
#include <sys/mman.h>
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

using bench::percentile;

constexpr double byte_ms = 10.0 / 2400 * 1000; // one byte at 2400 baud, 8N1

void sleep_ms(double ms)
{
    struct timespec ts = {static_cast<time_t>(ms / 1000),
                          static_cast<long>((ms - 1000 * static_cast<long>(ms / 1000)) * 1e6)};
    nanosleep(&ts, nullptr);
}

using Entry = testutil::UpsSim::Entry;
using testutil::mono_ns;

// What the test UPS logged from the moment from on.
std::vector<Entry> since(const testutil::UpsSim &sim, int64_t from)
{
    std::vector<Entry> out;
    for (const Entry &e : sim.transcript())
        if (e.ns >= from)
            out.push_back(e);
    return out;
}

struct Channel {
    pid_t pid = -1;
    int cmd = -1;

    bool start(AGINFO *info)
    {
        int act[2], pas[2];
        if (pipe(act) != 0 || pipe(pas) != 0)
            return false;
        fflush(nullptr);
        pid = fork();
        if (pid == 0) {
            close(act[1]);
            close(pas[0]);
            static AGENT ag;
            ag.chna2u.actpipe[0] = act[0];
            ag.chna2u.actpipe[1] = -1;
            ag.chna2u.paspipe[0] = -1;
            ag.chna2u.paspipe[1] = pas[1];
            ag.aip = info;
            ups_doupschan(&ag);
            _exit(99);
        }
        close(act[0]);
        close(pas[1]);
        close(pas[0]); // no word sent here is answered
        cmd = act[1];
        return pid > 0;
    }
    void stop()
    {
        // The daemon going away ends the process; the kill is for one that
        // does not notice.
        if (cmd >= 0)
            close(cmd);
        cmd = -1;
        if (pid <= 0)
            return;
        for (int i = 0; i < 300 && waitpid(pid, nullptr, WNOHANG) == 0; i++)
            sleep_ms(10);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

int8_t comm_status(const AGINFO *info)
{
    return __atomic_load_n(&info->ups.ui.CommStatus, __ATOMIC_SEQ_CST);
}

// Seconds until CommStatus is want, or -1 after timeout_s.
double wait_status(const AGINFO *info, int8_t want, double timeout_s)
{
    int64_t t0 = mono_ns();
    while (comm_status(info) != want) {
        if ((mono_ns() - t0) / 1e9 > timeout_s)
            return -1;
        sleep_ms(1);
    }
    return (mono_ns() - t0) / 1e9;
}

// Each poll runs from the host's first byte of its "Q1" (Q1 retries follow
// at once; a Q1 half a second after the last one starts a new poll) to the
// last byte of the reply to "V2", the last query a QE1000 gets.
void polls(const std::vector<Entry> &es, std::vector<double> *period_ms,
           std::vector<double> *length_ms)
{
    int64_t start = -1, prev_q1 = -1;
    bool v2 = false;
    for (const Entry &e : es) {
        if (e.kind == "RX" && e.bytes == "Q1\r") {
            int64_t s = e.ns - static_cast<int64_t>(3 * byte_ms * 1e6);
            if (prev_q1 < 0 || e.ns - prev_q1 > 500000000) {
                if (start >= 0)
                    period_ms->push_back((s - start) / 1e6);
                start = s;
            }
            prev_q1 = e.ns;
        } else if (e.kind == "RX") {
            v2 = e.bytes == "V2\r";
        } else if (e.kind == "TX" && v2) {
            // A reply's bytes reach the host a byte time apart, the first
            // one a byte time after the stamp.
            v2 = false;
            double end =
                static_cast<double>(e.ns) + static_cast<double>(e.bytes.size()) * byte_ms * 1e6;
            if (start >= 0)
                length_ms->push_back((end - static_cast<double>(start)) / 1e6);
        }
    }
}

int run(AGINFO *info, testutil::UpsSim &sim)
{
    Channel chan;
    info->ups.up.workparam.ComSet = 1;
    info->ups.ui.CommStatus = COMM_LOST;
    info->ups.ui.ComId = COMID_NONE;
    if (!chan.start(info))
        return -1;
    int rc = 0;
    if (wait_status(info, COMM_ESTABLISHED, 20) < 0) {
        fprintf(stderr, "channel: the UPS was not found\n");
        chan.stop();
        return -1;
    }

    // Polls undisturbed.
    int64_t p0 = mono_ns();
    sleep_ms(8000);
    std::vector<double> period, length;
    polls(since(sim, p0), &period, &length);
    printf("poll period   %zu periods: median %.1f ms, min %.1f, max %.1f; %zu polls on the "
           "wire: median %.1f ms, max %.1f\n",
           period.size(), percentile(period, 50), percentile(period, 0), percentile(period, 100),
           length.size(), percentile(length, 50), percentile(length, 100));

    // Commands among the polls.
    const int count = 200;
    std::mt19937 rng(2400);
    std::uniform_real_distribution<double> gap(20, 500);
    std::vector<int64_t> sent;
    int64_t c0 = mono_ns();
    for (int i = 0; i < count; i++) {
        sleep_ms(gap(rng));
        uint32_t w = UPSCMD_BUZZERON;
        sent.push_back(mono_ns());
        if (write(chan.cmd, &w, sizeof w) != sizeof w) {
            fprintf(stderr, "channel: the command pipe failed\n");
            rc = -1;
            break;
        }
    }
    sleep_ms(3000);
    std::vector<Entry> es = since(sim, c0);
    std::vector<double> lat, cperiod, clength;
    size_t k = 0;
    for (const Entry &e : es) {
        if (e.kind != "RX" || e.bytes != "Bn\r" || k >= sent.size())
            continue;
        double first_byte = static_cast<double>(e.ns) - 3 * byte_ms * 1e6;
        lat.push_back((first_byte - static_cast<double>(sent[k++])) / 1e6);
    }
    polls(es, &cperiod, &clength);
    if (lat.size() != sent.size()) {
        fprintf(stderr, "channel: %zu of %zu commands reached the line\n", lat.size(), sent.size());
        rc = -1;
    }
    printf("command       %zu words: latency median %.1f ms, p90 %.1f, max %.1f; "
           "longest poll meanwhile %.1f ms; poll period meanwhile median %.1f ms\n",
           lat.size(), percentile(lat, 50), percentile(lat, 90), percentile(lat, 100),
           percentile(clength, 100), percentile(cperiod, 50));

    // Silence and return, twice.
    for (int trial = 1; trial <= 2; trial++) {
        sleep_ms(1500);
        sim.control("silence on");
        double lost = wait_status(info, COMM_LOST, 30);
        sim.control("silence off");
        double back = wait_status(info, COMM_ESTABLISHED, 30);
        printf(
            "loss %d        silent to CommStatus 17: %.2f s; answering to CommStatus 2: %.2f s\n",
            trial, lost, back);
        if (lost < 0 || back < 0)
            rc = -1;
    }
    chan.stop();
    return rc;
}

} // namespace

int main()
{
    // A system root of our own before anything reads a path.
    char root[] = "/tmp/voltmira-bench.XXXXXX";
    if (mkdtemp(root) == nullptr) {
        perror("channel: mkdtemp");
        return 1;
    }
    std::string dev = std::string(root) + "/dev";
    mkdir(dev.c_str(), 0755);
    setenv("VOLTMIRA_SYSROOT", root, 1);
    if (sysroot_init() != 0)
        return 1;
    // The channel process may outlive a write of ours on its pipe.
    signal(SIGPIPE, SIG_IGN);

    void *m =
        mmap(nullptr, sizeof(AGINFO), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) {
        perror("channel: mmap");
        return 1;
    }
    AGINFO *info = new (m) AGINFO{};
    int rc = 1;
    try {
        testutil::UpsSim::Options opt;
        opt.port = 0;
        opt.pace = true;
        testutil::UpsSim sim(opt);
        printf("UPS channel process against the test UPS at 2400 baud (QE1000)\n");
        rc = run(info, sim) == 0 ? 0 : 1;
    } catch (const std::exception &e) {
        fprintf(stderr, "channel: the test UPS did not start: %s\n", e.what());
    }
    munmap(m, sizeof(AGINFO));
    std::string log = sysroot_path(SP_DEBUGLOG);
    unlink(log.c_str());
    rmdir(dev.c_str());
    rmdir(root);
    return rc;
}
