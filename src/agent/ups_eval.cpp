// Evaluation of a Q1 reply: the state code, the flag word, the battery state,
// the self-test tracking and the measurements.  Kept apart from the line so
// that every rule can be exercised on a reply string and the module state.
#include "agent/agent_ups.h"

#include "agent/sysclock.h"
#include "ea/ea_time.h"

namespace
{

// Status character bk of the reply: b7 at position 38 down to b0 at 45.
char bit(const char *r, int k)
{
    return r[45 - k];
}

bool on(const char *r, int k)
{
    return bit(r, k) == '1';
}

// Value of the leading digits of the n characters at pos; the digits are
// not guaranteed by the shape check, and anything else simply ends the
// number.
int digits(const char *r, int pos, int n)
{
    int v = 0;
    for (int i = 0; i < n && r[pos + i] >= '0' && r[pos + i] <= '9'; i++)
        v = v * 10 + (r[pos + i] - '0');
    return v;
}

int8_t tenth(char c)
{
    return static_cast<int8_t>(c >= '0' && c <= '9' ? c - '0' : 0);
}

void set_flag(uint32_t *w, uint32_t f, bool v)
{
    if (v)
        *w |= f;
    else
        *w &= ~f;
}

// A test just disappeared from the reply: decide what kind it was.  The QR
// units need longer for their short test, so their battery tests are told
// apart at a later mark; the bracket units only run UPS tests.
void test_ended(ups_state *st, UPS *u, const char *r)
{
    const char *m = st->ups_model_s;
    st->beTesting = st->beRealtest = 0;
    long secs = static_cast<long>(sysclock_mono() - st->start_test_t);
    bool batt;
    if (ups_isbracket(m))
        batt = false;
    else if (ups_ismodel(m, "QR"))
        batt = secs >= 21;
    else
        batt = secs >= 16;
    st->tcmd = 0;
    // A fault or weak battery at the end means the unit cut the test short.
    bool failed = on(r, 4) || on(r, 0);
    if (failed)
        batt = false;
    if (batt) {
        st->beBattTest = 1;
        u->upsstat |= UPSF_TESTENDED;
    } else {
        st->beUpsTest = 1;
        st->gb_upstest_ok = failed ? 0 : 1;
    }
    u->ui.upsstat = UPSST_NORMAL;
}

void track_test(ups_state *st, UPS *u, const char *r)
{
    char b2 = bit(r, 2);
    if (b2 == '1' || st->bSendTestCmd) {
        if (u->ui.upsstat != UPSST_SHUTDOWN) {
            u->upsstat |= UPSF_TEST;
            u->ui.upsstat = UPSST_TEST;
        }
        if (st->bSendTestCmd)
            st->tcmd = 1;
        st->bSendTestCmd = 0;
        if (b2 == '1' && !st->beTesting) {
            st->start_test_t = sysclock_mono();
            st->beTesting = st->beRealtest = 1;
        }
    } else if (b2 == '0') {
        st->beBattTest = st->beUpsTest = 0;
        if (st->beTesting) {
            test_ended(st, u, r);
            return;
        }
        if (st->tcmd && !st->beRealtest) {
            // Asked for, but the unit never showed it running.
            u->ui.upsstat = UPSST_NORMAL;
            u->upsstat &= ~(UPSF_TESTENDED | UPSF_TEST);
            ups_savetestrslt(&u->ui.sftResUPS, SELFTEST_FAILED);
            st->tcmd = 0;
        }
        st->beRealtest = 0;
    } else {
        u->ui.upsstat = UPSST_NORMAL;
        u->upsstat &= ~UPSF_TEST;
    }
}

// While the "V" query reports the battery disconnected, its code stands
// whatever Q1 says, so that the daemon never sees it flicker.
void battery_state(ups_state *st, UPS *u, const char *r)
{
    bool weak = on(r, 0) || st->gb_Battest_Weak;
    bool disc = (u->upsstat & UPSF_BATTDISC) != 0;
    if (ups_ismodel(st->ups_model_s, "QA")) {
        if (on(r, 6)) {
            u->ui.BattStatus = BATT_LOW;
            u->upsstat |= UPSF_BATTLOW;
        } else if (weak) {
            u->ui.BattStatus = BATT_WEAK;
            u->upsstat |= UPSF_BATTWEAK;
        } else {
            u->ui.BattStatus = on(r, 2) ? BATT_TEST : BATT_NORMAL;
        }
    } else if (on(r, 6)) {
        u->ui.BattStatus = BATT_LOW;
        u->upsstat |= UPSF_BATTLOW;
    } else if (weak) {
        if (st->beBattTest)
            ups_savetestrslt(&u->ui.sftResBattery, SELFTEST_FAILED);
        if (!disc) {
            u->ui.BattStatus = BATT_WEAK;
            u->upsstat |= UPSF_BATTWEAK;
        }
    } else if (!disc) {
        // The bracket units report no battery state of their own in a test.
        bool testing = on(r, 2) && !ups_isbracket(st->ups_model_s);
        u->ui.BattStatus = testing ? BATT_TEST : BATT_NORMAL;
    }
    if (!on(r, 6))
        u->upsstat &= ~UPSF_BATTLOW;
    if (!on(r, 0) && !st->gb_Battest_Weak)
        u->upsstat &= ~UPSF_BATTWEAK;
}

void measurements(ups_state *st, UPS *u, const char *r)
{
    UPSDATA *d = &u->ui.upsdata;
    d->InPutINT = static_cast<int16_t>(digits(r, 1, 3));
    d->InPutREM = tenth(r[5]);
    d->OutPutINT = static_cast<int16_t>(digits(r, 13, 3));
    d->OutPutREM = tenth(r[17]);
    int load = digits(r, 19, 3);
    d->Load = static_cast<uint8_t>(load > 255 ? 255 : load);
    if (load >= 101) {
        u->ui.upsstat = UPSST_OVERLOAD;
        u->upsstat |= UPSF_OVERLOAD;
    } else {
        u->upsstat &= ~UPSF_OVERLOAD;
    }
    d->FreqInputINT = static_cast<int8_t>(digits(r, 23, 2));
    d->FreqInputREM = tenth(r[26]);
    if (r[33] == '-') {
        d->TempINT = d->TempREM = static_cast<int8_t>(255);
    } else {
        d->TempINT = static_cast<int8_t>(digits(r, 33, 2));
        d->TempREM = tenth(r[36]);
    }
    // The bracket units report their battery voltage only through "(BvB8)".
    if (ups_isbracket(st->ups_model_s))
        return;
    // Units that report a per-cell voltage write it "d.dd": one whole digit,
    // the tenths right after the dot.
    if (r[29] == '.') {
        d->BattVolINT = static_cast<int8_t>(digits(r, 28, 1));
        d->BattVolREM = tenth(r[30]);
    } else {
        d->BattVolINT = static_cast<int8_t>(digits(r, 28, 2));
        d->BattVolREM = tenth(r[31]);
    }
}

} // namespace

int ups_evalq1(ups_state *st, UPS *u, const char *r, int len)
{
    if (st == nullptr || u == nullptr || ups_q1check(r, len) != 0)
        return -1;
    if (on(r, 1))
        u->ui.upsstat = UPSST_SHUTDOWN;
    track_test(st, u, r);

    bool standby = on(r, 3);
    u->isstandby = standby ? 1 : 0;
    bool hwfail = on(r, 4) || st->gb_Battest_HWFail;
    bool bypass = on(r, 5) && !standby;
    if (hwfail)
        u->ui.upsstat = UPSST_FAULT;
    else if (on(r, 7))
        u->ui.upsstat = UPSST_UTILFAIL;
    else if (bypass)
        u->ui.upsstat = UPSST_BYPASS;
    else if (on(r, 2))
        u->ui.upsstat = UPSST_TEST;
    else
        u->ui.upsstat = UPSST_NORMAL;

    set_flag(&u->upsstat, UPSF_STANDBY, standby);
    st->gb_Funtest_HWFail = on(r, 4) ? 1 : 0;
    set_flag(&u->upsstat, UPSF_FAULT, hwfail);
    set_flag(&u->upsstat, UPSF_UTILFAIL, on(r, 7));
    set_flag(&u->upsstat, UPSF_BYPASS, bypass);
    set_flag(&u->upsstat, UPSF_SHUTDOWN, on(r, 1));

    battery_state(st, u, r);

    // Results from before the link came up, or from another unit, are not
    // this unit's.
    if (u->ui.CommStatus == COMM_LOST || st->model_changed == 1) {
        ups_savetestrslt(&u->ui.sftResBattery, SELFTEST_NORESULT);
        ups_savetestrslt(&u->ui.sftResUPS, SELFTEST_NORESULT);
    }
    measurements(st, u, r);
    return 0;
}

int ups_savetestrslt(SELFTESTRESULT *rtp, uint32_t rslt)
{
    if (rtp == nullptr)
        return -1;
    rtp->Result = rslt;
    gettime(sysclock_time(), &rtp->timeinfo);
    return 0;
}
