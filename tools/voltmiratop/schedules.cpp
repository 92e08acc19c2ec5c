#include "settings.h"

#include "text.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace vtop
{

// ---------------------------------------------------------------------------
// Schedules

namespace
{

const char *const KINDS[] = {"", "special", "weekly", "monthly"};

std::string times_text(const UPS_TIMEINFO &t, int id)
{
    char s[64];
    switch (id) {
    case 1:
        snprintf(s, sizeof s, "%d %d %d %d * %u", t.minute, t.hour, t.day, t.month,
                 static_cast<unsigned>(t.year));
        break;
    case 2:
        snprintf(s, sizeof s, "%d %d * * %d", t.minute, t.hour, t.day);
        break;
    case 3:
        snprintf(s, sizeof s, "%d %d %d * *", t.minute, t.hour, t.day);
        break;
    default:
        snprintf(s, sizeof s, "%d %d", t.minute, t.hour);
        break;
    }
    return s;
}

// One side of an entry: the fields of the kind, '*' where the kind has no
// value.
bool parse_times(const std::vector<std::string> &f, int id, UPS_TIMEINFO &t, std::string &why)
{
    // Which positions carry a number (n) or must be '*' (s), and bounds.
    static const char *const shape[] = {"", "nnnnsn", "nnssn", "nnnss"};
    static const long lo[] = {0, 0, 1, 0, 0, 0};
    static const long hi_special[] = {59, 23, 31, 11, 6, 200};
    static const long hi_other[] = {59, 23, 31, 12, 6, 0};
    const std::string sh = shape[id];
    if (f.size() != sh.size()) {
        why = std::string("a ") + KINDS[id] + " time has " + std::to_string(sh.size()) +
              " fields: " +
              (id == 1   ? "minute hour day month(0-11) * year(since 1900)"
               : id == 2 ? "minute hour * * weekday(0-6)"
                         : "minute hour day * *");
        return false;
    }
    long v[6] = {};
    for (size_t i = 0; i < sh.size(); i++) {
        const long h = id == 1 ? hi_special[i] : hi_other[i];
        const long l = (id == 2 && i == 4) ? 0 : lo[i];
        if (sh[i] == 's' ? f[i] != "*" : !number(f[i], l, h, v[i])) {
            why =
                "\"" + printable(f[i]) + "\" where " +
                (sh[i] == 's' ? std::string("'*'")
                              : "a number from " + std::to_string(l) + " to " + std::to_string(h)) +
                " belongs";
            return false;
        }
    }
    t = UPS_TIMEINFO{};
    t.minute = static_cast<int8_t>(v[0]);
    t.hour = static_cast<int8_t>(v[1]);
    if (id == 1) {
        t.day = static_cast<int8_t>(v[2]);
        t.month = static_cast<int8_t>(v[3]);
        t.year = static_cast<uint8_t>(v[5]);
    } else if (id == 2) {
        t.day = static_cast<int8_t>(v[4]);
    } else {
        t.day = static_cast<int8_t>(v[2]);
    }
    return true;
}

} // namespace

bool decode_schedules(const std::vector<uint8_t> &data, std::vector<SCHEDULEINFO> &out,
                      std::string &why)
{
    out.clear();
    if (data.size() % sizeof(SCHEDULEINFO) != 0) {
        why = "schedule list of " + std::to_string(data.size()) + " bytes, not a multiple of 20";
        return false;
    }
    out.resize(data.size() / sizeof(SCHEDULEINFO));
    if (!out.empty())
        memcpy(out.data(), data.data(), data.size());
    return true;
}

std::vector<uint8_t> make_schedules(const std::vector<SCHEDULEINFO> &list)
{
    return make_packet(PK_SCHEDULE, list.data(), list.size() * sizeof(SCHEDULEINFO));
}

std::string schedule_text(const SCHEDULEINFO &s)
{
    const int id = s.ID;
    std::string t = s.ActionID == 0   ? "shutdown"
                    : s.ActionID == 1 ? "test"
                                      : "action " + std::to_string(s.ActionID);
    t += " ";
    t += id >= 1 && id <= 3 ? KINDS[id] : "kind " + std::to_string(id);
    t += " " + times_text(s.stimeInfo, id) + " to " + times_text(s.etimeInfo, id);
    if (s.ActionID == 0 && s.ScheduleOn == 0)
        t += " stay-off";
    return t;
}

bool parse_schedule(const std::string &text, SCHEDULEINFO &out, std::string &why)
{
    std::istringstream in(text);
    std::vector<std::string> w;
    std::string x;
    while (in >> x)
        w.push_back(x);
    const char *form = "ACTION KIND START to END [stay-off], e.g. \"shutdown weekly 30 22 * * 5 "
                       "to 0 7 * * 1\" (ACTION shutdown or test, KIND special, weekly or monthly)";
    if (w.size() < 2) {
        why = form;
        return false;
    }
    SCHEDULEINFO s{};
    if (w[0] == "shutdown")
        s.ActionID = 0;
    else if (w[0] == "test")
        s.ActionID = 1;
    else {
        why = form;
        return false;
    }
    int id = 0;
    for (int k = 1; k <= 3; k++)
        if (w[1] == KINDS[k])
            id = k;
    if (id == 0) {
        why = form;
        return false;
    }
    s.ID = static_cast<int8_t>(id);
    bool stay_off = false;
    if (w.back() == "stay-off") {
        if (s.ActionID != 0) {
            why = "stay-off is for shutdown entries";
            return false;
        }
        stay_off = true;
        w.pop_back();
    }
    size_t to = 0;
    for (size_t i = 2; i < w.size(); i++)
        if (w[i] == "to")
            to = i;
    if (to == 0) {
        why = form;
        return false;
    }
    const std::vector<std::string> start(w.begin() + 2, w.begin() + static_cast<long>(to));
    const std::vector<std::string> end(w.begin() + static_cast<long>(to) + 1, w.end());
    if (!parse_times(start, id, s.stimeInfo, why) || !parse_times(end, id, s.etimeInfo, why))
        return false;
    s.ScheduleOn = s.ActionID == 0 && !stay_off ? 1 : 0;
    out = s;
    return true;
}

bool same_schedule(const SCHEDULEINFO &a, const SCHEDULEINFO &b)
{
    return schedule_text(a) == schedule_text(b);
}

} // namespace vtop
