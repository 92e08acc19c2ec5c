// One poll of the UPS: the status query and the single queries that follow
// it, each writing what it learns into the live record.
#include "agent/agent_ups.h"

#include "ea/filehandle.h"

#include <cstdio>
#include <cstring>

namespace
{

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// The n characters at p are all digits.
bool all_digits(const char *p, int n)
{
    for (int i = 0; i < n; i++) {
        if (!is_digit(p[i]))
            return false;
    }
    return true;
}

int number(const char *p, int n)
{
    int v = 0;
    for (int i = 0; i < n; i++)
        v = v * 10 + (p[i] - '0');
    return v;
}

// A "V"/"V2" reply: exactly 9 bytes, eight switch characters.
bool switches_valid(const char *r, int n)
{
    if (n != 9 || ups_isnak(r, n))
        return false;
    for (int i = 0; i < 8; i++) {
        if (r[i] != '0' && r[i] != '1')
            return false;
    }
    return true;
}

// A test that ended without a battery test's outcome closes as a UPS test.
void close_ups_test(UPS *u, const ups_state *st)
{
    ups_savetestrslt(&u->ui.sftResUPS, st->gb_upstest_ok ? SELFTEST_PASSED : SELFTEST_FAILED);
    u->upsstat &= ~(UPSF_TESTENDED | UPSF_TEST);
}

void clear_date(UPS_TIMEINFO *t)
{
    t->year = 0;
    t->month = t->day = t->hour = t->minute = t->second = 0;
}

} // namespace

int ups_getupsstatus(AGENTP ap)
{
    if (!ups_usable(ap))
        return -1;
    if (ups_getupsinfo(ap) != 0) {
        ups_flushline();
        if (ups_getupsinfo(ap) != 0)
            return -1;
    }
    // Capability and model are worth one failure between them; after that
    // the unit is too confused to be believed.
    int err = 0;
    if (ups_getupsfunction(ap, ups_st.mg) != 0)
        err++;
    int mrc = ups_getupsmodel(ap, 0);
    if (mrc < 0) {
        ups_flushline();
        mrc = ups_getupsmodel(ap, 0);
    }
    ups_st.mg = mrc >= 0 ? 1 : 0;
    if (mrc < 0)
        err++;
    if (err >= 2)
        return -1;
    if (ups_getbatteryvoltage(ap) != 0)
        err++;
    if (ups_getoutputfreq(ap) != 0)
        err++;
    if (ups_getbattcapacity(ap) != 0)
        err++;
    if (err >= 3)
        return -1;
    if (ups_getcomplstatus(ap) != 0 && ++err >= 3)
        return -1;
    if (ups_getbattchgtime(ap) != 0 && ++err >= 3)
        return -1;
    if (ups_getrebootstatus(ap) != 0 && ++err >= 3)
        return -1;
    return 0;
}

int ups_getupsinfo(AGENTP ap)
{
    if (!ups_usable(ap))
        return -1;
    char buf[UPS_Q1LEN + 1];
    for (int attempt = 0; attempt < 2; attempt++) {
        if (attempt > 0)
            ups_reopen(ap);
        int n = ups_command(ap, buf, UPS_Q1LEN, "Q1");
        if (n > 0 && ups_q1check(buf, n) == 0)
            return ups_evalq1(&ups_st, &ap->aip->ups, buf, n);
    }
    return -1;
}

int ups_evalv(ups_state *st, UPS *u, const char *r, int n)
{
    if (st == nullptr || u == nullptr || r == nullptr || !switches_valid(r, n))
        return -1;
    bool p[8];
    for (int i = 0; i < 8; i++)
        p[i] = r[i] == '1';
    u->ui.BuzzerCan = p[1] ? 0 : 1;
    u->ui.AutoTestCan = p[2] ? 0 : 1;
    if (ups_ismodel(st->ups_model_s, "QA")) {
        u->ui.iDetectionLvl = 1;
    } else {
        if (p[0]) {
            u->upsstat |= UPSF_BATTDISC;
            u->ui.BattStatus = BATT_DISCONNECTED;
        } else {
            u->upsstat &= ~UPSF_BATTDISC;
        }
        st->gb_CommandV_BattDisconect = p[0] ? 1 : 0;
        if (p[6])
            u->ui.iDetectionLvl = 0;
        else
            u->ui.iDetectionLvl = 1 + (p[3] ? 2 : 0) + (p[4] ? 1 : 0);
    }
    bool ended = st->lasttest == 1 && st->beTesting == 0;
    bool trouble = p[5] || p[7]; // test hardware failure, weak battery
    if (ended) {
        if (trouble) {
            if (!st->gb_Funtest_HWFail)
                ups_savetestrslt(&u->ui.sftResBattery, SELFTEST_FAILED);
        } else if (st->beBattTest && u->ui.CommStatus != COMM_LOST) {
            ups_savetestrslt(&u->ui.sftResBattery, SELFTEST_PASSED);
        }
    }
    st->gb_Battest_HWFail = p[5] ? 1 : 0;
    st->gb_Battest_Weak = p[7] ? 1 : 0;
    if (ended) {
        // A battery test's outcome, and a UPS test that found the battery in
        // trouble, go to the engine; any other UPS test is decided here.
        if (st->beBattTest || (trouble && st->gb_upstest_ok)) {
            u->upsstat |= UPSF_TESTENDED;
            u->upsstat &= ~UPSF_TEST;
        } else {
            close_ups_test(u, st);
        }
    }
    st->lasttest = st->beTesting;
    return 0;
}

int ups_getcomplstatus(AGENTP ap)
{
    if (!ups_usable(ap))
        return -1;
    UPS *u = &ap->aip->ups;
    if (!ups_st.cf_V && !ups_st.cmd_V) {
        if (!ups_isbracket(ups_st.ups_model_s))
            return -1;
        u->ui.BuzzerCan = 0;
        u->ui.AutoTestCan = 1;
        u->ui.iDetectionLvl = 0;
        if (ups_st.lasttest == 1 && ups_st.beTesting == 0)
            close_ups_test(u, &ups_st);
        ups_st.lasttest = ups_st.beTesting;
        return 0;
    }
    char buf[10];
    int n = ups_command(ap, buf, 9, "V");
    if (n < 1) {
        ups_reopen(ap);
        return -1;
    }
    return ups_evalv(&ups_st, u, buf, n);
}

int ups_getrebootstatus(AGENTP ap)
{
    if (!ups_usable(ap))
        return -1;
    AGINFOP aip = ap->aip;
    if (!(aip->ups.ui.ufStatus & UPSFN_V2)) {
        aip->udinfo &= ~UDINFO_V2;
        ups_st.bAutoRebootByV2 = 0;
        return 0;
    }
    char buf[10];
    int n = ups_command(ap, buf, 9, "V2");
    if (n < 1) {
        ups_reopen(ap);
        return -1;
    }
    if (!switches_valid(buf, n))
        return -1;
    ups_st.bAutoRebootByV2 = 1;
    aip->udinfo |= UDINFO_V2;
    // The unit reports the switch that keeps its output off after power
    // returns; the record holds whether it restarts.
    int restart = buf[0] == '1' ? 0 : 1;
    aip->ups.ui.bAutoReboot = restart;
    aip->ups.up.workparam.AutoReboot = restart;
    return 0;
}

int ups_getbatteryvoltage(AGENTP ap)
{
    if (!ups_usable(ap))
        return -1;
    if (!ups_st.cmd_BvB8)
        return 0;
    char buf[13];
    int n = ups_command(ap, buf, 12, "(BvB8)");
    if (n < 1) {
        ups_reopen(ap);
        return -1;
    }
    if (n < 6 || buf[0] != '[' || !all_digits(buf + 1, 2) || buf[3] != '.' || !is_digit(buf[4]) ||
        buf[5] != 'V')
        return -1;
    ap->aip->ups.ui.upsdata.BattVolINT = static_cast<int8_t>(number(buf + 1, 2));
    ap->aip->ups.ui.upsdata.BattVolREM = static_cast<int8_t>(buf[4] - '0');
    return 0;
}

int ups_getoutputfreq(AGENTP ap)
{
    if (!ups_usable(ap))
        return -1;
    UPSDATA *d = &ap->aip->ups.ui.upsdata;
    char buf[14];
    const char *hz; // "dd.d" inside the reply
    if (ups_st.cf_Lfx || ups_st.cmd_Lfx) {
        int n = ups_command(ap, buf, 5, "Lf ?");
        if (n < 0) {
            ups_reopen(ap);
            return -1;
        }
        if (n < 4 || ups_isnak(buf, n))
            return -1;
        hz = buf;
    } else if (ups_isbracket(ups_st.ups_model_s)) {
        int n = ups_command(ap, buf, 13, "(Lf ?11)");
        if (n < 0) {
            ups_reopen(ap);
            return -1;
        }
        if (n < 7 || buf[0] != '[' || buf[5] != 'H' || buf[6] != 'z')
            return -1;
        hz = buf + 1;
    } else {
        return -1;
    }
    if (!all_digits(hz, 2) || hz[2] != '.' || !is_digit(hz[3]))
        return -1;
    d->FreqOutputINT = static_cast<int8_t>(number(hz, 2));
    d->FreqOutputREM = static_cast<int8_t>(hz[3] - '0');
    return 0;
}

int ups_getbattcapacity(AGENTP ap)
{
    if (!ups_usable(ap))
        return -1;
    UPSDATA *d = &ap->aip->ups.ui.upsdata;
    if (!ups_st.cf_Blx && !ups_st.cmd_Blx) {
        if (!ups_isbracket(ups_st.ups_model_s))
            return -1;
        d->BattCap = 0;
        return 0;
    }
    char buf[6];
    int n = ups_command(ap, buf, 5, "Bl ?");
    if (n < 0) {
        ups_reopen(ap);
        return -1;
    }
    if (n < 3 || ups_isnak(buf, n) || !all_digits(buf, 3))
        return -1;
    // Three digits may say more than the one-byte field can hold.
    int v = number(buf, 3);
    d->BattCap = static_cast<int8_t>(v > 127 ? 127 : v);
    return 0;
}

int ups_getbattchgtime(AGENTP ap)
{
    if (!ups_usable(ap))
        return -1;
    UPS_TIMEINFO *t = &ap->aip->ups.ui.PreChangeBatt;
    const char *m = ups_st.ups_model_s;
    if (!(ap->aip->ups.ui.ufStatus & UPSFN_BATTDATE)) {
        if (ups_isbracket(m))
            clear_date(t);
        else if (ups_ismodel(m, "QA"))
            ups_configbattdate(t);
        else if (!ups_ismodel(m, "QR"))
            return -1;
        return 0;
    }
    char buf[11];
    int n = ups_command(ap, buf, 10, "BRR");
    if (n == -2) {
        if (ups_ismodel(m, "QR200ZB"))
            clear_date(t);
        return -1;
    }
    if (n < 1) {
        ups_reopen(ap);
        return -1;
    }
    if (n < 8 || ups_isnak(buf, n) || !all_digits(buf, 8))
        return -1;
    // The record holds years since 1900 in one byte: a later year would wrap
    // round to one in the past, so such a reply is not taken.
    int year = number(buf, 4);
    if (year > 1900 + 255)
        return -1;
    t->year = static_cast<uint8_t>(year < 1901 ? 0 : year - 1900);
    t->month = static_cast<int8_t>(number(buf + 4, 2));
    t->day = static_cast<int8_t>(number(buf + 6, 2));
    return 0;
}

void ups_configbattdate(UPS_TIMEINFO *t)
{
    int v[6] = {0, 0, 0, 0, 0, 0};
    const char *s = readparam("UPS", "ChangeBattTime");
    // A year past what the record's byte holds, or before 1900, would wrap
    // round to some other year: such a value is as good as none.
    if (s == nullptr ||
        sscanf(s, "%03d,%02d,%02d,%02d,%02d,%02d", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6 ||
        v[0] < 0 || v[0] > 255) {
        v[0] = v[1] = v[2] = v[3] = v[4] = v[5] = 0;
    }
    t->year = static_cast<uint8_t>(v[0]);
    t->month = static_cast<int8_t>(v[1]);
    t->day = static_cast<int8_t>(v[2]);
    t->hour = static_cast<int8_t>(v[3]);
    t->minute = static_cast<int8_t>(v[4]);
    t->second = static_cast<int8_t>(v[5]);
}

int ups_getbattchgtimeforcmd(AGENTP ap)
{
    if (ups_getcomplstatus(ap) != 0)
        return -1;
    return ups_getbattchgtime(ap);
}
