// Commands that change the UPS rather than read it: switching the output
// off (with or without a later restore), self-tests, the buzzer, the
// automatic self-test timer and restart switches, the output detection
// level and the stored battery-replacement date.
#include "agent/agent_ups.h"

#include "agent/agent_log.h"
#include "agent/net.h"

#include <cstdio>
#include <cstring>

namespace
{

bool begins(const char *buf, int n, const char *word)
{
    int len = static_cast<int>(strlen(word));
    return n >= len && memcmp(buf, word, static_cast<size_t>(len)) == 0;
}

bool bracket()
{
    return ups_isbracket(ups_st.ups_model_s) != 0;
}

// The single commands by their code; the first three are understood by
// every unit, the others not by the bracket units.
struct single_cmd {
    uint32_t code;
    const char *text;
    bool everyone;
};

const single_cmd singles[] = {
    {UPSCMD_TESTLOW, "TL", true},     {UPSCMD_TESTCANCEL, "CT", true},
    {UPSCMD_DOWNCANCEL, "C", true},   {UPSCMD_AUTOTESTOFF, "AC", false},
    {UPSCMD_AUTOTESTON, "AR", false}, {UPSCMD_BUZZERON, "Bn", false},
    {UPSCMD_BUZZEROFF, "Bf", false},  {UPSCMD_BUZZERTEST, "Bt", false},
    {UPSCMD_RESTARTOFF, "Af", false}, {UPSCMD_RESTARTON, "An", false},
    {UPSCMD_LEVELA, "VA", false},     {UPSCMD_LEVELB, "VB", false},
    {UPSCMD_LEVELH, "VH", false},     {UPSCMD_LEVELL, "VL", false},
};

// The restart switch is set before the shutdown so that the unit comes back
// (or stays off) as asked; what it answers does not change the shutdown.
void restart_switch(AGENTP ap, const char *text)
{
    char buf[5];
    ups_command(ap, buf, 4, "%s", text);
}

// The delay part of every shutdown form: tenths of a minute (".n") under a
// minute, else whole minutes ("nn").
struct down_delay {
    bool tenths;
    int value;
};

// secs is not negative.
down_delay encode_delay(int32_t secs)
{
    char msg[128];
    if (secs < 60)
        return {true, (secs % 60) / 6};
    long minutes = secs / 60;
    if (minutes > UPS_MAXDOWNMIN) {
        snprintf(msg, sizeof msg, "ups_shutdownups: turn-off delay of %ld min clamped to %d min\n",
                 minutes, UPS_MAXDOWNMIN);
        printf0(msg);
        minutes = UPS_MAXDOWNMIN;
    }
    return {false, static_cast<int>(minutes)};
}

// Restore minutes for the R forms, within the digits the unit reads.
long restore_minutes(int32_t secs)
{
    long minutes = secs / 60;
    long most = bracket() ? UPS_MAXRESTMIN_BRACKET : UPS_MAXRESTMIN;
    if (minutes > most) {
        char msg[128];
        snprintf(msg, sizeof msg, "ups_shutdownups: restore after %ld min clamped to %ld min\n",
                 minutes, most);
        printf0(msg);
        minutes = most;
    }
    return minutes;
}

} // namespace

int ups_docommand(AGENTP ap, uint32_t cmd)
{
    if (!ups_usable(ap))
        return -1;
    const single_cmd *c = nullptr;
    for (const single_cmd &s : singles) {
        if (s.code == (cmd & UPSCMD_MASK))
            c = &s;
    }
    if (c == nullptr || (!c->everyone && bracket()))
        return -1;
    if (c->code == UPSCMD_TESTCANCEL)
        ups_savetestrslt(&ap->aip->ups.ui.sftResUPS, SELFTEST_FAILED);
    if (bracket())
        return ups_command(ap, nullptr, 0, "%s", c->text) == 0 ? 0 : -1;
    char buf[5];
    int n = ups_command(ap, buf, 4, "%s", c->text);
    return begins(buf, n, "OK") ? 0 : -1;
}

// A turn-off delay of 100 minutes or more, or a restore time with more
// digits than the command has room for, used to be formatted as it was and
// went out as a longer command that the unit cannot take: the output then
// never went off at all.  Both are clamped to the largest value the command
// can carry instead.  The host is already down when the unit acts on it, so
// switching off somewhat earlier, or coming back somewhat earlier, is far
// better than not switching off.
int ups_shutdownups(AGENTP ap)
{
    if (!ups_usable(ap) || ap->aip->ba2u.msglen != static_cast<int32_t>(sizeof(UPSDOWNARG)))
        return -1;
    UPSDOWNARG arg;
    memcpy(&arg, ap->aip->ba2u.buf, sizeof arg);
    if (arg.downdelay < 0) {
        // A delay read from a setting at or above 2^31, or a caller's fault.
        // Taken as none, it would cut the power at once while the host is
        // still shutting down; no command at all leaves the unit running,
        // which the administrator can see and mend.
        char msg[128];
        snprintf(msg, sizeof msg, "ups_shutdownups: negative turn-off delay of %ld s refused\n",
                 static_cast<long>(arg.downdelay));
        printf0(msg);
        return -1;
    }
    uint16_t fn = ap->aip->ups.ui.ufStatus;
    down_delay d = encode_delay(arg.downdelay);
    char cmd[24];
    bool reply = !bracket();

    if (arg.downlast >= 1) {
        long minutes = restore_minutes(arg.downlast);
        int width = bracket() ? 4 : 5;
        if (fn & UPSFN_AUTORST)
            restart_switch(ap, "An");
        if (d.tenths)
            snprintf(cmd, sizeof cmd, "S.%1dR%0*ld", d.value, width, minutes);
        else
            snprintf(cmd, sizeof cmd, "S%02dR%0*ld", d.value, width, minutes);
    } else if (arg.downlast == 0 && (ups_st.cf_Sfn || ups_st.cmd_Sfn)) {
        // The unit's own stay-off form; it answers nothing.
        if (d.tenths)
            snprintf(cmd, sizeof cmd, "Sf.%1d", d.value);
        else
            snprintf(cmd, sizeof cmd, "Sf%02d", d.value);
        reply = false;
    } else {
        // Stay off: without "Sf" the restart switch must be off, or the
        // unit would come back by itself when power returns.  A negative
        // restore time leaves the switch as the user set it.
        if (arg.downlast == 0 && (fn & UPSFN_AUTORST))
            restart_switch(ap, "Af");
        if (d.tenths)
            snprintf(cmd, sizeof cmd, "S.%1d", d.value);
        else
            snprintf(cmd, sizeof cmd, "S%02d", d.value);
    }

    char buf[5];
    int n = ups_command(ap, buf, reply ? 4 : 0, "%s", cmd);
    if (n == -2) {
        perror("ups_shutdwonups: write");
        return -1;
    }
    if (!reply)
        return 0;
    return begins(buf, n, "OK") ? 0 : -1;
}

int ups_selftest(AGENTP ap)
{
    if (!ups_usable(ap) || ap->aip->ba2u.msglen != 4)
        return -1;
    if (ap->aip->ups.ui.upsstat == UPSST_TEST)
        return 0;
    char buf[5];
    int n = ups_command(ap, buf, bracket() ? 0 : 4, "T");
    if (n == -2) {
        perror("ups_selftest: write");
        return -1;
    }
    if (bracket())
        return 0;
    return n < 1 || ups_isnak(buf, n) ? -1 : 0;
}

int ups_selftest1(AGENTP ap, uint32_t cmd)
{
    if (!ups_usable(ap))
        return -1;
    cmd &= UPSCMD_MASK;
    if (cmd != UPSCMD_TEST10 && cmd != UPSCMD_TESTLOW)
        return -1;
    if (bracket())
        return ups_selftest(ap);
    // Some units start a test only while their own test timer is enabled.
    ups_docommand(ap, UPSCMD_AUTOTESTON);
    if (cmd == UPSCMD_TEST10)
        ups_selftest(ap);
    else
        ups_docommand(ap, UPSCMD_TESTLOW);
    if (ap->aip->ups.ui.AutoTestCan == 0)
        ups_docommand(ap, UPSCMD_AUTOTESTOFF);
    return 0;
}

int ups_setbattchgtime(AGENTP ap)
{
    if (!ups_usable(ap) || ap->aip->ba2u.msglen != static_cast<int32_t>(sizeof(BATTCHGTIME)) ||
        bracket())
        return -1;
    BATTCHGTIME bt;
    memcpy(&bt, ap->aip->ba2u.buf, sizeof bt);
    const UPS_TIMEINFO &t = bt.BattTime;
    // The command has exactly two digits for each; anything else would make
    // a longer command that the unit cannot read.
    if (t.month < 0 || t.month > 99 || t.day < 0 || t.day > 99) {
        printf0("ups_setbattchgtime: month or day out of range, not sent\n");
        return -1;
    }
    char buf[5];
    int n = ups_command(ap, buf, 4, "BRW%04d%02d%02d", t.year + 1900, t.month, t.day);
    return begins(buf, n, "OK") ? 0 : -1;
}

int doBuzzer(AGENTP ap)
{
    if (!ups_usable(ap))
        return -1;
    int rc;
    if (!(ap->aip->ups.ui.ufStatus & UPSFN_BUZZER)) {
        // Without the switch the buzzer cannot be turned on and off around
        // the test; it sounds as the unit has it.
        rc = ups_docommand(ap, UPSCMD_BUZZERTEST);
        ups_st.buzzerStep = 0;
        return rc;
    }
    switch (ups_st.buzzerStep) {
    case 1:
        rc = ups_docommand(ap, UPSCMD_BUZZERON);
        ups_st.buzzerStep = 2;
        break;
    case 2:
        rc = ups_docommand(ap, UPSCMD_BUZZERTEST);
        ups_st.buzzerStep = 3;
        break;
    case 3:
        rc = ups_docommand(ap, UPSCMD_BUZZEROFF);
        ups_st.buzzerStep = 0;
        break;
    default:
        ups_st.buzzerStep = 0;
        rc = -1;
        break;
    }
    return rc;
}
