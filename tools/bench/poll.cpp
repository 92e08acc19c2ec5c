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

#include "upssim_harness.h"

#include <memory>

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

using testutil::mono_ns;

// Bytes that crossed the line (both ways) and commands sent, between from
// and to.
void traffic(const testutil::UpsSim &sim, int64_t from, int64_t to, size_t *bytes, int *commands)
{
    *bytes = 0;
    *commands = 0;
    for (const testutil::UpsSim::Entry &e : sim.transcript()) {
        if (e.ns < from || e.ns > to)
            continue;
        bool rx = e.kind == "RX";
        if (rx || e.kind == "TX")
            *bytes += e.bytes.size();
        if (rx)
            (*commands)++;
    }
}

int run(const char *model, AGENT *ag)
{
    AGINFO *aip = ag->aip;
    *aip = AGINFO{};
    aip->ups.ui.CommStatus = COMM_LOST;
    aip->ups.up.workparam.ComSet = 1;
    ups_init();
    testutil::UpsSim::Options opt;
    opt.model = model;
    opt.port = 0;
    opt.pace = true;
    std::unique_ptr<testutil::UpsSim> sim;
    try {
        sim = std::make_unique<testutil::UpsSim>(opt);
    } catch (const std::exception &e) {
        fprintf(stderr, "poll: the test UPS did not start: %s\n", e.what());
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
        traffic(*sim, t0, t1, &bytes, &cmds);
        double poll_ms = (t1 - t0) / 1e6;
        double wire_ms = bytes * 10.0 / 2400 * 1000;

        sim->control("silence on");
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
