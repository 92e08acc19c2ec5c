// upssim: a test UPS.  It plays the UPS end of the serial protocol on a
// pseudo-terminal and publishes the slave side as a symbolic link, so that
// the agent finds it exactly as it finds a serial port (stat, open, isatty
// and termios are all real).  Nobody here has the unit; every later test,
// demo and benchmark talks to this instead.
//
// Command line
//   upssim --link PATH [--model NAME] [--control SOCKET] [--transcript FILE]
//          [--timescale F] [--pace] [--die-with-parent] [--cmd LINE]...
//   --link PATH        where the slave appears, e.g. <sysroot>/dev/ttyS2;
//                      made by rename once the line works
//   --model NAME       model name (default QE1000); the first two letters
//                      pick the family QA/QE/QR; QE350* and QE5500* speak the
//                      bracket variant
//   --control SOCKET   Unix stream socket for control commands
//   --transcript FILE  transcript, truncated at start
//   --timescale F      UPS seconds pass F times faster (60: a minute is a
//                      second) for self-tests, shutdown delays and restores
//   --pace             2400-baud timing: each byte takes 10 bits' time
//                      (about 4.17 ms) on the way in and on the way out
//   --die-with-parent  SIGTERM when the starting process dies
//   --cmd LINE         a control command applied before "ready" (repeatable)
// When the link, the socket and the transcript are in place the program
// prints "ready" on standard output.  SIGTERM, SIGINT or SIGHUP end it; it
// then removes its link (if still its own) and its socket.  Exit status 0, 2
// for a bad command line or a refused --cmd, 1 when the line cannot be made.
//
// Control commands (one per line; answer "OK", "OK <value>" or
// "ERR <reason>"):
//   ping
//   get output|status|q1|battdate|buzzer|beeps|bt|v|v2|cf|model|family|
//       bracket|test|shutdown|autorestart|autotest|level|mains|rx|pty|silence
//       status: the eight Q1 characters b7..b0; test: none|10s|low;
//       shutdown: none|pending|off|off-restore; beeps: "Bt" heard with the
//       buzzer on; bt: all "Bt"; rx: commands received; q1, cf, battdate
//       come escaped
//   set input|input2|output|infreq|outfreq|battv|tdur|tldur <number>
//   set load|capacity <integer>      set temp <number>|-
//   set battform dd.d|d.dd           set battdate <escaped text>
//   set fw <text>                    (text after the name in model replies)
//   set status|v|v2 <eight 0/1>      (status b7..b0, blanks ignored)
//   set bit <0..7> 0|1               (b<n>)
//   set vbit|v2bit <0..7> 0|1        (reply position)
//   set cf default|<32 0/1>          set cfbit <reply position> 0|1
//   set outcome pass|b4,b0,v5,v7     what the end of a self-test writes
//   set timescale <F>                (for what is scheduled from then on)
//   set delay <ms>                   before every reply
//   set unknown nak|none             answer to commands the unit lacks
//   model <name>                     (capability flags back to defaults)
//   mains on|off                     b7; input voltage and frequency 0
//                                    while off, as before when back
//   output on|off                    at once, ending any shutdown
//   silence on|off                   cable pulled: everything read ignored,
//                                    nothing sent (queued bytes dropped)
//   pace on|off
//   reply <key> normal|nak|none|raw <escaped bytes>
//   cut <key> <bytes> [count]        the next replies to key cut short
//   garbage <bytes> [count]          random bytes ahead of the next replies
//   wake <n>                         n "WAKE\r" lines ahead of the next reply
//   send <escaped bytes>             unsolicited bytes now, as given (an XOFF
//                                    stops the host's output as on a wire)
//   flush                            drop queued input and output
//   clear                            all faults off (pacing kept)
// Keys: Q1 Si SiCC CF V V2 BvB8 Lf Lf11 Bl BRR BRW T TL CT C S Sf SR An Af
// AR AC Bn Bf Bt VA VB VH VL, "?" (unknown commands), "*" (all).  "nak"
// refuses: the unit does not act on the command.  "none" and "raw" only
// change the answer: the command still acts.  Escapes: \\ \r \n \t \e \0
// \xHH.
//
// Transcript: one line per event, "<ns> <KIND> <escaped bytes>", ns from
// CLOCK_MONOTONIC.
//   RX    a command framed on its CR (CR included), stamped when its CR
//         arrived (with --pace, when the wire would have delivered it)
//   TX    a reply, "WAKE" line, garbage or sent bytes, stamped when its
//         first byte went to the line
//   DROP  bytes ignored or not sent: silence, over-long commands (more
//         than 32 bytes before the CR), input overflow
//   EV    what happened inside the unit: test start/end, shutdown, output
//         off/on, mains, beep, xoff/xon
//   CTL   a control command as received
//
// Behaviour worth knowing
//   Every model answers Q1, T, TL, CT, C and the S forms.  The bracket
//   variant answers "(SiCC)", "(BvB8)" and "(Lf ?11)", never "OK", and
//   takes the other commands (CF, "Si ?", V...) as unknown: "NAK".  The
//   others answer the rest of the table and "NAK" to the bracket commands.
//   A unit that does not answer "CF" at all (QE200ZA and QE400ZA can be
//   like that): "reply CF none".
//   "Si ?": QA/QE the name and CR; QR the name, a blank, the fw text, CR.
//   "T" and "TL" answer "OK" (bracket: nothing) and set b2 for tdur or
//   tldur seconds; at the end the outcome is written into b4, b0 and V
//   positions 5 and 7.  A unit already testing, on battery (b7) or with a
//   shutdown under way refuses ("NAK").  "CT" ends the test, outcome unset.
//   "S.n"/"Snn" (and "Sf", only when CF position 33 is 1; no answer) set b1
//   for the delay, then the output goes off (output voltage, load, output
//   frequency 0) and stays off; the R forms (5 digits, 4 for the bracket
//   variant; the other width is refused) bring it back after the restore
//   minutes, counted from the off, once mains is present.  "C" cancels a
//   pending shutdown only.  Bn/Bf set V position 1, AR/AC position 2,
//   VH/VL position 3, VA/VB position 4; An/Af set V2 position 0.
//   "(SiCC)" answers "[NAME fw\r", "(BvB8)" "[dd.dV\r", "(Lf ?11)"
//   "[dd.dHz\r"; "BRW" with eight digits stores them for "BRR".
//
// Defaults: input and second voltage 100.0, output 100.0, load 20, input
// and output frequency 60.0, battery 27.4 (dd.d), capacity 100, temperature
// 30.0, status, V and V2 "00000000", battery date 20230401, fw "1.00",
// tdur 10, tldur 60, no faults.  CF (39 characters and CR, groups at 0-7,
// 9-16, 18-25, 27-34, then " 000"): "01000000 00011111 11110110 00000100
// 000": V, buzzer switch, battery test, battery date, Si, battery voltage,
// "Lf ?", "Bl ?", restart switch and V2 offered, Sf not; QA units without
// the battery date (positions 15-16 "00").
#include "control.h"
#include "line.h"
#include "ups.h"
#include "util.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

using namespace upssim;

namespace
{

int usage(const char *msg)
{
    fprintf(stderr, "upssim: %s\n", msg);
    fprintf(stderr, "usage: upssim --link PATH [--model NAME] [--control SOCKET] "
                    "[--transcript FILE] [--timescale F] [--pace] [--die-with-parent] "
                    "[--cmd LINE]...\n");
    return 2;
}

struct timespec to_timespec(ns_t ns)
{
    struct timespec ts;
    ts.tv_sec = ns / 1000000000;
    ts.tv_nsec = ns % 1000000000;
    return ts;
}

} // namespace

int main(int argc, char **argv)
{
    std::string link, model = "QE1000", control_path, transcript_path;
    std::vector<std::string> cmds;
    double timescale = 1;
    bool pace = false, die_with_parent = false;
    const pid_t parent = getppid();

    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--link" && value(link)) {
        } else if (a == "--model" && value(model)) {
        } else if (a == "--control" && value(control_path)) {
        } else if (a == "--transcript" && value(transcript_path)) {
        } else if (a == "--cmd" && value(v)) {
            cmds.push_back(v);
        } else if (a == "--timescale" && value(v)) {
            if (!parse_double(v, timescale) || timescale <= 0)
                return usage("--timescale wants a number above 0");
        } else if (a == "--pace") {
            pace = true;
        } else if (a == "--die-with-parent") {
            die_with_parent = true;
        } else {
            return usage(("bad argument " + a).c_str());
        }
    }
    if (link.empty())
        return usage("--link is required");

    if (die_with_parent) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The parent may have gone before the request took effect.
        if (getppid() != parent)
            return 0;
    }

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    int sigfd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    Ups ups(model);
    if (ups.model() != model)
        return usage("--model wants a name without blanks, at most 31 characters");
    ups.timescale = timescale;
    Transcript tr;
    if (!transcript_path.empty() && !tr.open(transcript_path)) {
        fprintf(stderr, "upssim: cannot write %s: %s\n", transcript_path.c_str(), strerror(errno));
        return 1;
    }
    Line line(ups, tr);
    line.faults.pace = pace;
    Control control(ups, line, tr);
    for (const std::string &c : cmds) {
        std::string r = control.execute(c, mono_now());
        if (r.compare(0, 2, "OK") != 0) {
            fprintf(stderr, "upssim: --cmd '%s': %s\n", c.c_str(), r.c_str());
            return 2;
        }
    }

    std::string err;
    if (!control_path.empty() && !control.listen(control_path, err)) {
        fprintf(stderr, "upssim: %s\n", err.c_str());
        return 1;
    }
    if (!line.open(link, err)) {
        fprintf(stderr, "upssim: %s\n", err.c_str());
        control.unpublish();
        return 1;
    }
    tr.log(mono_now(), "EV", "ready " + ups.model() + " " + line.slave_path());
    printf("ready\n");
    fflush(stdout);

    bool stop = false;
    while (!stop) {
        ns_t now = mono_now();
        ups.tick(now);
        line.run(now);
        ups.tick(mono_now());
        for (const std::string &e : ups.take_events())
            tr.log(mono_now(), "EV", e);

        now = mono_now();
        ns_t due = ups.next_deadline();
        ns_t l = line.next_deadline(now);
        if (l < due)
            due = l;

        std::vector<struct pollfd> fds;
        fds.push_back({sigfd, POLLIN, 0});
        fds.push_back(
            {line.fd(), static_cast<short>(POLLIN | (line.want_write(now) ? POLLOUT : 0)), 0});
        if (control.listen_fd() >= 0)
            fds.push_back({control.listen_fd(), POLLIN, 0});
        for (int fd : control.client_fds())
            fds.push_back({fd, POLLIN, 0});

        struct timespec ts;
        struct timespec *tsp = nullptr;
        if (due != kNever) {
            ts = to_timespec(due > now ? due - now : 0);
            tsp = &ts;
        }
        int n = ppoll(fds.data(), fds.size(), tsp, nullptr);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            perror("upssim: ppoll");
            break;
        }
        now = mono_now();
        for (const struct pollfd &p : fds) {
            if (p.revents == 0)
                continue;
            if (p.fd == sigfd) {
                stop = true;
            } else if (p.fd == line.fd()) {
                if (p.revents & POLLIN)
                    line.on_readable(now);
            } else if (p.fd == control.listen_fd()) {
                control.on_accept();
            } else {
                control.on_client(p.fd);
            }
        }
    }

    tr.log(mono_now(), "EV", "exit");
    line.unpublish();
    control.unpublish();
    return 0;
}
