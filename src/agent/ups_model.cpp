// Which unit is on the line: the model queries and the capability query that
// decides which of the optional queries and commands the unit gets.
#include "agent/agent_ups.h"

#include "agent/strings.h"

#include <cstring>

namespace
{

bool known_family(const char *name, size_t len)
{
    return len >= 2 && name[0] == 'Q' && (name[1] == 'A' || name[1] == 'R' || name[1] == 'E');
}

// Stores the first len characters of name where the caller of the model
// query wants it, cut to the field.
void store_model(AGENTP ap, int s, const char *name, size_t len)
{
    char *dst = s ? ups_st.ups_model_s : ap->aip->ups.ui.upsmodel;
    size_t size = s ? sizeof ups_st.ups_model_s : sizeof ap->aip->ups.ui.upsmodel;
    if (len > size - 1)
        len = size - 1;
    memcpy(dst, name, len);
    dst[len] = '\0';
}

// Characters of a "CF" reply, as flags.
struct cf_reply {
    const char *r;
    bool operator[](int p) const { return r[p] == '1'; }
};

bool cf_valid(const char *r, int len)
{
    if (r == nullptr || len != 40 || ups_isnak(r, len))
        return false;
    for (int g = 0; g < 4; g++) {
        for (int p = g * 9; p < g * 9 + 8; p++) {
            if (r[p] != '0' && r[p] != '1')
                return false;
        }
    }
    return true;
}

void set_cmd(ups_state *st, int v)
{
    st->cmd_V = st->cmd_BTt = st->cmd_Six = st->cmd_Bv = st->cmd_Lfx = st->cmd_Blx = v;
}

} // namespace

int ups_ismodel(const char *model, const char *prefix)
{
    if (model == nullptr || prefix == nullptr)
        return 0;
    return strncmp(model, prefix, strlen(prefix)) == 0 ? 1 : 0;
}

int ups_isbracket(const char *model)
{
    return ups_ismodel(model, "QE350") || ups_ismodel(model, "QE5500");
}

int get_noqe_model(AGENTP ap, int s)
{
    if (ap == nullptr || ap->aip == nullptr)
        return -1;
    char buf[16];
    int n = ups_command(ap, buf, 15, "Si ?");
    if (n < 1) {
        if (s == 0)
            ups_reopen(ap);
        return 1;
    }
    if (ups_isnak(buf, n))
        return 1;
    if (!known_family(buf, static_cast<size_t>(n)))
        return -1;
    // QR units follow the name with more fields on the same line.
    int stop = buf[1] == 'R' ? ' ' : '\n';
    const char *end = static_cast<const char *>(memchr(buf, stop, static_cast<size_t>(n)));
    if (end == nullptr)
        return -1;
    size_t len = static_cast<size_t>(end - buf);
    const char *blank = static_cast<const char *>(memchr(buf, ' ', len));
    if (blank != nullptr)
        len = static_cast<size_t>(blank - buf);
    store_model(ap, s, buf, len);
    return 0;
}

int get_qe_model(AGENTP ap, int s)
{
    if (ap == nullptr || ap->aip == nullptr)
        return -1;
    char buf[16];
    int n = ups_command(ap, buf, 15, "(SiCC)");
    if (n < 1) {
        if (s == 0)
            ups_reopen(ap);
        return 1;
    }
    if (ups_isnak(buf, n) || buf[0] != '[')
        return 1;
    const char *blank = static_cast<const char *>(memchr(buf, ' ', static_cast<size_t>(n)));
    if (blank == nullptr)
        return 1;
    const char *name = buf + 1;
    size_t len = static_cast<size_t>(blank - name);
    if (!known_family(name, len))
        return -1;
    store_model(ap, s, name, len);
    return 0;
}

int ups_getupsmodel(AGENTP ap, int s)
{
    if (ap == nullptr || ap->aip == nullptr)
        return -1;
    // Ask first in the form the unit answered last time.
    int rc;
    if (ups_isbracket(ap->aip->ups.ui.upsmodel)) {
        rc = get_qe_model(ap, s);
        if (rc == 1)
            rc = get_noqe_model(ap, s);
    } else {
        rc = get_noqe_model(ap, s);
        if (rc == 1)
            rc = get_qe_model(ap, s);
    }
    if (rc != 0)
        return -1;
    // Read back within the field: the shared record is never trusted to
    // hold its terminator.
    const char *field = s ? ups_st.ups_model_s : ap->aip->ups.ui.upsmodel;
    size_t size = s ? sizeof ups_st.ups_model_s : sizeof ap->aip->ups.ui.upsmodel;
    char name[sizeof ups_st.model_lasttime];
    wp_strlcpy(name, field, size < sizeof name ? size : sizeof name);
    ups_st.model_changed = strcmp(name, ups_st.model_lasttime) != 0 ? 1 : 0;
    wp_strlcpy(ups_st.model_lasttime, name, sizeof ups_st.model_lasttime);
    return static_cast<int>(strlen(name));
}

int ups_getupsfunction(AGENTP ap, int mg)
{
    if (ap == nullptr || ap->aip == nullptr)
        return -1;
    UPS *u = &ap->aip->ups;
    if (mg)
        wp_strlcpy(ups_st.ups_model_s, u->ui.upsmodel, sizeof ups_st.ups_model_s);
    if (ups_isbracket(ups_st.ups_model_s)) {
        // These units have no "CF"; what they offer is fixed.
        u->ui.ufStatus = 0x8004;
        ups_state &c = ups_st;
        c.cmd_V = c.cmd_BTt = c.cmd_Six = c.cmd_Lfx = c.cmd_Blx = c.cmd_Sfn = 0;
        c.cmd_BvB8 = 1;
        return 0;
    }
    ups_st.cmd_BvB8 = 0;
    char buf[41];
    int n = ups_command(ap, buf, 40, "CF");
    if (n == -2)
        return -1;
    return ups_evalcf(&ups_st, u, n > 0 ? buf : nullptr, n > 0 ? n : 0);
}

int ups_evalcf(ups_state *st, UPS *u, const char *reply, int len)
{
    if (st == nullptr || u == nullptr)
        return -1;
    if (!cf_valid(reply, len)) {
        st->cf_V = st->cf_BTt = st->cf_Six = st->cf_Bv = st->cf_Lfx = st->cf_Blx = 0;
        st->cf_Sfn = 0;
        u->upsstat &= ~UPSF_CF;
        u->ui.ufStatus = 0;
        // Units known to lack "CF" get the set they are known to have.
        const char *m = st->ups_model_s;
        bool fixed = true;
        if (ups_ismodel(m, "QE200ZA") || ups_ismodel(m, "QE400ZA"))
            u->ui.ufStatus = 0xFA80;
        else if (ups_ismodel(m, "QR"))
            u->ui.ufStatus = 0xFFE0;
        else
            fixed = false;
        if (fixed) {
            set_cmd(st, 1);
            st->cmd_Sfn = 0;
        }
        return 0;
    }
    cf_reply c{reply};
    st->cf_V = c[1];
    st->cf_BTt = c[14];
    st->cf_Six = c[18];
    st->cf_Bv = c[19];
    st->cf_Lfx = c[20];
    st->cf_Blx = c[21];
    st->cf_Sfn = c[33];
    u->upsstat |= UPSF_CF;
    uint16_t f = UPSFN_CF;
    if (c[2])
        f |= 0x8000;
    if (c[32])
        f |= UPSFN_V2;
    if (c[10] && c[11])
        f |= 0x0800;
    if (c[12] && c[13])
        f |= UPSFN_BUZZER;
    if (c[15] && c[16])
        f |= UPSFN_BATTDATE;
    if (c[22])
        f |= 0x2000;
    if (c[23] && c[24])
        f |= UPSFN_AUTORST;
    if (c[27] && c[28] && c[30])
        f |= 0x0400;
    if (c[27] && c[29] && c[30])
        f |= 0x0100;
    if (c[27] && c[28] && c[31])
        f |= 0x0040;
    if (c[27] && c[29] && c[31])
        f |= 0x0020;
    // "Sf" is usable only where the restart setting can be read back.
    if ((f & UPSFN_V2) && st->cf_Sfn)
        f |= UPSFN_SFOFF;
    f &= static_cast<uint16_t>(~UPSFN_CFSEEN);
    u->ui.ufStatus = f;
    return 0;
}
