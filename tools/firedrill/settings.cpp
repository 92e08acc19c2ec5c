#include "settings.h"

#include "agent/strings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace firedrill
{

namespace
{

constexpr size_t kLine = 512;

// The section name of a head line ("[ UPS ]" gives "UPS"); empty when the
// line is no head.
bool head_name(const char *line, char *name, size_t len)
{
    if (line[0] != '[')
        return false;
    const char *p = line + 1;
    while (*p == ' ')
        p++;
    const char *end = strchr(p, ']');
    if (end == nullptr)
        return false;
    while (end > p && end[-1] == ' ')
        end--;
    size_t n = static_cast<size_t>(end - p);
    if (n >= len)
        n = len - 1;
    memcpy(name, p, n);
    name[n] = '\0';
    return true;
}

// The value of an entry line for key, or null.
const char *entry_value(const char *line, const char *key)
{
    const char *p = line;
    while (*p == ' ')
        p++;
    size_t k = strlen(key);
    if (strncmp(p, key, k) != 0)
        return nullptr;
    p += k;
    bool eq = false;
    while (*p == ' ' || *p == '=') {
        eq = eq || *p == '=';
        p++;
    }
    return eq ? p : nullptr;
}

// The first value of key in the first section called section.
bool lookup(FILE *f, const char *section, const char *key, char *value, size_t len)
{
    rewind(f);
    char line[kLine], name[kLine];
    bool in_section = false, seen_section = false;
    while (fgets(line, sizeof line, f) != nullptr) {
        line[strcspn(line, "\n")] = '\0';
        if (line[0] == '[') {
            if (in_section)
                return false;
            in_section =
                !seen_section && head_name(line, name, sizeof name) && strcmp(name, section) == 0;
            seen_section = seen_section || in_section;
            continue;
        }
        if (!in_section)
            continue;
        if (const char *v = entry_value(line, key)) {
            wp_strlcpy(value, v, len);
            return true;
        }
    }
    return false;
}

int number(FILE *f, const char *section, const char *key, int fallback)
{
    char v[kLine];
    return lookup(f, section, key, v, sizeof v) ? wp_atoi(v) : fallback;
}

} // namespace

int settings_read(const char *path, Settings *out, char *err, size_t errlen)
{
    *out = Settings{};
    FILE *f = fopen(path, "re");
    if (f == nullptr) {
        snprintf(err, errlen, "cannot read the configuration %s: %s", path, strerror(errno));
        return -1;
    }
    out->battlife = number(f, "ShutDown", "EXPECTBLIFE", 60);
    out->firstwarn = number(f, "ShutDown", "FIRSTWARN", 30);
    out->interval = number(f, "ShutDown", "INTERVAL", 30);
    out->turnoffdelay = number(f, "ShutDown", "TurnOffDelay", 600);
    out->agenttype = number(f, "UPS", "AgentType", 4);
    out->ignore = number(f, "UPS", "IgnoreOtherAgentDown", 1);
    out->comset = number(f, "UPS", "ComSet", 0);
    char group[kLine];
    if (lookup(f, "UPS", "Group", group, sizeof group))
        wp_strlcpy(out->group, group, sizeof out->group);
    fclose(f);

    if (out->agenttype != 1 && out->agenttype != 5 && out->agenttype != 6)
        out->agenttype = 4;
    if (out->agenttype == 1) {
        snprintf(err, errlen,
                 "%s makes the agent a protector (AgentType 1): it has no UPS of its own, so "
                 "there is no mains failure to play",
                 path);
        return -1;
    }
    if (out->comset == -2) {
        snprintf(err, errlen, "%s names no serial port for the UPS (ComSet -2)", path);
        return -1;
    }
    // 1..4 name one port; anything else has the agent search, ttyS0 first.
    out->port = out->comset >= 1 && out->comset <= 4 ? out->comset - 1 : 0;
    if (out->battlife < 0 || out->battlife > 24 * 3600 || out->turnoffdelay < 0 ||
        out->turnoffdelay > 24 * 3600) {
        snprintf(err, errlen, "%s: EXPECTBLIFE or TurnOffDelay is beyond a day; not a drill", path);
        return -1;
    }
    return 0;
}

int settings_grace(const Settings *s)
{
    if (s->ignore != 0)
        return 0;
    return s->agenttype == 5 ? 60 : s->agenttype == 6 ? 120 : 0;
}

int settings_timeout(const Settings *s)
{
    // Start-up (search, model, capabilities) is not counted here: the clock
    // starts at the failure.  The margin covers a loaded machine.
    return s->battlife + settings_grace(s) + 60;
}

} // namespace firedrill
