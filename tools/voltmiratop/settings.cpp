#include "settings.h"

#include "admin.h"
#include "text.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <strings.h>

namespace vtop
{

namespace
{

std::string field_text(const char *f, size_t size)
{
    size_t n = 0;
    while (n < size && f[n] != '\0')
        n++;
    return std::string(f, n);
}

// ---------------------------------------------------------------------------
// Configuration keys

enum class Type { I32, U32, TEXT };

struct Key {
    const char *name; // as in the agent's configuration file
    Type type;
    size_t off;  // in UPS_PARAM
    size_t size; // of a text field
    long lo, hi;
    bool settable;
};

#define WP(f) offsetof(UPS_PARAM, workparam.f)
#define LP(f) offsetof(UPS_PARAM, logparam.f)
#define CP(f) offsetof(UPS_PARAM, commparam.f)

const Key KEYS[] = {
    {"AgentName", Type::TEXT, CP(Agent), sizeof(UPS_COMMPARAM::Agent), 0, 0, false},
    {"AgentType", Type::U32, CP(AgentType), 0, 1, 6, true},
    {"Group", Type::TEXT, CP(Group), sizeof(UPS_COMMPARAM::Group), 0, 0, true},
    {"IgnoreOtherAgentDown", Type::I32, CP(bIgnore), 0, 0, 1, true},
    {"ComSet", Type::I32, WP(ComSet), 0, -2, 4, true},
    {"AutoBoot", Type::I32, WP(AutoReboot), 0, 0, 1, true},
    {"EXPECTBLIFE", Type::U32, WP(BattLife), 0, 0, 86400, true},
    {"FIRSTWARN", Type::U32, WP(FirstWarningTime), 0, 0, 86400, true},
    {"INTERVAL", Type::U32, WP(CountDownTime), 0, 1, 86400, true},
    {"TurnOffDelay", Type::U32, WP(TurnOffDelay), 0, 0, 86400, true},
    {"WARNBEFORESCHE", Type::U32, WP(WarningBeforeSchel), 0, 0, 86400, true},
    {"CloseAppTime", Type::U32, WP(nCloseAppTime), 0, 0, 86400, true},
    {"EventLogEnabled", Type::I32, LP(EnableEventLog), 0, 0, 1, true},
    {"EventLogMaxSize", Type::U32, LP(MaxEventRec), 0, 1, 100000, true},
    {"DataLogEnabled", Type::I32, LP(EnableDataLog), 0, 0, 1, true},
    {"DataLogInterval", Type::U32, LP(DataLogInterval), 0, 1, 86400, true},
    {"DataLogMaxSize", Type::U32, LP(MaxDataRec), 0, 1, 100000, true},
};

#undef WP
#undef LP
#undef CP

const Key *find_key(const std::string &name)
{
    for (const Key &k : KEYS)
        if (strcasecmp(k.name, name.c_str()) == 0)
            return &k;
    return nullptr;
}

std::string key_value(const UPS_PARAM &p, const Key &k)
{
    const auto *base = reinterpret_cast<const char *>(&p) + k.off;
    switch (k.type) {
    case Type::I32: {
        int32_t v;
        memcpy(&v, base, sizeof v);
        return std::to_string(v);
    }
    case Type::U32: {
        uint32_t v;
        memcpy(&v, base, sizeof v);
        return std::to_string(v);
    }
    case Type::TEXT:
        break;
    }
    return printable(japanese_to_utf8(base, k.size));
}

} // namespace

bool decode_config(const std::vector<uint8_t> &data, UPS_PARAM &out, std::string &why)
{
    if (data.size() != sizeof out) {
        why = data.empty() ? "the agent sends no configuration (a protector, or it failed to read "
                             "its file)"
                           : "configuration of " + std::to_string(data.size()) + " bytes, " +
                                 std::to_string(sizeof out) + " expected";
        return false;
    }
    memcpy(&out, data.data(), sizeof out);
    return true;
}

std::vector<uint8_t> make_config(const UPS_PARAM &p)
{
    return make_packet(PK_CONFIG, &p, sizeof p);
}

std::vector<std::string> config_lines(const UPS_PARAM &p)
{
    std::vector<std::string> lines;
    for (const Key &k : KEYS)
        lines.push_back(std::string(k.name) + " = " + key_value(p, k) +
                        (k.settable ? "" : "  (not settable)"));
    return lines;
}

std::string config_value(const UPS_PARAM &p, const std::string &key)
{
    const Key *k = find_key(key);
    return k ? key_value(p, *k) : "";
}

bool config_set(UPS_PARAM &p, const std::string &assignment, std::string &key, std::string &why)
{
    const size_t eq = assignment.find('=');
    if (eq == std::string::npos) {
        why = "KEY=VALUE expected";
        return false;
    }
    const std::string name = trim(assignment.substr(0, eq));
    const std::string value = trim(assignment.substr(eq + 1));
    const Key *k = find_key(name);
    if (!k || !k->settable) {
        why = "\"" + printable(name) + "\" is not a key that can be set; these can:";
        for (const Key &c : KEYS)
            if (c.settable)
                why += std::string(" ") + c.name;
        return false;
    }
    key = k->name;
    auto *base = reinterpret_cast<char *>(&p) + k->off;
    if (k->type == Type::TEXT) {
        std::string sj;
        if (!utf8_to_sjis(value, k->size - 1, sj, why))
            return false;
        memset(base, 0, k->size);
        memcpy(base, sj.data(), sj.size());
        return true;
    }
    long v = 0;
    if (!number(value, k->lo, k->hi, v)) {
        why = std::string(k->name) + " takes a whole number from " + std::to_string(k->lo) +
              " to " + std::to_string(k->hi);
        return false;
    }
    if (k->type == Type::I32) {
        const auto w = static_cast<int32_t>(v);
        memcpy(base, &w, sizeof w);
    } else {
        const auto w = static_cast<uint32_t>(v);
        memcpy(base, &w, sizeof w);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Event settings

namespace
{

constexpr size_t EVENTS_BYTES = NET_EVENTSET_NEVENTS * sizeof(UPS_EVENTINFO);
constexpr size_t MAX_USERS = 32;

std::string broadcast_words(uint32_t t)
{
    if (t == 0 || t == 1)
        return "all";
    if (t == 2)
        return "users";
    return t == 3 ? "none" : "none (" + std::to_string(t) + ")";
}

std::string mask_text(uint32_t m)
{
    char s[16];
    snprintf(s, sizeof s, "0x%X", m);
    return s;
}

bool yes_no(const std::string &v, int32_t &out)
{
    if (strcasecmp(v.c_str(), "yes") == 0 || v == "1") {
        out = 1;
        return true;
    }
    if (strcasecmp(v.c_str(), "no") == 0 || v == "0") {
        out = 0;
        return true;
    }
    return false;
}

bool mask(const std::string &v, uint32_t &out)
{
    if (v.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long m = strtoul(v.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || m > 0xFFFFFFFFUL || v[0] == '-')
        return false;
    out = static_cast<uint32_t>(m);
    return true;
}

} // namespace

bool decode_eventset(const std::vector<uint8_t> &data, EventSettings &out, std::string &why)
{
    if (data.size() < EVENTS_BYTES || (data.size() - EVENTS_BYTES) % sizeof(USERSDATA) != 0 ||
        (data.size() - EVENTS_BYTES) / sizeof(USERSDATA) > MAX_USERS) {
        why = data.empty() ? "the agent sends no event settings (a protector, or it failed to "
                             "read them)"
                           : "event settings of " + std::to_string(data.size()) +
                                 " bytes: not the events and at most 32 users";
        return false;
    }
    out.events.resize(NET_EVENTSET_NEVENTS);
    memcpy(out.events.data(), data.data(), EVENTS_BYTES);
    out.users.resize((data.size() - EVENTS_BYTES) / sizeof(USERSDATA));
    if (!out.users.empty())
        memcpy(static_cast<void *>(out.users.data()), data.data() + EVENTS_BYTES,
               data.size() - EVENTS_BYTES);
    return true;
}

std::vector<uint8_t> make_eventset(const EventSettings &s)
{
    std::vector<uint8_t> body(EVENTS_BYTES + s.users.size() * sizeof(USERSDATA));
    memcpy(body.data(), s.events.data(),
           std::min(EVENTS_BYTES, s.events.size() * sizeof(UPS_EVENTINFO)));
    if (!s.users.empty())
        memcpy(body.data() + EVENTS_BYTES, static_cast<const void *>(s.users.data()),
               s.users.size() * sizeof(USERSDATA));
    return make_packet(PK_EVENTSET, body.data(), body.size());
}

std::vector<std::string> eventset_lines(const EventSettings &s)
{
    std::vector<std::string> lines;
    for (const UPS_EVENTINFO &e : s.events) {
        char id[16];
        snprintf(id, sizeof id, "%3u", static_cast<unsigned>(e.EventID));
        std::string l = std::string(id) + "  " + event_line(e.EventID, "NAME") + ":  log " +
                        (e.Record ? "yes" : "no") + ", shutdown " + (e.Shutdown ? "yes" : "no") +
                        ", broadcast " + broadcast_words(e.BroadcastType);
        if (e.BroadcastUser)
            l += ", users " + mask_text(e.BroadcastUser);
        if (e.MailUser)
            l += ", mail " + mask_text(e.MailUser);
        const std::string cmd = field_text(e.Command, sizeof e.Command);
        if (!cmd.empty())
            l += ", command \"" + japanese_to_utf8(e.Command, sizeof e.Command) + "\"";
        lines.push_back(printable(l));
    }
    for (size_t i = 0; i < s.users.size(); i++) {
        const USERSDATA &u = s.users[i];
        lines.push_back(printable("user slot " + std::to_string(i) + " (number " +
                                  std::to_string(u.UserID) +
                                  "): " + japanese_to_utf8(u.UserName, sizeof u.UserName) + " <" +
                                  japanese_to_utf8(u.Email, sizeof u.Email) + ">"));
    }
    return lines;
}

const UPS_EVENTINFO *find_event(const EventSettings &s, unsigned id)
{
    for (const UPS_EVENTINFO &e : s.events)
        if (e.EventID == id)
            return &e;
    return nullptr;
}

bool eventset_change(EventSettings &s, const std::string &spec, unsigned &id, std::string &why)
{
    std::istringstream in(spec);
    std::string first;
    long v = 0;
    if (!(in >> first) || !number(first, 0, 255, v)) {
        why = "an event id first, e.g. \"65 shutdown=yes broadcast=none\"";
        return false;
    }
    id = static_cast<unsigned>(v);
    const UPS_EVENTINFO *found = find_event(s, id);
    if (!found) {
        why = "event " + first + " is not among the events the agent lets monitors set";
        return false;
    }
    UPS_EVENTINFO e = *found;
    std::string item;
    bool any = false;
    while (in >> item) {
        const size_t eq = item.find('=');
        const std::string k = item.substr(0, eq);
        std::string val = eq == std::string::npos ? "" : item.substr(eq + 1);
        bool ok = eq != std::string::npos;
        if (ok && k == "command") {
            // The command is the rest of the text, blanks and all.
            std::string rest;
            std::getline(in, rest);
            std::string sj;
            if (!utf8_to_sjis(trim(val + rest), sizeof e.Command - 1, sj, why))
                return false;
            memset(e.Command, 0, sizeof e.Command);
            memcpy(e.Command, sj.data(), sj.size());
        } else if (ok && k == "record") {
            ok = yes_no(val, e.Record);
        } else if (ok && k == "shutdown") {
            ok = yes_no(val, e.Shutdown);
        } else if (ok && k == "broadcast") {
            if (val == "all")
                e.BroadcastType = 0;
            else if (val == "users")
                e.BroadcastType = 2;
            else if (val == "none")
                e.BroadcastType = 3;
            else
                ok = mask(val, e.BroadcastType);
        } else if (ok && k == "users") {
            ok = mask(val, e.BroadcastUser);
        } else if (ok && k == "mail") {
            ok = mask(val, e.MailUser);
        } else {
            ok = false;
        }
        if (!ok) {
            why = "\"" + printable(item) +
                  "\": record=yes|no shutdown=yes|no broadcast=all|users|none users=MASK "
                  "mail=MASK command=TEXT";
            return false;
        }
        any = true;
    }
    if (!any) {
        why = "nothing to change for event " + first;
        return false;
    }
    for (UPS_EVENTINFO &t : s.events)
        if (t.EventID == id)
            t = e;
    return true;
}

} // namespace vtop
