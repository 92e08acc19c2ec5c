// From the deadline to the operating system's shutdown.  The grace of the
// agent type is waited out tick by tick (the daemon keeps serving), then the
// UPS is told to switch off after its delay, the other agents are told, and
// the process becomes the system's shutdown command.
#include "ea/ea_shutdown.h"

#include "agent/agent_log.h"
#include "agent/sysclock.h"
#include "agent/sysroot.h"
#include "ea/e_a.h"
#include "ea/ea_action.h"
#include "ea/ea_notify.h"
#include "ea/ea_spawn.h"
#include "ea/ea_state.h"

#include <cstring>

namespace
{

enum {
    EV_STOP = 8,
    EV_SYSDOWN = 22,
    EV_NETDOWN = 134,
};

// Users are told of the grace at most this often (in effect once).
constexpr time_t grace_message_every = 10000;

// The UPS switches itself on again after a scheduled shutdown only.
constexpr long no_restart = -1;

void abandon(UPS_UPSINFO *oi)
{
    ea_st.ISSHUTTINGDOWN = 0;
    ea_st.stopasked = 0;
    ea_st.SHUTTINGDOWNINLOST = 1;
    oi->ShutdownS = 0;
    oi->CommandDownS = 0;
    ea_st.DOWNREACHED = 0;
    ea_st.downreason = NONE;
    ea_st.USR_off = ea_st.SCH_off = ea_st.SCH_boot = 0;
    oi->nextdown = UPS_TIMEINFO{};
    oi->nextboot = UPS_TIMEINFO{};
}

// Seconds the UPS stays off before it switches itself on again (0: it
// stays off; no_restart: it is not told either way).
long off_duration(void)
{
    if (!ea_scheduled(ea_st.downreason))
        return no_restart;
    if (ea_st.DownDuration > 0 && ea_st.offBootSpan > ea_st.TURNOFFDELAY)
        ea_st.DownDuration = ea_st.offBootSpan - ea_st.TURNOFFDELAY;
    return ea_st.DownDuration > 0 ? ea_st.DownDuration : 0;
}

// Tells the UPS and the other agents, once per shutdown: a shutdown command
// that cannot be started is tried again on the next tick, and the UPS must
// not be told again each second.
int tell_ups_and_agents(int ignore, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    if (ea_st.sd_upstold)
        return 0;
    ea_st.sd_upstold = 1;
    if (!ignore && strcmp(ea_st.g_agent_name, ea_st.g_localname) != 0)
        eventaction(EV_NETDOWN, in, out);
    eventaction(EV_SYSDOWN, in, out);
    long duration = off_duration();
    int failed = ea_callback(CB_UPSDOWN, nullptr, static_cast<unsigned>(ea_st.TURNOFFDELAY),
                             static_cast<unsigned>(duration)) != 0;
    ea_callback(CB_BROADCASTDOWN, nullptr, 0, 0);
    eventaction(EV_STOP, in, out);
    return failed ? -1 : 0;
}

} // namespace

int shutdown_system(UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    UPS_UPSINFO *oi = out->DATA.upsinfop;
    int ignore = out->DATA.upsconfigp->commparam.bIgnore;
    // Without the UPS the shutdown is given up, unless the host runs on a
    // battery that nothing else will stop from running empty.
    if (ea_commdown(in->DATA.upsinfop->CommStatus) && ea_st.downreason != OTHERAGEDOWN &&
        !ea_st.lostonbattery) {
        abandon(oi);
        return 0;
    }
    time_t now = sysclock_time();
    if (now >= ea_st.downpoint || ignore || ea_st.stopasked) {
        printf0("Enter shutdown_system(). send command to ups\n");
        if (ea_st.downreason == OTHERAGEDOWN && ignore)
            return 0;
        int r = tell_ups_and_agents(ignore, in, out);
        printf0("Enter shutdown_system(). send shutdown to sys\n");
        const char *const argv[] = {"shutdown", "-h", "-t0", "0", nullptr};
        ea_spawn()->exec(sysroot_path(SP_SHUTDOWN), argv);
        printf0("shutdown_system: the shutdown command could not be started\n");
        return r;
    }
    if (now - ea_st.sd_lastdowncount >= grace_message_every) {
        ea_st.sd_lastdowncount = now;
        ea_msgpair("The system will shutdown in %d minutes", getnetshutdowntime(in));
        if (ea_st.shutdowneventid != 255)
            wallornot(ea_st.shutdowneventid, ea_st.msgbuffer2, in, out);
    }
    return 0;
}

int getnetshutdowntime(UPS_EIN_DATA *in)
{
    switch (in->DATA.upsconfigp->commparam.AgentType) {
    case AGTYPE_NORMAL:
        return 1;
    case AGTYPE_HIGH:
        return 2;
    default:
        return 0;
    }
}

void starttimer(void)
{
    ea_st.acfail_armed = sysclock_mono();
}

long getduration(void)
{
    if (!ea_st.just_fail)
        return 0;
    return static_cast<long>(sysclock_mono() - ea_st.acfail_armed);
}

void stoptimer(void)
{
    ea_st.acfail_armed = 0;
}
