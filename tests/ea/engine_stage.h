// The records a daemon hands the engine, wired as the daemon wires them:
// request and reply point at the same memory, so what one request writes is
// what the next one reads.
#ifndef VOLTMIRA_TESTS_EA_ENGINE_STAGE_H
#define VOLTMIRA_TESTS_EA_ENGINE_STAGE_H

#include "ea/daemon2event_api.h"

namespace testutil
{

// Every record starts cleared; a fixture derives from it to name them.
struct EngineRecords {
    UPS_UPSINFO ui{};
    UPS_PARAM up{};
    UPS_EVENTINFO events[AGENT_NEVENTS]{};
    USERSDATA users[AGENT_NUSERS]{};
    UPS_USERSINFO uinfo{0, users};
    UPS_EIN_DATA in{};
    UPS_EOUT_DATA out{};

    EngineRecords()
    {
        in.DATA.upsinfop = out.DATA.upsinfop = &ui;
        in.DATA.upsconfigp = out.DATA.upsconfigp = &up;
        in.DATA.eu = out.DATA.eu = UPS_EVENTUSERS{events, &uinfo};
    }
    EngineRecords(const EngineRecords &) = delete;
    EngineRecords &operator=(const EngineRecords &) = delete;
};

} // namespace testutil

#endif
