// What a change of the UPS state means: each pass compares the UPS record
// and its status word with the previous pass and turns every difference
// into events, messages to the monitors, announcements and changes of the
// pending shutdown.  Decisions only: the actions go through eventaction and
// the callback.
#include "ea/ea_check.h"

#include "agent/agent_log.h"
#include "agent/ups_flags.h"
#include "agent/strings.h"
#include "agent/sysclock.h"
#include "ea/e_a.h"
#include "ea/ea_action.h"
#include "ea/ea_config.h"
#include "ea/ea_history.h"
#include "ea/ea_schlist.h"
#include "ea/ea_shutdown.h"
#include "ea/ea_state.h"
#include "ea/ea_time.h"

#include <cstdio>
#include <cstring>
#include <libintl.h>

namespace
{

// Events this evaluation raises.
enum {
    EV_ACRESTORE = 0,
    EV_COMMOK = 1,
    EV_TESTOK = 2, // 2..5 passed: none/user, special day, weekly, monthly
    EV_BATTTESTOK = 6,
    EV_STOP = 8,
    EV_COMMLOST = 64,
    EV_ACFAIL = 65,
    EV_BATTDISC = 66,
    EV_BYPASS = 67,
    EV_BATTWEAK = 68,
    EV_TESTFAIL = 69, // 69..72 failed, as above
    EV_BATTTESTFAIL = 73,
    EV_ABNORMAL = 77,
    EV_OVERLOAD = 78,
    EV_BATTLOW = 128,
};

// The state codes of the UPS record the evaluation compares.
constexpr int st_test = UPSST_TEST;
constexpr int st_onbattery = UPSST_UTILFAIL;

bool rising(uint32_t w, uint32_t last, uint32_t m)
{
    return ((w ^ last) & m) && (w & m);
}

bool falling(uint32_t w, uint32_t last, uint32_t m)
{
    return ((w ^ last) & m) && !(w & m);
}

void refresh_schedule(UPS_EOUT_DATA *out)
{
    ea_putschlist(out, getschlist());
}

// Drops the shutdown an instant of reason governed, as a loss of the UPS
// link does for every reason but a failing mains or battery.
void drop_on_loss(UPS_UPSINFO *oi)
{
    switch (ea_st.downreason) {
    case OTHERAGEDOWN:
        oi->ShutdownS = 0;
        ea_st.downreason = NONE;
        ea_st.OTHERAG_off = 0;
        break;
    case EVENT_TRIGGER:
        ea_st.EVENTTRIGGER_off = 0;
        ea_st.downreason = NONE;
        oi->ShutdownS = 0;
        break;
    case SPECIAL:
    case WEEKLY:
    case MONTHLY:
        oi->ShutdownS = 0;
        ea_st.downreason = NONE;
        ea_st.SCH_off = ea_st.SCH_boot = 0;
        break;
    default:
        return;
    }
    ea_st.next_off = 0;
    ea_st.ISSHUTTINGDOWN = 0;
    ea_st.DOWNREACHED = 0;
    oi->CommandDownS = 0;
}

int comm_established(uint32_t w, time_t now, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    UPS_UPSINFO *oi = out->DATA.upsinfop;
    int errors = 0;
    ea_st.com_estab_once = 1;
    getconfig(out);
    errors += ea_raise(EV_COMMOK, in, out);
    ea_st.ISCOMLST = 0;
    if (ea_st.downreason == OTHERAGEDOWN) {
        oi->ShutdownS = 0;
        oi->CommandDownS = 0;
        ea_st.downreason = NONE;
        ea_st.OTHERAG_off = 0;
        ea_st.next_off = 0;
        ea_st.ISSHUTTINGDOWN = 0;
    }
    // A shutdown that went on without the UPS keeps its instant.
    if (ea_st.next_off + 10 < now && !ea_st.ISSHUTTINGDOWN) {
        ea_st.next_off = ea_st.USR_off = ea_st.SCH_off = ea_st.SCH_boot = 0;
        ea_st.downreason = NONE;
    }
    // A countdown kept through the loss goes on from its first moment.
    if ((w & UPSF_UTILFAIL) && !ea_st.just_fail && ea_acfail_start(in, out) < 0)
        errors++;
    ea_st.lostonbattery = 0;
    refresh_schedule(out);
    ea_msgpair("UPS Communication established");
    ea_callback(CB_ANNOUNCE, nullptr, 0, 0);
    return errors;
}

int comm_lost(int comm, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    UPS_UPSINFO *ui = in->DATA.upsinfop;
    UPS_UPSINFO *oi = out->DATA.upsinfop;
    int errors = 0;
    char line[64];
    snprintf(line, sizeof line, "ups comm lost, comset:%d\n",
             static_cast<int>(out->DATA.upsconfigp->workparam.ComSet));
    printf0(line);

    // A host running on battery when the link goes must still be shut down
    // before the battery is empty: the countdown and a running shutdown go
    // on without the UPS.
    bool onbattery = ea_st.downreason == AC_FAIL || ea_st.downreason == BATTERY_LOW ||
                     (ea_st.last_u_status & (UPSF_UTILFAIL | UPSF_BATTLOW)) != 0;
    ea_st.lostonbattery = comm == COMM_LOST && ea_st.com_estab_once && onbattery;

    if (!ea_st.lostonbattery)
        drop_on_loss(oi);
    if (!(ea_st.lostonbattery && ea_st.ISSHUTTINGDOWN))
        oi->ShutdownS = 0;
    memset(&oi->upsdata, 0, sizeof oi->upsdata);
    if (ea_st.com_estab_once && comm == COMM_LOST)
        errors += ea_raise(EV_COMMLOST, in, out);
    ea_st.ISCOMLST = 1;
    ui->upsstat = 0;
    ea_st.LASTUPSSTAT = 0;
    if (!ea_st.lostonbattery) {
        if (ea_st.downreason == AC_FAIL) {
            ea_st.ACFAIL_off = ea_st.BATTLOW_off = 0;
            ea_st.downreason = NONE;
            ea_acfail_stop();
            oi->CommandDownS = 0;
            ea_st.DOWNREACHED = 0;
        }
        if (ea_st.downreason == USER_SPECIFY) {
            oi->ShutdownS = 0;
            ea_st.downreason = NONE;
            ea_st.USR_off = 0;
            oi->CommandDownS = 0;
            ea_st.ISSHUTTINGDOWN = 0;
            ea_st.next_off = 0;
            ea_st.DOWNREACHED = 0;
        }
    }
    if (comm == COMM_LOST)
        ea_msgpair("UPS communication Lost");
    ea_callback(CB_ANNOUNCE, nullptr, 0, 0);
    return errors;
}

// The end of a self-test, told by the test bit going down.
int selftest_end(uint32_t w, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    const UPS_UPSINFO *ui = in->DATA.upsinfop;
    uint32_t last = ea_st.last_u_status;
    if (rising(w, last, UPSF_TEST)) {
        char model[sizeof ui->upsmodel + 1];
        wp_strlcpy(model, out->DATA.upsinfop->upsmodel, sizeof model);
        bool tells = strncmp(model, "QE350", 5) != 0 && strncmp(model, "QE5500", 6) != 0 &&
                     strncmp(model, "QA", 2) != 0;
        if (tells && (w & UPSF_BATTDISC))
            ea_msgpair("UPS Battery Disconnect");
        return 0;
    }
    if (!falling(w, last, UPSF_TEST))
        return 0;
    if (w & UPSF_TESTENDED) {
        if (ui->sftResBattery.Result == SELFTEST_PASSED)
            return ea_raise(EV_BATTTESTOK, in, out);
        if (ui->sftResBattery.Result == SELFTEST_FAILED)
            return ea_raise(EV_BATTTESTFAIL, in, out);
        return 0;
    }
    int offset;
    switch (ea_st.testreason) {
    case NONE:
    case USER_SPECIFY:
        offset = 0;
        break;
    case SPECIAL:
    case WEEKLY:
    case MONTHLY:
        offset = ea_st.testreason;
        break;
    default:
        offset = -1;
        break;
    }
    int errors = 0;
    if (offset >= 0)
        errors = ea_raise((ui->sftResUPS.Result != 0 ? EV_TESTOK : EV_TESTFAIL) + offset, in, out);
    ea_st.testreason = NONE;
    return errors;
}

struct edges {
    bool failed, restored, overload, abnormal, bypass;
};

edges state_edges(uint32_t w)
{
    uint32_t last = ea_st.last_u_status;
    edges e{};
    e.failed = rising(w, last, UPSF_UTILFAIL);
    e.restored = falling(w, last, UPSF_UTILFAIL);
    e.overload = rising(w, last, UPSF_OVERLOAD);
    e.bypass = rising(w, last, UPSF_BYPASS);
    // A fault is told once for each time its bit comes up.
    if ((w & UPSF_FAULT) && !ea_st.iFirstgetHWfail) {
        ea_callback(CB_ANNOUNCE_STATE, nullptr, 0, 0);
        e.abnormal = true;
        ea_st.iFirstgetHWfail = 1;
    } else if (!(w & UPSF_FAULT)) {
        ea_st.iFirstgetHWfail = 0;
    }
    return e;
}

int act_on_edges(const edges &e, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    int errors = 0;
    // Seen again when the link came back in the same pass: one countdown.
    if (e.failed && !ea_st.just_fail && ea_acfail_start(in, out) < 0)
        errors++;
    if (e.abnormal)
        errors += ea_raise(EV_ABNORMAL, in, out);
    if (e.overload)
        errors += ea_raise(EV_OVERLOAD, in, out);
    if (e.bypass)
        errors += ea_raise(EV_BYPASS, in, out);
    if (e.restored) {
        if (!ea_st.ISSHUTTINGDOWN && ea_st.downreason == AC_FAIL) {
            ea_st.ACFAIL_off = ea_st.BATTLOW_off = 0;
            ea_st.downreason = NONE;
        }
        if (!ea_st.ISSHUTTINGDOWN || ea_st.downreason != AC_FAIL)
            ea_st.ACFAIL_off = 0;
        ea_acfail_stop();
        ea_msgpair("UPS AC Restore");
        errors += ea_raise(EV_ACRESTORE, in, out);
    }
    return errors;
}

int battery(uint32_t w, time_t now, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    uint32_t last = ea_st.last_u_status;
    int errors = 0;
    if (rising(w, last, UPSF_BATTLOW)) {
        ea_msgpair("UPS Battery Low");
        errors += ea_raise(EV_BATTLOW, in, out);
        ea_st.BATTLOW_off = now;
        // A running shutdown due earlier is not put off by it.
        if (!ea_st.ISSHUTTINGDOWN || ea_st.next_off == 0 || now < ea_st.next_off) {
            ea_st.downreason = BATTERY_LOW;
            ea_st.next_off = now;
        }
    }
    if (rising(w, last, UPSF_BATTWEAK)) {
        errors += ea_raise(EV_BATTWEAK, in, out);
        const char *a = "Ups battery is weak.Please change the battery as soon as possible.\n";
        const char *b = "If you don't change the battery UPS can't action when UPS AC Fail.";
        snprintf(ea_st.msgbuffer, sizeof ea_st.msgbuffer, "%s%s", gettext(a), gettext(b));
        snprintf(ea_st.msgbuffer2, sizeof ea_st.msgbuffer2, "%s%s", a, b);
        ea_sendpair();
    }
    if (rising(w, last, UPSF_BATTDISC)) {
        errors += ea_raise(EV_BATTDISC, in, out);
        ea_msgpair("UPS Battery Disconnect");
    }
    return errors;
}

// Writes the instant t + grace into *dst, or the empty record for t == 0.
int show_time(UPS_TIMEINFO *dst, time_t t, long grace)
{
    return gettime(t != 0 ? t + grace : 0, dst) < 0 ? 1 : 0;
}

int displayed_times(UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    UPS_UPSINFO *oi = out->DATA.upsinfop;
    int ignore = out->DATA.upsconfigp->commparam.bIgnore;
    bool lost = ea_commdown(in->DATA.upsinfop->CommStatus);
    ea_st.dispgrace = ignore ? 0 : ea_st.GRACE_PERIOD;
    time_t down = 0, boot = 0;
    switch (ea_st.downreason) {
    case AC_FAIL:
        if (ea_st.ACFAIL_off) {
            ea_st.ACFAIL_duration = getduration();
            down = ea_st.ACFAIL_off;
        }
        break;
    case USER_SPECIFY:
        down = lost ? 0 : ea_st.USR_off;
        break;
    case SPECIAL:
    case WEEKLY:
    case MONTHLY:
        down = lost ? 0 : ea_st.SCH_off;
        boot = lost ? 0 : ea_st.SCH_boot;
        break;
    case OTHERAGEDOWN:
        down = ignore ? 0 : ea_st.OTHERAG_off;
        break;
    case BATTERY_LOW:
        down = ea_st.BATTLOW_off;
        break;
    case EVENT_TRIGGER:
        down = ea_st.EVENTTRIGGER_off;
        break;
    default:
        break;
    }
    return show_time(&oi->nextdown, down, ea_st.dispgrace) +
           show_time(&oi->nextboot, boot, ea_st.dispgrace);
}

} // namespace

int ea_acfail_start(UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    ea_st.just_fail = 1;
    int r = eventaction(EV_ACFAIL, in, out);
    ea_st.ACFAIL_off = sysclock_time() + ea_st.EXPBLIFE;
    starttimer();
    ea_st.ACFAIL_duration = 0;
    return r;
}

void ea_acfail_stop(void)
{
    if (ea_st.just_fail) {
        ea_st.just_fail = 0;
        stoptimer();
    }
    ea_st.ACFAIL_duration = 0;
}

int checkupsstatus(UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    UPS_UPSINFO *ui = in->DATA.upsinfop;
    UPS_UPSINFO *oi = out->DATA.upsinfop;
    UPS_COMMPARAM *cp = &out->DATA.upsconfigp->commparam;
    uint32_t w = in->DATA.upsstatp != nullptr ? *in->DATA.upsstatp : 0;
    int errors = 0;

    // 1. What monitors see of this agent changed: announce it.
    char model[sizeof oi->upsmodel + 1];
    char group[sizeof cp->Group + 1];
    // The fields need not be ended: each copy reads no more than its field.
    wp_strlcpy(model, oi->upsmodel, sizeof model);
    wp_strlcpy(group, cp->Group, sizeof group);
    bool model_changed = strcmp(model, ea_st.model_lasttime) != 0;
    int differences = model_changed + (strcmp(group, ea_st.group_last) != 0) +
                      (oi->AgentType != ea_st.agenttype_last) + (cp->bIgnore != ea_st.ignore_last);
    for (int i = 0; i < differences; i++)
        ea_callback(CB_ANNOUNCE_STATE, nullptr, 0, 0);

    // 2. The automatic restart switch matters only on units that have one.
    bool reboot_changed = false;
    if ((w & UPSF_CF) || strncmp(model, "QR", 2) != 0) {
        ea_st.sche_on = 0;
    } else {
        reboot_changed = oi->bAutoReboot != ea_st.reboot_old;
        ea_st.sche_on = oi->bAutoReboot ? 1 : -1;
        ea_st.reboot_old = oi->bAutoReboot;
    }

    // 3. An ignored other-agent shutdown stops everything until it ends.
    time_t now = sysclock_time();
    if (ea_st.downreason == OTHERAGEDOWN && cp->bIgnore)
        return 0;

    // 4. Schedules depend on the model, the restart switch and a test's end.
    ea_st.beDoCmdDown = 0;
    if (model_changed) {
        getconfig(out);
        refresh_schedule(out);
    } else if (ea_st.ACFAIL_off == 0 && !ea_st.ISSHUTTINGDOWN && ea_st.LASTUPSSTAT == st_test &&
               ui->upsstat == UPSST_NORMAL) {
        refresh_schedule(out);
    }
    if (reboot_changed)
        refresh_schedule(out);

    // 5. As they stand after a reload of the configuration.
    wp_strlcpy(group, cp->Group, sizeof group);
    wp_strlcpy(ea_st.model_lasttime, model, sizeof ea_st.model_lasttime);
    wp_strlcpy(ea_st.group_last, group, sizeof ea_st.group_last);
    ea_st.ignore_last = cp->bIgnore;
    ea_st.agenttype_last = oi->AgentType;

    // 6. The link to the UPS came or went.
    int comm = ui->CommStatus;
    if (comm != ea_st.LASTCOMMSTATUS) {
        ea_callback(CB_ANNOUNCE_STATE, nullptr, 0, 0);
        if (comm == COMM_ESTABLISHED)
            errors += comm_established(w, now, in, out);
        else if (ea_commdown(comm))
            errors += comm_lost(comm, in, out);
    }
    // 7.
    if (ea_commdown(comm) && ea_st.downreason == AC_FAIL && !ea_st.lostonbattery)
        ea_st.downreason = NONE;

    // 8. A self-test ended, or a countdown outlived its mains failure.
    bool after_battery =
        comm == COMM_ESTABLISHED && ea_st.LASTUPSSTAT == st_onbattery && ea_st.ACFAIL_off == 0;
    if ((w != ea_st.last_u_status && comm == ea_st.LASTCOMMSTATUS) || after_battery) {
        errors += selftest_end(w, in, out);
    } else if (ea_st.ACFAIL_off && !ea_st.ISSHUTTINGDOWN && !ea_st.lostonbattery &&
               (ui->upsstat == st_test || ui->upsstat == UPSST_NORMAL)) {
        ea_st.ACFAIL_off = 0;
        ea_st.downreason = NONE;
    }

    // 9, 10. The mains, faults, overload and bypass.
    if (w != ea_st.last_u_status || after_battery || (w & UPSF_FAULT)) {
        if (w != ea_st.last_u_status)
            ea_callback(CB_ANNOUNCE_STATE, nullptr, 0, 0);
        edges e = state_edges(w);
        if (!ea_commdown(comm))
            errors += act_on_edges(e, in, out);
    }

    // 12. The battery.
    if (w != ea_st.last_u_status)
        errors += battery(w, now, in, out);

    // 13. What the next pass compares with, and what monitors show.
    ea_st.bBattConnect = !(w & UPSF_BATTDISC);
    ea_st.LASTUPSSTAT = ui->upsstat;
    ea_st.LASTCOMMSTATUS = comm;
    ea_st.last_u_status = w;
    getlasttwoevents(oi->events);
    if (gettime(now, &oi->timeinfo) < 0)
        errors++;

    // 14.
    errors += displayed_times(in, out);
    return errors ? -1 : 0;
}

int checkagent(AGENTEVENT *agentevent, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    if (agentevent == nullptr)
        return -1;
    switch (agentevent->id) {
    case AGEV_SETTINGS: {
        // An agent type that is missing or invalid counts as the most
        // cautious one.
        int type = ea_readrole(AGTYPE_HIGH);
        out->DATA.upsconfigp->commparam.AgentType = static_cast<uint32_t>(type);
        UPS_UPSINFO *oi = out->DATA.upsinfop;
        ea_readgroup(oi->Group, sizeof oi->Group);
        static_assert(sizeof oi->Group == sizeof in->DATA.upsconfigp->commparam.Group);
        wp_strlcpy(in->DATA.upsconfigp->commparam.Group, oi->Group, sizeof oi->Group);
        return 0;
    }
    case AGEV_NETDOWN: {
        // A second notice while one is pending changes nothing.
        if (ea_st.downreason == OTHERAGEDOWN)
            return 0;
        ea_st.downreason = OTHERAGEDOWN;
        if (agentevent->adip != nullptr) {
            static_assert(sizeof agentevent->adip->Agent < sizeof ea_st.agentname);
            wp_strlcpy(ea_st.agentname, agentevent->adip->Agent,
                       sizeof agentevent->adip->Agent + 1);
        }
        ea_st.next_off = ea_st.OTHERAG_off = sysclock_time();
        return 0;
    }
    case AGEV_STOP:
        return eventaction(EV_STOP, in, out);
    case AGEV_STOPASKED:
        // Past its deadline the agent is committed to the shutdown (a
        // user's cancel is refused too); the host is most likely going down
        // already, and an agent that left now would never tell the UPS to
        // switch off.  The next tick finishes the shutdown instead.
        if (ea_st.ISSHUTTINGDOWN)
            ea_st.stopasked = 1;
        return 0;
    default:
        return 0;
    }
}
