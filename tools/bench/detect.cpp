// Detection benchmark: how soon a monitor hears of a mains failure and of
// the mains return.  The real agent runs in a lab host (tests/lab) with the
// test UPS paced at 2400 baud on its first serial port; the monitors sit on
// other lab hosts.
//
//   bench/detect [--failures N] [--push N] [--seed S]
//
// Prints:
//   - the wire time of one Q1 exchange at 2400 baud (the floor of any
//     detection: the agent learns of the mains only from that answer), as
//     bytes on the wire and as seen on the test UPS's line;
//   - over --failures mains failures (default 20) at random moments of the
//     agent's polling: the time from the mains going off at the UPS to the
//     first message (kind 79) at a connected monitor, and from the mains
//     coming back to its message; minimum, median, maximum;
//   - over --push mains failures and returns (default 5 of each) with 64
//     monitors connected: the time from the first to the last monitor
//     reached by one message (as read here, one socket after the other: an
//     upper bound), and from the change to the last monitor.
// The agent's battery life is set long enough that no run reaches a
// shutdown.  Needs root (namespaces); exits 2 when the lab cannot be made.
#include "interrupt.h"
#include "lab/lab.h"
#include "testutil.h"
#include "upssim_harness.h"
#include "stats.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using bench::catch_signals;
using bench::check_interrupted;
using bench::percentile;

using lab::Fd;
using lab::LabHost;
using testutil::mono_ns;

struct Options {
    int failures = 20;
    int push = 5;
    unsigned seed = 0;
};

void usage()
{
    fprintf(stderr, "usage: detect [--failures N] [--push N] [--seed S]\n");
    exit(2);
}

Options parse(int argc, char **argv)
{
    Options o;
    o.seed = static_cast<unsigned>(mono_ns());
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            usage();
        long v = atol(argv[++i]);
        if (v <= 0)
            usage();
        if (a == "--failures")
            o.failures = static_cast<int>(v);
        else if (a == "--push")
            o.push = static_cast<int>(v);
        else if (a == "--seed")
            o.seed = static_cast<unsigned>(v);
        else
            usage();
    }
    return o;
}

void summary(const char *what, const std::vector<double> &ms)
{
    printf("%s, %zu runs: min %.0f ms, median %.0f ms, max %.0f ms\n", what, ms.size(),
           percentile(ms, 0), percentile(ms, 50), percentile(ms, 100));
}

// Monitors: the arrival of messages (kind 79) on a set of connections.
struct Monitors {
    std::vector<Fd> fds;

    // Arrival time of the first message at each monitor after now whose
    // text begins with prefix; 0 where none came within ms.
    std::vector<int64_t> wait(const std::string &prefix, int ms)
    {
        std::vector<int64_t> got(fds.size(), 0);
        size_t n = 0;
        std::vector<struct pollfd> ps;
        for (Fd &f : fds)
            ps.push_back({f.get(), POLLIN, 0});
        int64_t end = mono_ns() + static_cast<int64_t>(ms) * 1000000;
        while (n < fds.size() && mono_ns() < end) {
            check_interrupted();
            if (poll(ps.data(), ps.size(), 10) <= 0)
                continue;
            for (size_t i = 0; i < ps.size(); i++) {
                if (!(ps[i].revents & POLLIN))
                    continue;
                std::string p = lab::read_packet(ps[i].fd, 1000);
                // Stamped as read, one monitor after the other: for many
                // monitors ready at once this adds the reading itself.
                int64_t now = mono_ns();
                if (p.empty())
                    throw std::runtime_error("a monitor lost its connection");
                if (lab::head_of(p).DataId == PK_MESSAGE && got[i] == 0 &&
                    p.compare(8, prefix.size(), prefix) == 0) {
                    got[i] = now;
                    n++;
                }
            }
        }
        return got;
    }
    // Whatever else came (further messages of the same change).
    void drain()
    {
        char sink[65536];
        for (Fd &f : fds)
            while (recv(f, sink, sizeof sink, MSG_DONTWAIT) > 0) {
            }
    }
};

// When the UPS changed its mains: the test UPS notes it on its transcript.
int64_t mains_change(testutil::UpsSim &ups, const char *to)
{
    std::string cmd = std::string("mains ") + to;
    ups.clear_transcript();
    if (ups.control(cmd) != "OK")
        throw std::runtime_error("the test UPS refused: " + cmd);
    auto ev = ups.wait_event(cmd, 2000);
    if (!ev)
        throw std::runtime_error("the test UPS did not note: " + cmd);
    return ev->ns;
}

const char kFailText[] = "UPS Ac fail";
const char kReturnText[] = "UPS AC Restore";

// The Q1 exchanges of the transcript since its mark: the measured time from
// the command's CR on the line to the last byte of the reply.
std::vector<double> q1_exchanges(const testutil::UpsSim &ups, size_t *reply_len)
{
    std::vector<double> ms;
    std::vector<testutil::UpsSim::Entry> t = ups.transcript();
    for (size_t i = 0; i + 1 < t.size(); i++) {
        if (t[i].kind != "RX" || t[i].bytes != "Q1\r" || t[i + 1].kind != "TX")
            continue;
        *reply_len = t[i + 1].bytes.size();
        double out_ms = static_cast<double>(t[i + 1].bytes.size()) * 10 * 1000 / 2400;
        ms.push_back(static_cast<double>(t[i + 1].ns - t[i].ns) / 1e6 + out_ms);
    }
    return ms;
}

// The commands on the line since the mark: how far apart the Q1 polls
// are, and what else the agent asks between them.
void poll_pattern(const testutil::UpsSim &ups, const char *mains)
{
    std::vector<double> gaps;
    int64_t prev = 0;
    std::string others;
    for (const auto &e : ups.transcript("RX")) {
        if (e.bytes == "Q1\r") {
            if (prev != 0)
                gaps.push_back(static_cast<double>(e.ns - prev) / 1e6);
            prev = e.ns;
        } else if (others.size() < 60) {
            others += " " + e.bytes.substr(0, e.bytes.size() - 1);
        }
    }
    printf("mains %s: Q1 every %.0f ms (median of %zu gaps); other commands:%s\n", mains,
           percentile(gaps, 50), gaps.size(), others.empty() ? " none" : others.c_str());
}

void run(const Options &opt, lab::LabNet &net)
{
    lab::HostOptions ho;
    // No shutdown, ever; a warning at once for every failure.
    ho.config = "[ UPS ]\nAgentType = 4\n[ ShutDown ]\nEXPECTBLIFE = 36000\nFIRSTWARN = 0\n"
                "INTERVAL = 36000\n";
    LabHost &a = net.add_host("a", ho);
    std::vector<LabHost *> mons;
    // At most 16 connections come from one address.
    for (int i = 1; i <= 4; i++)
        mons.push_back(&net.add_host("m" + std::to_string(i)));
    testutil::UpsSim::Options uo;
    uo.pace = true;
    testutil::UpsSim &ups = a.attach_ups(uo);
    printf("lab: agent at %s, test UPS %s on ttyS0 paced at 2400 baud; seed %u\n", a.addr().c_str(),
           ups.get("model").c_str(), opt.seed);

    if (a.start_agent() != 0 || !a.wait_agent_up(10000))
        throw std::runtime_error("the agent did not start");
    AGINFO *ai = a.aginfo();
    int64_t t = mono_ns();
    while (ai->ups.ui.CommStatus != COMM_ESTABLISHED && mono_ns() - t < 30000000000LL) {
        check_interrupted();
        testutil::sleep_ms(20);
    }
    if (ai->ups.ui.CommStatus != COMM_ESTABLISHED)
        throw std::runtime_error("the agent never reached the test UPS");

    // --- the floor, and how often the line carries a Q1 ------------------------
    size_t reply_len = 0;
    std::vector<double> q1;
    for (const char *mains : {"on", "off"}) {
        if (ups.get("mains") != mains)
            mains_change(ups, mains);
        testutil::sleep_ms(1500);
        ups.clear_transcript();
        testutil::sleep_ms(6000);
        std::vector<double> x = q1_exchanges(ups, &reply_len);
        q1.insert(q1.end(), x.begin(), x.end());
        poll_pattern(ups, mains);
    }
    mains_change(ups, "on");
    printf("one Q1 exchange at 2400 baud: %zu bytes on the wire = %.1f ms (floor); on the test "
           "UPS's line, CR of the command to last byte of the reply: median %.1f ms over %zu\n",
           3 + reply_len, static_cast<double>(3 + reply_len) * 10 * 1000 / 2400, percentile(q1, 50),
           q1.size());

    // --- one monitor, failures at random moments --------------------------------
    std::mt19937 rng(opt.seed);
    std::uniform_int_distribution<int> pause_ms(1000, 3000);
    Monitors one;
    one.fds.push_back(lab::tcp_connect(*mons[0], a.addr(), NET_PORT_AGENT_TCP));
    if (!one.fds[0].valid())
        throw std::runtime_error("the monitor could not connect");
    testutil::sleep_ms(1500);
    one.drain();
    std::vector<double> fail_ms, back_ms;
    for (int i = 0; i < opt.failures; i++) {
        testutil::sleep_ms(pause_ms(rng));
        int64_t off = mains_change(ups, "off");
        int64_t heard = one.wait(kFailText, 10000)[0];
        if (heard == 0)
            throw std::runtime_error("no message for a mains failure within 10 s");
        fail_ms.push_back(static_cast<double>(heard - off) / 1e6);
        testutil::sleep_ms(pause_ms(rng));
        int64_t on = mains_change(ups, "on");
        heard = one.wait(kReturnText, 10000)[0];
        if (heard == 0)
            throw std::runtime_error("no message for a mains return within 10 s");
        back_ms.push_back(static_cast<double>(heard - on) / 1e6);
    }
    summary("mains failure at the UPS to its first message at a monitor", fail_ms);
    summary("mains return at the UPS to its message at a monitor", back_ms);
    one.fds.clear();

    // --- 64 monitors ---------------------------------------------------------
    Monitors all;
    for (int i = 0; i < 64; i++) {
        all.fds.push_back(
            lab::tcp_connect(*mons[static_cast<size_t>(i / 16)], a.addr(), NET_PORT_AGENT_TCP));
        if (!all.fds.back().valid())
            throw std::runtime_error("monitor " + std::to_string(i) + " could not connect");
    }
    testutil::sleep_ms(1500);
    all.drain();
    std::vector<double> spread_us, last_ms;
    for (int i = 0; i < opt.push * 2; i++) {
        testutil::sleep_ms(pause_ms(rng));
        bool failing = i % 2 == 0;
        int64_t change = mains_change(ups, failing ? "off" : "on");
        std::vector<int64_t> got = all.wait(failing ? kFailText : kReturnText, 10000);
        if (std::count(got.begin(), got.end(), 0) > 0)
            throw std::runtime_error("a monitor missed a message");
        int64_t first = *std::min_element(got.begin(), got.end());
        int64_t last = *std::max_element(got.begin(), got.end());
        spread_us.push_back(static_cast<double>(last - first) / 1e3);
        last_ms.push_back(static_cast<double>(last - change) / 1e6);
    }
    printf("one message to 64 monitors, %zu mains changes: first to last monitor (as read) median "
           "%.0f us, "
           "max %.0f us; change at the UPS to the last monitor median %.0f ms, max %.0f ms\n",
           spread_us.size(), percentile(spread_us, 50), percentile(spread_us, 100),
           percentile(last_ms, 50), percentile(last_ms, 100));
    if (ups.get("mains") != "on")
        mains_change(ups, "on");
}

} // namespace

int main(int argc, char **argv)
{
    Options opt = parse(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    catch_signals();
    std::unique_ptr<lab::LabNet> net;
    try {
        net = std::make_unique<lab::LabNet>();
    } catch (const lab::Unavailable &e) {
        fprintf(stderr, "detect: no lab here: %s\n", e.what());
        return 2;
    }
    try {
        run(opt, *net);
    } catch (const std::exception &e) {
        fprintf(stderr, "detect: %s\n", e.what());
        return 1;
    }
    return 0;
}
