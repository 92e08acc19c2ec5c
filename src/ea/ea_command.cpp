// The commands monitors give the engine (request 11): the user shutdown and
// its cancelling, self-tests, the UPS's switches, the battery date, the
// detection level and the clearing of the logs.
#include "ea/e_a.h"

#include "agent/strings.h"
#include "agent/sysclock.h"
#include "agent/sysroot.h"
#include "ea/ea_action.h"
#include "ea/ea_batt.h"
#include "ea/ea_events.h"
#include "ea/ea_state.h"
#include "ea/ea_time.h"
#include "ea/filehandle.h"
#include "jconv/jconv.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// Event ids the commands raise.
enum {
    EV_WORKPARAM_BASE = 16, // 16 battery date; 16 + level: detection level 1..4
    EV_CANCEL = 21,
    EV_AUTOTESTOFF = 12,
    EV_AUTOTESTON = 13,
    EV_BUZZEROFF = 14,
    EV_BUZZERON = 15,
    EV_USERDOWN = 79,
};

const char section_ups[] = "UPS";

int callback_ok(int cmd, char *msg, unsigned a, unsigned b)
{
    return ea_callback(cmd, msg, a, b) == 0 ? 0 : -1;
}

// 18: shut the system down after the delay the monitor asked for, unless an
// earlier shutdown is already pending.
int user_shutdown(const UPS_AGENTDOWNINFO *adip, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    if (ea_commdown(in->DATA.upsinfop->CommStatus) || adip == nullptr) {
        out->DATA.upsinfop->CommandDownS = 0;
        return -1;
    }
    ea_st.USR_off = sysclock_time() + adip->delay;
    if (ea_st.USR_off < ea_st.next_off || ea_st.next_off == 0) {
        ea_st.downreason = USER_SPECIFY;
        ea_st.next_off = ea_st.USR_off;
    }
    if (EventMsg(EV_USERDOWN) == nullptr)
        return -1;
    // The name field of the request need not be ended: the copy reads no
    // more than the field, and all of it fits the name.
    static_assert(sizeof adip->Agent < sizeof ea_st.monitorname);
    wp_strlcpy(ea_st.monitorname, adip->Agent, sizeof adip->Agent + 1);
    ea_msgpair("Receive shutdown Command From Users on %s", ea_st.monitorname);
    eventaction(EV_USERDOWN, in, out);
    out->DATA.upsinfop->CommandDownS = 1;
    return 0;
}

// 19: cancel the user shutdown.  The cancel is announced even when none was
// pending; another pending shutdown stays, the tick recomputes it.
int cancel_shutdown(const char *hp, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    // Once the deadline has passed the other agents have been told and the
    // UPS is about to be: too late to cancel, and saying so is better than
    // a cancel that is not one.
    if (ea_st.ISSHUTTINGDOWN)
        return -1;
    ea_st.shutdownMsgSendOnce = 0;
    if (ea_st.downreason == USER_SPECIFY) {
        ea_st.downreason = NONE;
        if (ea_st.USR_off == ea_st.next_off)
            ea_st.next_off = 0;
    }
    out->DATA.upsinfop->CommandDownS = 0;
    ea_st.USR_off = 0;
    // A shutdown the UPS itself was told of (by a run of the agent whose
    // host then stayed up, say) would still cut the power: the UPS is told
    // to call off whatever it has pending.  A UPS with nothing pending may
    // answer that with an error, which changes nothing here.
    if (!ea_commdown(in->DATA.upsinfop->CommStatus))
        ea_callback(CB_DOWNCANCEL, nullptr, 0, 0);
    if (EventMsg(EV_CANCEL) == nullptr)
        return -1;
    // The conversion needs twice the text's length in room.
    char copy[EA_NAMELEN / 2];
    wp_strlcpy(copy, hp, sizeof copy);
    if (JConvForDataOutToNetwork(copy, ea_st.monitorname, sizeof ea_st.monitorname, 1) < 0)
        ea_st.monitorname[0] = '\0';
    ea_msgpair("The Shutdown is Canceled by Users on %s", ea_st.monitorname);
    eventaction(EV_CANCEL, in, out);
    return 0;
}

// 21: a test that runs the battery down must not start while the mains is
// out: the failure is recorded as the UPS test's result and told once.
int selftest_low(UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    (void)in;
    if (ea_st.ISCOMLST)
        return -1;
    if (ea_st.ACFAIL_off == 0 && ea_st.downreason != AC_FAIL) {
        ea_st.testreason = USER_SPECIFY_LOW;
        return callback_ok(CB_SELFTESTLOW, nullptr, 0, 0);
    }
    SELFTESTRESULT *r = &out->DATA.upsinfop->sftResUPS;
    r->Result = SELFTEST_FAILED;
    gettime(sysclock_time(), &r->timeinfo);
    const char text[] = "Selftest Till Battery Low Failed Because of AC Fail!!!";
    wp_strlcpy(ea_st.msgbuffer, text, sizeof ea_st.msgbuffer);
    wp_strlcpy(ea_st.msgbuffer2, text, sizeof ea_st.msgbuffer2);
    ea_sendtext(ea_st.msgbuffer, 0);
    return -1;
}

// 25, 26: empty a log.  Opening never blocks, so a FIFO put in the log's
// place cannot hang the daemon.
int clear_log(sysroot_path_id id)
{
    int fd = open(sysroot_path(id), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

// A UPS switch: its event, the UPS told, and the setting kept (for the
// buzzer's "on" only once the UPS took it).
int ups_switch(int event, int cb, const char *key, const char *value, bool store_always,
               AGENTCMD *acp, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    eventaction(event, in, out);
    int r = callback_ok(cb, acp->arg.hp, 0, 0);
    if ((r == 0 || store_always) && writeparam(section_ups, key, value) < 0)
        r = -1;
    return r;
}

// 30: the battery date.  A QA unit keeps none: the date the agent stored
// stands in for it.
int get_battdate(BATTCHGTIME *b, UPS_EIN_DATA *in)
{
    if (b == nullptr)
        return -1;
    int r = callback_ok(CB_GETBATTDATE, reinterpret_cast<char *>(b), 0, 0);
    if (strncmp(in->DATA.upsinfop->upsmodel, "QA", 2) == 0)
        getbattime(&b->BattTime);
    else if (callback_ok(CB_GETBATTDATE, reinterpret_cast<char *>(b), 0, 0) < 0)
        r = -1;
    return r;
}

// 31: store the battery date and tell the UPS.
int set_battdate(AGENTCMD *acp, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    if (acp->arg.bctp == nullptr)
        return -1;
    int r = setbattime(in, out) == 0 ? 0 : -1;
    if (callback_ok(CB_SETBATTDATE, reinterpret_cast<char *>(acp->arg.bctp), 0, 0) < 0)
        r = -1;
    eventaction(EV_WORKPARAM_BASE, in, out);
    return r;
}

// 34: levels 1 to 4 go to the UPS; every value is kept.
int detect_level(int32_t level, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    int r = 0;
    if (level >= 1 && level <= 4) {
        eventaction(EV_WORKPARAM_BASE + level, in, out);
        r = callback_ok(CB_DETECTLEVEL, nullptr, 0, static_cast<unsigned>(level));
    }
    char text[16];
    snprintf(text, sizeof text, "%d", level);
    if (writeparam(section_ups, "OutputDetectionLevel", text) < 0)
        r = -1;
    return r;
}

} // namespace

int docommand(AGENTCMD *acp, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    if (acp == nullptr)
        return -1;
    switch (acp->cmd) {
    case CMD_SHUTDOWN:
        return user_shutdown(acp->arg.adip, in, out);
    case CMD_CANCELSHUTDOWN:
        return cancel_shutdown(acp->arg.hp, in, out);
    case CMD_SELFTEST:
        if (ea_st.ISCOMLST)
            return -1;
        ea_st.testreason = USER_SPECIFY;
        return callback_ok(CB_SELFTEST, nullptr, 0, static_cast<unsigned>(acp->arg.last));
    case CMD_SELFTESTLOW:
        return selftest_low(in, out);
    case CMD_CANCELTEST:
        ea_st.testreason = NONE;
        return callback_ok(CB_CANCELTEST, nullptr, 0, 0);
    case CMD_CLEARDATALOG:
        return clear_log(SP_DATALOG);
    case CMD_CLEAREVENTLOG:
        return clear_log(SP_EVENTLOG);
    case CMD_BEEPERON:
        return ups_switch(EV_BUZZERON, CB_BUZZERON, "BuzzerCan", "on", false, acp, in, out);
    case CMD_BEEPEROFF:
        return ups_switch(EV_BUZZEROFF, CB_BUZZEROFF, "BuzzerCan", "off", true, acp, in, out);
    case CMD_GETBATTDATE:
        return get_battdate(acp->arg.bctp, in);
    case CMD_SETBATTDATE:
        return set_battdate(acp, in, out);
    case CMD_AUTOTESTON:
        return ups_switch(EV_AUTOTESTON, CB_AUTOTESTON, "AutoTestCan", "on", true, acp, in, out);
    case CMD_AUTOTESTOFF:
        return ups_switch(EV_AUTOTESTOFF, CB_AUTOTESTOFF, "AutoTestCan", "off", true, acp, in, out);
    case CMD_DETECTLEVEL:
        return detect_level(acp->arg.last, in, out);
    case CMD_BEEPERTEST:
        return callback_ok(CB_BUZZERTEST, nullptr, 0, 0);
    case 23:
    case 24:
    case 27:
        return 0;
    default:
        return -1;
    }
}
