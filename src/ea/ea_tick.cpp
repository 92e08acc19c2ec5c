// The tick.  Of the pending shutdown instants (user, mains failure,
// schedule) the earliest governs, except a low battery, an event-triggered
// and another agent's shutdown, which nothing displaces.  Before the
// deadline the monitors and users are warned; at it the system's shutdown
// begins.
#include "ea/ea_tick.h"

#include "agent/strings.h"
#include "agent/sysclock.h"
#include "ea/e_a.h"
#include "ea/ea_action.h"
#include "ea/ea_config.h"
#include "ea/ea_events.h"
#include "ea/ea_history.h"
#include "ea/ea_notify.h"
#include "ea/ea_schlist.h"
#include "ea/ea_shutdown.h"
#include "ea/ea_state.h"
#include "ea/ea_time.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libintl.h>

namespace
{

enum {
    EV_SPECIALWARN = 74, // 74..76: special day, weekly, monthly warning
    EV_USERDOWN = 79,
    EV_AGENTDOWN = 80,
    EV_ACFAIL = 65,
    EV_BATTLOW = 128,
    EV_ACDEADLINE = 129,
    EV_SPECIALDOWN = 130, // 130..132: special day, weekly, monthly deadline
    EV_USERDEADLINE = 133,
};

constexpr int no_event = 255;
// A scheduled self-test that could not start within this is dropped.
constexpr time_t test_late_s = 60;
// A schedule instant this far past is forgotten.
constexpr time_t schedule_past_s = 60;

struct tick {
    time_t now;
    bool lost;     // no link to the UPS
    bool reached;  // the governing deadline is here
    bool produced; // a countdown text is in the message buffers
};

// The warning event of a schedule countdown, raised once per countdown.
int *warned_flag(int reason)
{
    switch (reason) {
    case SPECIAL:
        return &ea_st.HASBGNSPE;
    case WEEKLY:
        return &ea_st.HASBGNWEE;
    default:
        return &ea_st.HASBGNMON;
    }
}

// A schedule countdown interrupted by a mains failure and then governing
// again does not raise its warning event again.
void warning_memory(void)
{
    int reason = ea_st.downreason, last = ea_st.lastdownreason, lastlast = ea_st.lastlastdownreason;
    if (ea_st.SCH_off == 0 || reason != last)
        ea_st.HASBGNSPE = ea_st.HASBGNWEE = ea_st.HASBGNMON = 0;
    if (ea_st.SCH_off && ea_scheduled(reason) &&
        ((last == AC_FAIL && ea_scheduled(lastlast)) || (last == reason && lastlast == AC_FAIL)))
        ea_st.HASBGNSPE = ea_st.HASBGNWEE = ea_st.HASBGNMON = 1;
    if (reason != last || last == NONE) {
        if (last != NONE && (lastlast != last || lastlast == NONE))
            ea_st.lastlastdownreason = last;
        ea_st.lastdowncount = 0;
        ea_st.lastdownreason = reason;
    }
}

// 5. Schedules that passed are forgotten and the list rebuilt.
void schedule_upkeep(const tick &t, UPS_EOUT_DATA *out)
{
    if (ea_st.SCH_off == 0 && ea_st.SHUTTINGDOWNINLOST && !t.lost) {
        ea_putschlist(out, getschlist());
        if (ea_st.SCH_off && t.now - ea_st.SCH_off >= schedule_past_s)
            ea_st.SCH_off = 0;
        else
            ea_st.SHUTTINGDOWNINLOST = 0;
    }
    if (ea_st.SCH_off && t.now - ea_st.SCH_off >= schedule_past_s) {
        ea_st.SCH_off = 0;
        ea_putschlist(out, getschlist());
    }
    ea_st.scheinterval = ea_st.SCH_off && ea_st.SCH_off - t.now <= 600 ? 60 : 300;
}

// 6. The earliest pending instant governs.  A low battery, an event and
// another agent's order are never displaced.
void governing_instant(void)
{
    int r = ea_st.downreason;
    if (r == BATTERY_LOW || r == OTHERAGEDOWN || r == EVENT_TRIGGER)
        return;
    time_t best = 0;
    for (time_t t : {ea_st.USR_off, ea_st.ACFAIL_off, ea_st.SCH_off}) {
        if (t != 0 && (best == 0 || t < best))
            best = t;
    }
    ea_st.next_off = best;
    if (best == 0) {
        ea_st.downreason = NONE;
        return;
    }
    // On a tie the last match wins: a schedule over the mains over the user.
    if (best == ea_st.USR_off)
        ea_st.downreason = USER_SPECIFY;
    if (best == ea_st.ACFAIL_off)
        ea_st.downreason = AC_FAIL;
    if (best == ea_st.SCH_off)
        ea_st.downreason = ea_st.schdownreason;
}

void refresh_localname(void)
{
    if (ea_hostname(ea_st.g_localname, sizeof ea_st.g_localname) != 0)
        ea_st.g_localname[0] = '\0';
}

int schedule_countdown(tick &t, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    int r = ea_st.downreason;
    int offset = r - SPECIAL;
    if (ea_st.next_off && t.now >= ea_st.next_off) {
        if (t.lost) {
            // The UPS cannot be told when to come back: not without it.
            ea_st.DOWNREACHED = 0;
            ea_st.next_off = 0;
            return 0;
        }
        t.reached = true;
        ea_st.DOWNREACHED = 1;
        ea_st.shutdowneventid = EV_SPECIALDOWN + offset;
        return ea_raise(EV_SPECIALDOWN + offset, in, out);
    }
    if (!ea_st.next_off || ea_st.next_off - t.now > ea_st.SCHCOUNT ||
        t.now - ea_st.lastdowncount < ea_st.scheinterval || t.lost)
        return 0;
    int errors = 0;
    int *warned = warned_flag(r);
    if (!*warned) {
        *warned = 1;
        errors += ea_raise(EV_SPECIALWARN + offset, in, out);
    }
    ea_st.shutdowneventid = EV_SPECIALWARN + offset;
    long remain = static_cast<long>(ea_st.next_off + ea_st.dp - t.now);
    // The translated text spells the date out; the English one uses the
    // date and time helpers.
    const char *local_fmt, *english_fmt;
    switch (r) {
    case SPECIAL:
        local_fmt = gettext(
            "system shutdown warning begin(schedule:specialday) %04dyear %2dmonth %2dday %s.");
        english_fmt = "system shutdown warning begin(schedule:specialday) Date:%s Time: %s.";
        break;
    case WEEKLY:
        local_fmt =
            gettext("system shutdown warning begin(schedule:weekly) %04dyear %2dmonth %2dday %s.");
        english_fmt = "system shutdown warning begin(schedule:weekly) Date:%s Time: %s.";
        break;
    default:
        local_fmt =
            gettext("system shutdown warning begin(schedule:monthly) %04dyear %2dmonth %2dday %s.");
        english_fmt = "system shutdown warning begin(schedule:monthly) Date:%s Time: %s.";
        break;
    }
    snprintf(ea_st.msgbuffer, sizeof ea_st.msgbuffer, local_fmt, user_year(remain),
             user_month(remain), user_day(remain), user_time(remain));
    char date[32];
    wp_strlcpy(date, user_date(remain), sizeof date);
    snprintf(ea_st.msgbuffer2, sizeof ea_st.msgbuffer2, english_fmt, date, user_time(remain));
    t.produced = true;
    return errors;
}

// 8. The governing reason's deadline, or its warning.
int countdown(tick &t, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    int ignore = out->DATA.upsconfigp->commparam.bIgnore;
    // A countdown that goes on without the UPS still warns the users.
    bool quiet = t.lost && !ea_st.lostonbattery;
    switch (ea_st.downreason) {
    case SPECIAL:
    case WEEKLY:
    case MONTHLY:
        return schedule_countdown(t, in, out);
    case AC_FAIL: {
        ea_st.shutdowneventid = EV_ACFAIL;
        if (ea_st.ACFAIL_off && ea_st.ACFAIL_off < t.now) {
            t.reached = true;
            ea_st.DOWNREACHED = 1;
            return ea_raise(EV_ACDEADLINE, in, out);
        }
        if (ea_st.ACFAIL_off - t.now <= ea_st.PFAILCOUNT &&
            t.now - ea_st.lastdowncount >= ea_st.INTERVAL && !quiet) {
            long left = static_cast<long>(ea_st.ACFAIL_off + ea_st.dp - t.now);
            t.produced = true;
            ea_msgformat("UPS Ac fail, System will be shut down in %d minute(s) and %d second(s).",
                         static_cast<int>(user_time_m(left)), static_cast<int>(user_time_s(left)));
        }
        return 0;
    }
    case BATTERY_LOW:
        ea_st.shutdowneventid = EV_BATTLOW;
        if (ea_st.BATTLOW_off && t.now >= ea_st.BATTLOW_off) {
            t.reached = true;
            ea_st.DOWNREACHED = 1;
        }
        t.produced = true;
        ea_msgformat("The system will begin shutdown process due to Battery Low");
        return 0;
    case EVENT_TRIGGER: {
        ea_st.shutdowneventid = ea_st.DOWNEVENTID;
        if (ea_st.EVENTTRIGGER_off && t.now >= ea_st.EVENTTRIGGER_off)
            t.reached = true;
        if (const char *what = EventMsg(ea_st.DOWNEVENTID)) {
            const char *fmt = "%s, The system will begin shutdown process.";
            snprintf(ea_st.msgbuffer, sizeof ea_st.msgbuffer, gettext(fmt), gettext(what));
            snprintf(ea_st.msgbuffer2, sizeof ea_st.msgbuffer2, fmt, what);
            t.produced = true;
        }
        return 0;
    }
    case USER_SPECIFY: {
        const AGENTCMD *acp = in->DATA.acp;
        if (ea_st.beDoCmdDown) {
            if (acp != nullptr && acp->cmd == CMD_SHUTDOWN && acp->arg.adip != nullptr) {
                static_assert(sizeof acp->arg.adip->Agent < sizeof ea_st.g_agent_name);
                wp_strlcpy(ea_st.g_agent_name, acp->arg.adip->Agent,
                           sizeof acp->arg.adip->Agent + 1);
            }
            ea_st.beDoCmdDown = 0;
            refresh_localname();
        }
        if (ea_st.USR_off && t.now >= ea_st.USR_off) {
            t.reached = true;
            ea_st.DOWNREACHED = 1;
            ea_st.shutdowneventid = EV_USERDEADLINE;
            return ea_raise(EV_USERDEADLINE, in, out);
        }
        if (!ea_st.shutdownMsgSendOnce && ea_st.USR_off &&
            ea_st.USR_off - t.now <= ea_st.SCHCOUNT) {
            ea_st.shutdownMsgSendOnce = 1;
            ea_st.shutdowneventid = EV_USERDOWN;
            t.produced = true;
            ea_msgformat("Receive shutdown Command From Users on %s", ea_st.g_localname);
        }
        return 0;
    }
    case OTHERAGEDOWN: {
        refresh_localname();
        if (ea_st.OTHERAG_off && t.now >= ea_st.OTHERAG_off)
            t.reached = true;
        int errors = 0;
        if (strcmp(ea_st.agentname, ea_st.g_localname) != 0 && !ignore) {
            t.produced = true;
            ea_msgformat("The system will begin shutdown process due to agent on %s",
                         ea_st.agentname);
            errors += ea_raise(EV_AGENTDOWN, in, out);
            ea_st.shutdowneventid = EV_AGENTDOWN;
        }
        return errors;
    }
    default:
        return 0;
    }
}

// 10. A scheduled self-test whose time has come.
void scheduled_test(const tick &t)
{
    if (!ea_st.next_test || t.now < ea_st.next_test)
        return;
    if (t.lost || t.now - ea_st.next_test > test_late_s || ea_st.ACFAIL_off ||
        !ea_st.bBattConnect) {
        ea_st.testreason = NONE;
    } else {
        ea_st.testreason = ea_st.schtestreason;
        if (ea_st.testreason != NONE)
            ea_callback(CB_SELFTEST, nullptr, 0, static_cast<unsigned>(ea_st.TestDuration));
    }
    ea_st.next_test = 0;
}

// 11. The data log, every DLOGINTERVAL seconds while the UPS answers.
int data_log(const tick &t, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    UPS_UPSINFO *ui = in->DATA.upsinfop;
    if (!ea_st.DATALOGENABLED ||
        labs(static_cast<long>(t.now - ea_st.lastdatalog)) < ea_st.DLOGINTERVAL || t.lost ||
        ui->upsmodel[0] != 'Q')
        return 0;
    ea_st.lastdatalog = t.now;
    return datalog(&ui->upsdata, static_cast<int>(out->DATA.upsconfigp->logparam.MaxDataRec)) < 0;
}

// 12. The deadline is here: tell everyone, then begin the shutdown.
int deadline(UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    int errors = 0;
    out->DATA.upsinfop->ShutdownS = 1;
    if (ea_st.downreason != OTHERAGEDOWN) {
        if (!out->DATA.upsconfigp->commparam.bIgnore) {
            if (ea_hostname(ea_st.agentname, sizeof ea_st.agentname) != 0) {
                ea_st.agentname[0] = '\0';
                errors++;
            }
            bool own = ea_st.downreason == USER_SPECIFY &&
                       strcmp(ea_st.g_agent_name, ea_st.g_localname) == 0;
            if (!own)
                errors += ea_raise(EV_AGENTDOWN, in, out);
        }
        // The translated text also makes the daemon tell the network.
        ea_msgformat("Time is up! System shutdown will be executed soon");
        ea_sendtext_kind(CB_NETDOWNMSG, ea_st.msgbuffer, 1);
        ea_sendpair();
    }
    ea_st.ISSHUTTINGDOWN = 1;
    ea_st.sd_upstold = 0; // a new shutdown tells the UPS again
    ea_st.downpoint = ea_st.next_off + ea_st.GRACE_PERIOD;
    if (shutdown_system(in, out) < 0)
        errors++;
    return errors;
}

} // namespace

int schedule(UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    UPS_UPSINFO *ui = in->DATA.upsinfop;
    tick t{};
    t.now = sysclock_time();
    t.lost = ea_commdown(ui->CommStatus);
    int ignore = out->DATA.upsconfigp->commparam.bIgnore;
    int errors = 0;

    // 1.
    if (ea_st.ISSERVERAGLOW)
        ea_st.GRACE_PERIOD = 0;
    else if (ea_st.ISSERVERAGNORMAL)
        ea_st.GRACE_PERIOD = 60;
    else if (ea_st.ISSERVERAGHIGH)
        ea_st.GRACE_PERIOD = 120;
    ea_st.dp = ignore ? 0 : ea_st.GRACE_PERIOD;

    // 2. A running shutdown only waits for its point.
    if (ea_st.ISSHUTTINGDOWN) {
        errors += data_log(t, in, out);
        if (ea_st.downreason == OTHERAGEDOWN && ignore) {
            out->DATA.upsinfop->ShutdownS = 0;
            ea_st.next_off = ea_st.OTHERAG_off = 0;
            ea_st.downreason = NONE;
            ea_st.ISSHUTTINGDOWN = 0;
            return 0;
        }
        // A running shutdown goes on to its end even when its instant was
        // taken back meanwhile: nothing else would ever end it.
        if (ea_st.next_off)
            ea_st.downpoint = ea_st.next_off + ea_st.GRACE_PERIOD;
        if ((ea_st.next_off || ea_st.downpoint) && shutdown_system(in, out) < 0)
            errors++;
        return errors ? -1 : 0;
    }

    // Changes of the reason made since the last tick (a mains return
    // passing through none) count, and so does the one this tick makes: a
    // schedule that takes the lead back from a mains failure on a pass where
    // its warning is due must find its warning event already raised.
    warning_memory();
    // 4. The mains countdown moves by the monotonic clock.
    if (ea_st.ACFAIL_off) {
        ea_st.ACFAIL_duration = getduration();
        ea_st.ACFAIL_off = t.now + ea_st.EXPBLIFE - ea_st.ACFAIL_duration;
    }
    schedule_upkeep(t, out);
    governing_instant();
    warning_memory();
    // 7.
    if (ea_scheduled(ea_st.downreason))
        ea_st.lastdowncount = ea_st.lastschdowncount;
    ea_st.msgbuffer[0] = ea_st.msgbuffer2[0] = '\0';

    errors += countdown(t, in, out);
    // 9.
    if (t.produced) {
        ea_st.lastdowncount = t.now;
        if (ea_scheduled(ea_st.downreason))
            ea_st.lastschdowncount = t.now;
        ea_sendpair();
        if (ea_st.shutdowneventid != no_event)
            wallornot(ea_st.shutdowneventid, ea_st.msgbuffer2, in, out);
    }
    scheduled_test(t);
    errors += data_log(t, in, out);
    if (t.reached)
        errors += deadline(in, out);
    return errors ? -1 : 0;
}
