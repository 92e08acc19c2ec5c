// What the engine's suites stage around it: the records a daemon hands it,
// and a watch on its diagnostic sink.
#ifndef VOLTMIRA_TESTS_EA_ENGINE_STAGE_H
#define VOLTMIRA_TESTS_EA_ENGINE_STAGE_H

#include "ea/daemon2event_api.h"
#include "ea/ea_log.h"
#include "ea/ea_spawn.h"
#include "agent/sysclock.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace testutil
{

// Request and reply wired as the daemon wires them: they point at the same
// memory, so what one request writes is what the next one reads.  Every
// record starts cleared; a fixture derives from it to name them.
struct EngineRecords {
    UPS_UPSINFO ui{};
    uint32_t W = 0; // the UPS status word
    UPS_PARAM up{};
    UPS_EVENTINFO events[AGENT_NEVENTS]{};
    USERSDATA users[AGENT_NUSERS]{};
    UPS_USERSINFO uinfo{0, users};
    UPS_EIN_DATA in{};
    UPS_EOUT_DATA out{};

    EngineRecords()
    {
        in.DATA.upsinfop = out.DATA.upsinfop = &ui;
        in.DATA.upsstatp = &W;
        in.DATA.upsconfigp = out.DATA.upsconfigp = &up;
        in.DATA.eu = out.DATA.eu = UPS_EVENTUSERS{events, &uinfo};
    }
    EngineRecords(const EngineRecords &) = delete;
    EngineRecords &operator=(const EngineRecords &) = delete;
};

// Watches the engine's diagnostic sink for as long as it lives; seen holds
// what it showed, oldest first, from this watch only.
struct SinkWatch {
    static inline std::vector<std::string> seen;

    SinkWatch()
    {
        seen.clear();
        ea_log_setobserver(note);
    }
    ~SinkWatch() { ea_log_setobserver(nullptr); }
    SinkWatch(const SinkWatch &) = delete;
    SinkWatch &operator=(const SinkWatch &) = delete;
    // Whether msg was shown, byte for byte.
    static bool saw(const std::string &msg)
    {
        return std::find(seen.begin(), seen.end(), msg) != seen.end();
    }

  private:
    static void note(const char *msg) { seen.emplace_back(msg); }
};

// Records the programs the engine starts instead of running them, for as
// long as it lives: each as "path arg1 arg2 ...", then "|" and its input
// when it has one; a shell command as "sh -c cmd".  who's output is
// who_output; the system's shutdown is recorded and "fails", so the test
// process stays.
struct ProgramRecorder {
    static inline std::vector<std::string> started;
    static inline std::string who_output;

    ProgramRecorder()
    {
        started.clear();
        who_output.clear();
        ea_spawn_setops(&ops);
    }
    ~ProgramRecorder() { ea_spawn_setops(nullptr); }
    ProgramRecorder(const ProgramRecorder &) = delete;
    ProgramRecorder &operator=(const ProgramRecorder &) = delete;
    // How many started programs' lines begin with prefix.
    static int count(const std::string &prefix)
    {
        return static_cast<int>(std::count_if(started.begin(), started.end(), [&](auto &l) {
            return l.compare(0, prefix.size(), prefix) == 0;
        }));
    }

  private:
    static std::string line(const char *path, const char *const argv[], const char *input)
    {
        std::string l = path;
        for (int i = 1; argv[i] != nullptr; i++)
            l += std::string(" ") + argv[i];
        if (input != nullptr)
            l += std::string("|") + input;
        return l;
    }
    static int run(const char *path, const char *const argv[], const char *input)
    {
        started.push_back(line(path, argv, input));
        return 0;
    }
    static int capture(const char *path, const char *const argv[], char *out, size_t cap)
    {
        started.push_back(line(path, argv, nullptr));
        if (cap == 0)
            return 0;
        size_t n = std::min(cap - 1, who_output.size());
        who_output.copy(out, n);
        out[n] = '\0';
        return static_cast<int>(n);
    }
    static int shell(const char *cmd)
    {
        started.push_back(std::string("sh -c ") + cmd);
        return 0;
    }
    static int exec(const char *path, const char *const argv[])
    {
        started.push_back(line(path, argv, nullptr));
        return -1;
    }
    static inline const ea_spawn_ops ops = {run, capture, shell, exec};
};

} // namespace testutil

// The process's zone and clock, put back when a test ends.
struct ZoneKeeper {
    bool had = getenv("TZ") != nullptr;
    std::string saved = had ? getenv("TZ") : "";
    ~ZoneKeeper()
    {
        had ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
        tzset();
        sysclock_real();
    }
};

#endif
