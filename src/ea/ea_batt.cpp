// A number as decimal text, and the battery-change date that the agent keeps
// in its configuration for the models that cannot store it themselves.
#include "ea/ea_batt.h"

#include "ea/ea_config.h"
#include "ea/ea_state.h"
#include "ea/filehandle.h"

#include <cstdio>
#include <cstring>

namespace
{

const char *const BATT_SECTION = "UPS";
const char *const BATT_KEY = "ChangeBattTime";

// A sign and the ten digits of the largest unsigned int, and the end.
char itoc_buf[16];

// One number of the stored date and the separator after it; a missing or
// malformed number reads as 0 and leaves the cursor where it stopped.
int date_field(const char **p)
{
    int sign = 1;
    if (**p == '-') {
        sign = -1;
        (*p)++;
    }
    int v = 0;
    int digits = 0;
    while (**p >= '0' && **p <= '9' && digits < 9) {
        v = v * 10 + (**p - '0');
        (*p)++;
        digits++;
    }
    while (**p >= '0' && **p <= '9') // more digits than any field holds
        (*p)++;
    if (**p == ',')
        (*p)++;
    return sign * v;
}

} // namespace

char *itoc(int dig)
{
    unsigned v = static_cast<unsigned>(dig);
    snprintf(itoc_buf, sizeof itoc_buf, "%s%u", ea_st.lognegative ? "-" : "", v);
    ea_st.lognegative = 0;
    return itoc_buf;
}

int setbattime(UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    if (in == nullptr || in->DATA.acp == nullptr || in->DATA.acp->arg.bctp == nullptr)
        return 1;
    const UPS_TIMEINFO &t = in->DATA.acp->arg.bctp->BattTime;
    char text[64];
    snprintf(text, sizeof text, "%03u,%02d,%02d,%02d,%02d,%02d", static_cast<unsigned>(t.year),
             t.month, t.day, t.hour, t.minute, t.second);
    int rc = writeparam(BATT_SECTION, BATT_KEY, text) == 0 ? 0 : 1;
    if (out != nullptr && out->DATA.upsinfop != nullptr)
        out->DATA.upsinfop->PreChangeBatt = t;
    return rc;
}

int getbattime(UPS_TIMEINFO *changebatt)
{
    if (changebatt == nullptr)
        return -1;
    char text[FILEHANDLE_LINE_MAX];
    memset(changebatt, 0, sizeof *changebatt);
    if (!ea_readstr(BATT_SECTION, BATT_KEY, text, sizeof text, nullptr))
        return -1;
    const char *p = text;
    changebatt->year = static_cast<uint8_t>(date_field(&p));
    changebatt->month = static_cast<int8_t>(date_field(&p));
    changebatt->day = static_cast<int8_t>(date_field(&p));
    changebatt->hour = static_cast<int8_t>(date_field(&p));
    changebatt->minute = static_cast<int8_t>(date_field(&p));
    changebatt->second = static_cast<int8_t>(date_field(&p));
    return 0;
}
