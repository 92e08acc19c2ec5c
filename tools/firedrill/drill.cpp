#include "drill.h"

#include "fake.h"
#include "monitor.h"
#include "report.h"
#include "stage.h"
#include "timeline.h"
#include "watch.h"
#include "world.h"

#include "voltmiratop/client.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace firedrill
{

volatile sig_atomic_t drill_interrupted = 0;

namespace
{

// The UPS channel waits 3 s before its search and a sanitizer build on
// loaded cores is slow: a minute is plenty for the agent to reach the UPS.
constexpr int kUpWithinS = 60;
constexpr int kPollMs = 20;
constexpr int kSettleMs = 3000;
// Collected after the shutdown command: the notices sent just before it.
constexpr double kAfterShutdownS = 2.0;
// After the restore: long enough for another warning to show if the
// countdown had not really ended.
constexpr double kAfterRestoreMinS = 5.0;

double mono_s()
{
    return static_cast<double>(timeline_mono_ns()) / 1e9;
}

std::string dir_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> kept_env(const std::string &root)
{
    std::vector<std::string> env = {
        "VOLTMIRA_SYSROOT=" + root,
        "PATH=" + root + "/usr/bin:" + root + "/bin:" + root + "/sbin:/usr/bin:/bin",
        // The timeline quotes the agent's English texts.
        "LANG=C",
    };
    for (const char *v : {"TZ", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *s = getenv(v))
            env.push_back(std::string(v) + "=" + s);
    return env;
}

struct UpCheck {
    int comm = -1;
};

int ask_agent(void *arg)
{
    UpCheck *u = static_cast<UpCheck *>(arg);
    vtop::Endpoint to;
    std::string err;
    std::vector<vtop::AgentAnswer> found;
    if (!vtop::resolve("127.0.0.1", 4114, to, err) ||
        !vtop::discover(&to, 1.0, "firedrill", found, err) || found.empty())
        return -1;
    u->comm = found[0].comm;
    return 0;
}

int open_ports(void *arg)
{
    return watch_open_ports(static_cast<Watch *>(arg));
}

int connect_monitor(void *arg)
{
    return monitor_open(static_cast<Monitor *>(arg));
}

std::string tail_of(const std::string &path, size_t max)
{
    FILE *f = fopen(path.c_str(), "re");
    if (f == nullptr)
        return "";
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
        text.append(buf, n);
        if (text.size() > 2 * max)
            text.erase(0, text.size() - max);
    }
    fclose(f);
    return text.size() > max ? text.substr(text.size() - max) : text;
}

// Waits until the agent has reached the UPS; 0, or -1 with err.
int wait_up(World *w, const Stage *st, std::string &err)
{
    double until = mono_s() + kUpWithinS;
    int comm = -1;
    while (mono_s() < until && !drill_interrupted) {
        if (!world_agent_alive(w)) {
            err = "the agent ended during its start (exit status " +
                  std::to_string(w->agent_status) + "); its console said:\n" +
                  tail_of(stage_at(st, "/dev/console"), 1500) +
                  tail_of(stage_at(st, "/.erra"), 1500);
            return -1;
        }
        UpCheck u;
        if (world_in_sandbox(w, ask_agent, &u) == 0) {
            comm = u.comm;
            if (comm == 2) {
                // The engine passes once a second: a few passes finish the
                // start (its first log lines, the UPS's restart switch)
                // before the failure, so they stay out of its timeline.
                usleep(kSettleMs * 1000);
                if (!drill_interrupted)
                    return 0;
                break;
            }
        }
        usleep(500000);
    }
    err = drill_interrupted ? "interrupted"
          : comm < 0        ? "the agent did not answer within " + std::to_string(kUpWithinS) + " s"
                     : "the agent did not reach the test UPS within " + std::to_string(kUpWithinS) +
                           " s (communication state " + std::to_string(comm) + ")";
    return -1;
}

// Plays the failure; fills t.  Returns 0 or 1 (unexpected), 2 interrupted.
int play(const Options *o, const Settings *s, World *w, Watch *wa, Monitor *m, Timeline *t,
         FILE *progress)
{
    std::string answer;
    timeline_init(t);
    if (world_ups(w, "mains off", answer) != 0) {
        fprintf(progress, "voltmira-firedrill: the test UPS refused \"mains off\": %s\n",
                answer.c_str());
        return 2;
    }
    timeline_add(t, t->t0_mono, Kind::Mains, "MAINS FAIL (the drill pulls the plug)");
    const double t0 = mono_s();
    const bool expect_restore = o->restore_after > 0 && o->restore_after < s->battlife;
    double limit = settings_timeout(s) + (o->restore_after > 0 ? o->restore_after : 0);
    bool restored = false;
    double restored_at = 0, done_at = 0;
    for (;;) {
        // Packets are stamped as they come; the files are looked at often
        // enough that their lines land in the right order with them.
        struct pollfd fds[3] = {{wa->monitors, POLLIN, 0},
                                {wa->agents, POLLIN, 0},
                                {m->conn.connected() && !m->broken ? m->conn.fd() : -1, POLLIN, 0}};
        poll(fds, 3, kPollMs);
        double now = mono_s();
        watch_poll(wa, t);
        monitor_poll(m, t);
        // The event log may be switched off in the configuration: the text
        // to monitors and users tells the return as well.
        for (size_t i = t->printed; i < t->items.size() && !wa->restore_seen; i++)
            wa->restore_seen = t->items[i].kind != Kind::Mains &&
                               t->items[i].text.find("UPS AC Restore") != std::string::npos;
        timeline_stream(t, progress);
        if (drill_interrupted)
            return 2;
        if (o->restore_after > 0 && !restored && now - t0 >= o->restore_after) {
            restored = true;
            restored_at = now;
            if (world_ups(w, "mains on", answer) != 0) {
                fprintf(progress, "voltmira-firedrill: the test UPS refused \"mains on\": %s\n",
                        answer.c_str());
                return 2;
            }
            timeline_add(t, timeline_mono_ns(), Kind::Mains,
                         "MAINS BACK (the drill restores the supply)");
        }
        if (wa->shutdown_seen || !world_agent_alive(w)) {
            if (done_at == 0)
                done_at = now;
            if (now - done_at >= kAfterShutdownS || !world_agent_alive(w)) {
                watch_poll(wa, t);
                // An agent that ended without the shutdown command failed.
                return wa->shutdown_seen && !expect_restore ? 0 : 1;
            }
        }
        if (expect_restore && restored && wa->restore_seen &&
            now - restored_at >= std::max(kAfterRestoreMinS, s->interval + 2.0))
            return 0;
        if (now - t0 > limit)
            return 1;
    }
}

} // namespace

int drill_run(const Options *o, const Settings *s, const char *self_exe, FILE *out, FILE *progress)
{
    Stage st;
    World w;
    Watch wa;
    Monitor mon;
    Timeline t;
    char err[1024] = "";
    int rc = 2;
    std::string why;

    std::string locale = dir_of(o->agent) + "/locale";
    struct stat sb;
    if (stat(locale.c_str(), &sb) != 0)
        locale = VOLTMIRA_LOCALE_BUILD_DIR;
    if (stage_make(&st, o->config.c_str(), self_exe, locale.c_str(), err, sizeof err) != 0) {
        why = err;
    } else if (world_make(&w, {o->agent}, kept_env(st.root), err, sizeof err) != 0) {
        why = err;
    } else if (world_start_ups(&w,
                               {o->ups, "--link",
                                stage_at(&st, ("/dev/ttyS" + std::to_string(s->port)).c_str()),
                                "--control", stage_at(&st, "/.drill/ups.sock"), "--transcript",
                                stage_at(&st, "/.drill/ups.transcript"), "--die-with-parent"},
                               kept_env(st.root), stage_at(&st, "/.drill/ups.sock"), err,
                               sizeof err) != 0) {
        why = err;
    } else if (world_start_agent(&w) != 0) {
        why = "cannot start the agent";
    } else {
        fprintf(progress,
                "voltmira-firedrill: sandbox %s; waiting for the agent to reach the "
                "test UPS\n",
                st.root.c_str());
        watch_init(&wa, stage_at(&st, "/.drill/ups.transcript"), stage_at(&st, "/.drill/record"),
                   stage_at(&st, "/usr/lib/voltmira/events.log"));
        if (wait_up(&w, &st, why) == 0) {
            if (world_in_sandbox(&w, open_ports, &wa) != 0)
                fprintf(progress, "voltmira-firedrill: cannot listen on UDP 4113/4114 in the "
                                  "sandbox; notices will not show\n");
            if (world_in_sandbox(&w, connect_monitor, &mon) != 0)
                fprintf(progress, "voltmira-firedrill: cannot connect to the agent as a monitor; "
                                  "its texts to monitors will not show\n");
            watch_skip_history(&wa);
            fprintf(progress, "voltmira-firedrill: the agent is up; the mains fail now\n");
            rc = play(o, s, &w, &wa, &mon, &t, progress);
            why.clear();
        }
    }
    watch_close(&wa);
    mon.conn.close();
    world_stop(&w);
    if (!why.empty())
        fprintf(stderr, "voltmira-firedrill: %s\n", why.c_str());
    else {
        timeline_print(&t, out);
        rc = report_verdict(o, s, wa.restore_seen, &t, rc, out);
    }
    if (o->keep)
        fprintf(out, "The sandbox's files are kept in %s\n", st.root.c_str());
    else
        stage_remove(&st);
    fflush(out);
    return why.empty() ? rc : 2;
}

} // namespace firedrill
