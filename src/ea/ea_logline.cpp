// Turning event-log and data-log lines back into records.  The lines come
// from files anyone with root may have edited, and the records go out to
// monitors, so every field is read within its bounds and a damaged line
// gives a partial record, never a read past its end.
#include "ea/ea_history.h"

#include "agent/strings.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace
{

struct logline_state {
    size_t cursor; // where next_logfield goes on in its line
    bool negative; // a "-" came before the field being read
    char field[24];
};

logline_state st;

// The next field into *dst as value - offset; 1 (dst untouched) when the
// field is missing, else 0.
template <typename T>
int read_into(const char *line, T *dst, int lower, int upper, int last, int offset = 0)
{
    const char *s = next_logfield(line, lower, upper, last);
    if (s == nullptr)
        return 1;
    *dst = static_cast<T>(wp_atoi(s) - offset);
    return 0;
}

// Starts a line: day, month, year and time into t; the number of fields
// missing.
int read_stamp(const char *str, int month_max, UPS_TIMEINFO *t)
{
    st = logline_state{};
    // One statement each: the fields must be read in order.
    int bad = read_into(str, &t->day, 1, 31, 0);
    bad += read_into(str, &t->month, 1, month_max, 0);
    bad += read_into(str, &t->year, 1900, 2100, 0, 1900);
    bad += read_into(str, &t->hour, 0, 23, 0);
    bad += read_into(str, &t->minute, 0, 59, 0);
    bad += read_into(str, &t->second, 0, 59, 0);
    return bad;
}

} // namespace

void ea_history_init(void)
{
    st = logline_state{};
}

char *next_logfield(const char *line, int lower, int upper, int last)
{
    bool negative = st.negative;
    st.negative = false;
    size_t i = st.cursor;
    // A cursor left beyond a shorter line must not read past its end.
    if (line == nullptr || strnlen(line, i) < i)
        return nullptr;
    for (; line[i] != '\0' && (line[i] < '0' || line[i] > '9'); i++)
        if (line[i] == '-')
            negative = true;
    st.cursor = i;
    if (line[i] == '\0')
        return nullptr;
    long long v = 0;
    for (; line[i] >= '0' && line[i] <= '9'; i++)
        if (v <= INT_MAX)
            v = v * 10 + (line[i] - '0');
    st.cursor = i;
    if (v < lower || v > upper)
        return nullptr;
    bool ends = line[i] == '\0' || line[i] == '\n';
    if (last ? !ends : ends)
        return nullptr;
    snprintf(st.field, sizeof st.field, "%s%lld", negative ? "-" : "", v);
    return st.field;
}

int evelogtoinfo(const char *str, UPS_EVENTLOGINFO *evelog)
{
    if (str == nullptr || evelog == nullptr)
        return -1;
    int bad = read_stamp(str, 31, &evelog->timeinfo);
    bad += read_into(str, &evelog->EventId, 0, 999, 0);
    bad += read_into(str, &evelog->byDownToEvt, 0, 999, 0);
    // The name runs from the first letter to the end of the line.
    const char *p = str + st.cursor;
    while (*p != '\0' && !((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z')))
        p++;
    char name[16];
    size_t len = strlen(p);
    wp_strlcpy(name, p, len > 15 ? 15 : sizeof name);
    len = strlen(name);
    if (len > 0)
        name[len - 1] = '\0'; // the newline, or the last kept character
    memcpy(evelog->AgentName, name, sizeof name);
    return bad > 0 ? -1 : 0;
}

int datalogtoinfo(const char *str, UPS_DATALOGINFO *datalog)
{
    if (str == nullptr || datalog == nullptr)
        return -1;
    UPSDATA *d = &datalog->upsdata;
    int bad = read_stamp(str, 12, &datalog->timeinfo);
    bad += read_into(str, &d->InPutINT, 0, 300, 0);
    bad += read_into(str, &d->InPutREM, 0, 300, 0);
    bad += read_into(str, &d->OutPutINT, 0, 300, 0);
    bad += read_into(str, &d->OutPutREM, 0, 300, 0);
    bad += read_into(str, &d->Load, 0, 300, 0);
    bad += read_into(str, &d->FreqInputINT, 0, 300, 0);
    bad += read_into(str, &d->FreqInputREM, 0, 300, 0);
    bad += read_into(str, &d->TempINT, 0, 300, 0);
    bad += read_into(str, &d->TempREM, 0, 300, 0);
    bad += read_into(str, &d->BattVolINT, 0, 300, 0);
    bad += read_into(str, &d->BattVolREM, 0, 300, 0);
    bad += read_into(str, &d->FreqOutputINT, 0, 300, 0);
    bad += read_into(str, &d->FreqOutputREM, 0, 300, 0);
    bad += read_into(str, &d->BattCap, 0, 300, 1);
    return bad > 0 ? -1 : 0;
}
