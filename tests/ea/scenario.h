// A stage for scripts of the engine's decisions: a fresh engine on a staged
// root, the fake clock, and one trace in which the events logged, the
// callbacks to the daemon and the programs started appear in the order they
// happened.  A script sets the UPS state, lets time pass and reads the trace.
#ifndef VOLTMIRA_TESTS_EA_SCENARIO_H
#define VOLTMIRA_TESTS_EA_SCENARIO_H

#include "agent/strings.h"
#include "agent/sysclock.h"
#include "agent/sysroot.h"
#include "ea/ea_config.h"
#include "ea/ea_events.h"
#include "ea/ea_spawn.h"
#include "ea/ea_state.h"
#include "ea/filehandle.h"
#include "engine_stage.h"
#include "testutil.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace scenario
{

// Trace entries: "E65" an event logged; "M1:text" / "M2:text" a message in
// language 1 / 2; "N1:text" the going-down message (4096); "OFF:a:b" the
// UPS-off callback (b as the daemon receives it); "K0x2000" any other
// callback kind; "run:argv...|input", "sh:cmd", "exec:path argv...".
inline std::vector<std::string> trace;
inline std::set<int> failing;          // callback kinds that fail
inline std::vector<time_t> exec_times; // when the process replaced itself
inline size_t loglines = 0;            // event-log lines already traced

inline void flush_events()
{
    std::string log;
    if (testutil::file_exists(sysroot_path(SP_EVENTLOG)))
        log = testutil::read_file(sysroot_path(SP_EVENTLOG));
    // Records are fixed-length lines; the id sits in columns 20..22.
    for (size_t n = loglines; (n + 1) * 44 <= log.size(); n++, loglines++)
        trace.push_back("E" + std::to_string(std::stoi(log.substr(n * 44 + 20, 3))));
}

inline void note(const std::string &s)
{
    flush_events();
    trace.push_back(s);
}

inline int callback(int cmd, char *msg, unsigned a, unsigned b)
{
    char k[32];
    snprintf(k, sizeof k, "K%#x", static_cast<unsigned>(cmd));
    if (cmd == CB_MESSAGE || cmd == CB_NETDOWNMSG)
        note((cmd == CB_MESSAGE ? "M" : "N") + std::to_string(a) + ":" + (msg ? msg : ""));
    else if (cmd == CB_UPSDOWN)
        note("OFF:" + std::to_string(a) + ":" + std::to_string(b));
    else
        note(k);
    return failing.count(cmd) ? -1 : 0;
}

inline std::string words(const char *const argv[])
{
    std::string s;
    for (int i = 0; argv[i] != nullptr; i++)
        s += (i ? " " : "") + std::string(argv[i]);
    return s;
}

// "run:" the program's file name and its arguments, "|" its input.
inline int run(const char *path, const char *const argv[], const char *input)
{
    std::string p = path;
    std::string args = argv[0] ? words(argv + 1) : "";
    note("run:" + p.substr(p.rfind('/') + 1) + (args.empty() ? "" : " ") + args + "|" +
         (input ? input : ""));
    return 0;
}
inline int capture(const char *, const char *const[], char *out, size_t cap)
{
    if (cap > 0)
        out[0] = '\0';
    return 0; // nobody logged in
}
inline int shell(const char *cmd)
{
    note(std::string("sh:") + cmd);
    return 0;
}
inline int exec(const char *path, const char *const argv[])
{
    note(std::string("exec:") + path + " " + words(argv));
    exec_times.push_back(sysclock_time());
    return 0;
}
inline const ea_spawn_ops recorder = {run, capture, shell, exec};

inline int nodename(char *dst, size_t size)
{
    wp_strlcpy(dst, "alpha", size);
    return 0;
}

// The settings a script changes; the rest are the agent's defaults.
struct Cfg {
    int type = 4;      // AgentType
    int ignore = 0;    // IgnoreOtherAgentDown
    int life = 100;    // EXPECTBLIFE
    int firstwarn = 5; // FIRSTWARN
    int interval = 30; // INTERVAL
    std::string group = "Group A";
};

inline void write_config(const Cfg &cfg)
{
    testutil::write_file(sysroot_path(SP_CONFIG),
                         "[ UPS ]\nComSet = 0\nAgentType = " + std::to_string(cfg.type) +
                             "\nIgnoreOtherAgentDown = " + std::to_string(cfg.ignore) +
                             "\nGroup = " + cfg.group +
                             "\n[ ShutDown ]\nEXPECTBLIFE = " + std::to_string(cfg.life) +
                             "\nFIRSTWARN = " + std::to_string(cfg.firstwarn) +
                             "\nINTERVAL = " + std::to_string(cfg.interval) +
                             "\nTurnOffDelay = 600\n[ DataLog ]\nDataLogEnabled = 0\n");
}

inline constexpr time_t T0 = 1772000000;

class Stage : public testing::Test, protected testutil::EngineRecords
{
  protected:
    void SetUp() override
    {
        ea_setcallback(callback);
        ea_config_setnodename(nodename);
        ea_spawn_setops(&recorder);
        filehandle_init();
    }
    void TearDown() override
    {
        ea_spawn_setops(nullptr);
        ea_config_setnodename(nullptr);
        ea_setcallback(nullptr);
        filehandle_fini();
        sysclock_real();
    }

    // A fresh engine after its start-up with cfg, communication comm, the
    // default event settings and nothing traced yet.
    void start(const Cfg &cfg = {}, int comm = COMM_ESTABLISHED)
    {
        ea_stateinit();
        sysclock_fake(T0, 1000.0);
        remove(sysroot_path(SP_EVENTLOG));
        loglines = 0;
        write_config(cfg);
        ui = UPS_UPSINFO{};
        ui.CommStatus = static_cast<int8_t>(comm);
        wp_strlcpy(ui.upsmodel, "QE1000", sizeof ui.upsmodel);
        W = 0;
        in.DATA.acp = nullptr;
        in.DATA.agentevent = nullptr;
        int unused = 0;
        ASSERT_EQ(Event_Action(EA_INIT, &in, &unused, &out), 0);
        for (int n = 0; n < EA_NEVENTROWS; n++)
            events[n] = *eventdefault_at(n);
        reset();
    }
    static void reset()
    {
        flush_events();
        trace.clear();
        failing.clear();
        exec_times.clear();
    }
    // The settings of event id in the request's table.
    UPS_EVENTINFO &event(int id)
    {
        for (UPS_EVENTINFO &e : events)
            if (e.EventID == id)
                return e;
        throw std::logic_error("no event " + std::to_string(id));
    }
    int request(int code)
    {
        if (!exec_times.empty())
            return 0; // the process was replaced by the system's shutdown
        int unused = 0;
        int r = Event_Action(code, &in, &unused, &out);
        flush_events();
        return r;
    }
    // One pass of the daemon's loop.
    int pass() { return request(EA_CHECKUPS); }
    // n times: time moves on by step seconds, then a pass.
    void passes(int n, double step = 1)
    {
        for (int i = 0; i < n; i++) {
            sysclock_advance(step);
            pass();
        }
    }
    static time_t now() { return sysclock_time(); }
    // How many trace entries from position from on equal s (or begin with
    // s when it ends in '*').
    static int count(const std::string &s, size_t from = 0)
    {
        int c = 0;
        bool prefix = !s.empty() && s.back() == '*';
        std::string p = prefix ? s.substr(0, s.size() - 1) : s;
        for (size_t i = from; i < trace.size(); i++)
            c += prefix ? trace[i].compare(0, p.size(), p) == 0 : trace[i] == p;
        return c;
    }
    // Whether want appears in the trace from position from on, in this order
    // (other entries may lie between).
    static testing::AssertionResult inorder(const std::vector<std::string> &want, size_t from = 0)
    {
        size_t w = 0;
        for (size_t i = from; i < trace.size() && w < want.size(); i++)
            w += trace[i] == want[w];
        if (w == want.size())
            return testing::AssertionSuccess();
        std::string t;
        for (size_t i = from; i < trace.size(); i++)
            t += "\n  " + trace[i];
        return testing::AssertionFailure() << "missing \"" << want[w] << "\" in:" << t;
    }
    // Cause and name of the newest log record of event id, as "cause/name"
    // ("" when there is none).
    static std::string logged(int id)
    {
        std::string log = testutil::read_file(sysroot_path(SP_EVENTLOG)), r;
        for (size_t at = 0; at + 44 <= log.size(); at += 44) {
            if (std::stoi(log.substr(at + 20, 3)) != id)
                continue;
            std::string name = log.substr(at + 28, 15);
            name.erase(0, name.find_first_not_of(' '));
            r = std::to_string(std::stoi(log.substr(at + 24, 3))) + "/" + name;
        }
        return r;
    }
    static std::string shutdown_exec()
    {
        return std::string("exec:") + sysroot_path(SP_SHUTDOWN) + " shutdown -h -t0 0";
    }

    testutil::Sysroot root_;
};

} // namespace scenario

#endif
