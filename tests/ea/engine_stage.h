// What the engine's suites stage around it: the records a daemon hands it,
// and a watch on its diagnostic sink.
#ifndef VOLTMIRA_TESTS_EA_ENGINE_STAGE_H
#define VOLTMIRA_TESTS_EA_ENGINE_STAGE_H

#include "ea/daemon2event_api.h"
#include "ea/ea_log.h"

#include <algorithm>
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

} // namespace testutil

#endif
