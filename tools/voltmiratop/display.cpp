#include "display.h"

#include <cstdio>

namespace vtop
{

namespace
{

const char *const BOLD = "\x1b[1m";
const char *const RED = "\x1b[31m";
const char *const GREEN = "\x1b[32m";
const char *const YELLOW = "\x1b[33m";
const char *const RESET = "\x1b[0m";

std::string fixed1(double v)
{
    char s[32];
    snprintf(s, sizeof s, "%.1f", v);
    return s;
}

std::string clock_of(time_t t)
{
    struct tm tm;
    char s[32];
    if (t == 0 || !localtime_r(&t, &tm) || strftime(s, sizeof s, "%H:%M:%S", &tm) == 0)
        return "--:--:--";
    return s;
}

std::string stamp_of(time_t t)
{
    struct tm tm;
    char s[32];
    if (t == 0 || !localtime_r(&t, &tm) || strftime(s, sizeof s, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        return "";
    return s;
}

// Columns of one character on a terminal: the East Asian wide and
// full-width blocks take two; half-width katakana one.
int columns_of(uint32_t cp)
{
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0))
        return 0;
    if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
        (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
        (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
        (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
        (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
        (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD))
        return 2;
    return 1;
}

// Length of an ANSI control sequence (ESC [ ... final byte) at s[i], or 0.
size_t ansi_at(const std::string &s, size_t i)
{
    if (s[i] != '\x1b' || i + 1 >= s.size() || s[i + 1] != '[')
        return 0;
    size_t k = i + 2;
    while (k < s.size() && !(s[k] >= 0x40 && s[k] <= 0x7E))
        k++;
    return k < s.size() ? k - i + 1 : 0;
}

struct Painter {
    bool color;
    std::string paint(const std::string &text, const char *how) const
    {
        return color ? std::string(how) + text + RESET : text;
    }
    std::string bold(const std::string &text) const { return paint(text, BOLD); }
};

const char *state_color(int code)
{
    switch (code) {
    case 0:
        return GREEN;
    case 20:
    case 21:
    case 33:
    case 4:
        return RED;
    }
    return YELLOW;
}

const char *battery_color(int code)
{
    switch (code) {
    case 1:
        return GREEN;
    case 18:
    case 19:
    case 34:
        return RED;
    }
    return YELLOW;
}

std::string label(const char *name)
{
    std::string l = name;
    l.resize(20, ' ');
    return l;
}

std::string on_off(bool b)
{
    return b ? "on" : "off";
}

std::string test_line(const TestResult &t)
{
    std::string s = t.text;
    if (t.when.valid)
        s += "  (" + format_time(t.when) + ")";
    return s;
}

std::string agent_title(const Snapshot &s)
{
    std::string t = s.address + ":" + std::to_string(s.port);
    if (!s.agent_name.empty())
        t += " \"" + printable(s.agent_name) + "\"";
    return t;
}

} // namespace

int text_width(const std::string &s)
{
    int w = 0;
    for (size_t i = 0; i < s.size();) {
        if (const size_t a = ansi_at(s, i)) {
            i += a;
            continue;
        }
        uint32_t cp;
        i += utf8_at(s, i, cp);
        w += columns_of(cp);
    }
    return w;
}

std::string cut_to_width(const std::string &s, int cols)
{
    std::string out;
    int w = 0;
    bool painted = false;
    for (size_t i = 0; i < s.size();) {
        if (const size_t a = ansi_at(s, i)) {
            out.append(s, i, a);
            painted = true;
            i += a;
            continue;
        }
        uint32_t cp;
        const size_t len = utf8_at(s, i, cp);
        const int cw = columns_of(cp);
        if (w + cw > cols) {
            // A colour cut off before its reset would run on.
            if (painted)
                out += RESET;
            return out;
        }
        w += cw;
        out.append(s, i, len);
        i += len;
    }
    return out;
}

std::vector<std::string> render_lines(const Snapshot &s, bool color, int width)
{
    const Painter p{color};
    std::vector<std::string> l;

    std::string head = p.bold("voltmiratop") + "  agent " + agent_title(s);
    const std::string clock = clock_of(s.now);
    if (width > 0) {
        const int pad = width - text_width(head) - static_cast<int>(clock.size());
        head += std::string(pad > 1 ? pad : 1, ' ');
    } else {
        head += "  ";
    }
    l.push_back(head + clock);

    std::string conn = p.paint(s.connection, s.connected ? GREEN : RED);
    if (s.connected && s.have_ups && s.updated >= s.connected_since) {
        const long age = static_cast<long>(s.now - s.updated);
        conn += age <= 1 ? ", up to date" : ", no answer for " + std::to_string(age) + " s";
    } else if (s.connected) {
        conn += ", waiting for the agent's answer";
    }
    if (s.have_ups && (!s.connected || s.updated < s.connected_since))
        conn += p.paint("; shown: the state at " + clock_of(s.updated), YELLOW);
    l.push_back(label("Connection") + conn);
    l.push_back("");

    if (!s.have_ups) {
        l.push_back("No UPS information yet.");
    } else {
        const UpsView &u = s.ups;
        const bool live = u.comm == COMM_ESTABLISHED;
        l.push_back(label("UPS model") + (u.model.empty() ? "-" : printable(u.model)) + "   port " +
                    u.port + "   group " + (u.group.empty() ? "-" : printable(u.group)));
        // Without communication the agent's state code is a leftover, not
        // news about the UPS.
        l.push_back(label("UPS state") +
                    (live ? p.paint(u.state_text + " (" + std::to_string(u.state) + ")",
                                    state_color(u.state))
                          : p.paint("unknown", YELLOW)));
        l.push_back(label("Battery state") +
                    p.paint(u.battery_text + " (" + std::to_string(u.battery) + ")",
                            battery_color(u.battery)));
        l.push_back(label("Communication") +
                    p.paint(u.comm_text + " (" + std::to_string(u.comm) + ")", live ? GREEN : RED));
        l.push_back("");
        // The agent clears the measurements while it cannot reach the UPS;
        // zeros would read as a dead mains supply.
        const std::string none = "-";
        l.push_back(label("Input") +
                    (live ? fixed1(u.input_v) + " V   " + fixed1(u.input_hz) + " Hz" : none));
        l.push_back(label("Output") +
                    (live ? fixed1(u.output_v) + " V   " + fixed1(u.output_hz) + " Hz" : none));
        l.push_back(label("Load") + (live ? std::to_string(u.load) + " %" : none));
        l.push_back(label("Battery capacity") + (live ? std::to_string(u.capacity) + " %" : none));
        l.push_back(label("Battery voltage") + (live ? fixed1(u.battery_v) + " V" : none));
        l.push_back(label("Temperature") + (!live          ? none
                                            : u.temp_known ? fixed1(u.temp_c) + " \xC2\xB0"
                                                                                "C"
                                                           : "n/a"));
        l.push_back(label("Measured at") +
                    (u.measured.valid ? format_time(u.measured) : std::string("-")));
        l.push_back("");
        l.push_back(label("Battery replaced") +
                    (u.battery_date.valid ? format_date(u.battery_date) : std::string("-")));
        l.push_back(label("Battery test") + test_line(u.battery_test));
        l.push_back(label("UPS self-test") + test_line(u.ups_test));
        std::string down = u.shutdown_running     ? p.paint("in progress", RED)
                           : u.shutdown_commanded ? p.paint("commanded", YELLOW)
                                                  : std::string("none");
        if (u.next_down.valid)
            down += "   next shutdown " + format_time(u.next_down);
        if (u.next_boot.valid)
            down += "   restart " + format_time(u.next_boot);
        l.push_back(label("Shutdown") + down);
        l.push_back(label("Settings") + "buzzer " + on_off(u.buzzer) + ", self-test timer " +
                    on_off(u.autotest) + ", auto restart " + on_off(u.autoreboot) + ", level " +
                    std::to_string(u.detection_level));
        l.push_back("");
        if (u.events.empty())
            l.push_back(label("Latest events") + "-");
        for (size_t i = 0; i < u.events.size(); i++) {
            const EventView &e = u.events[i];
            const std::string when = e.when.valid ? format_time(e.when) : "(no time)";
            l.push_back(label(i == 0 ? "Latest events" : "") + when + "  " + printable(e.text));
        }
    }

    // One answer is the agent on show; the list is for when there is a choice.
    if (s.discovered.size() > 1) {
        l.push_back("");
        l.push_back(p.bold("Agents that answered"));
        for (const AgentAnswer &a : s.discovered) {
            std::string t = "  " + a.address + "  " + printable(a.name);
            if (a.protector)
                t += "  (protector of " + printable(a.group) + ")";
            else
                t += "  " + (a.model.empty() ? std::string("-") : printable(a.model)) + "  " +
                     comm_words(a.comm);
            l.push_back(t);
        }
    }

    l.push_back("");
    l.push_back(p.bold("Messages from the agent"));
    if (s.messages.empty())
        l.push_back("  (none)");
    for (const Message &m : s.messages)
        l.push_back("  " + clock_of(m.received) + "  " + m.text);

    if (width > 0)
        for (std::string &line : l)
            line = cut_to_width(line, width);
    return l;
}

// ---------------------------------------------------------------------------
// JSON

std::string json_string(const std::string &s)
{
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        uint32_t cp;
        const size_t len = utf8_at(s, i, cp);
        char u[8];
        switch (cp) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (cp < 0x20 || cp == 0x7F || cp == 0x2028 || cp == 0x2029) {
                // DEL and the two line separators are legal JSON but trip up
                // terminals and JavaScript readers.
                snprintf(u, sizeof u, "\\u%04x", static_cast<unsigned>(cp));
                out += u;
            } else if (cp == 0xFFFD && len == 1) {
                out += "\\ufffd";
            } else {
                out.append(s, i, len);
            }
        }
        i += len;
    }
    return out + "\"";
}

namespace
{

std::string json_time(const When &w)
{
    return w.valid ? json_string(format_time(w)) : "null";
}

std::string json_code(int code, const std::string &text)
{
    return "{\"code\": " + std::to_string(code) + ", \"text\": " + json_string(text) + "}";
}

std::string json_bool(bool b)
{
    return b ? "true" : "false";
}

std::string json_test(const TestResult &t)
{
    return "{\"code\": " + std::to_string(t.code) + ", \"text\": " + json_string(t.text) +
           ", \"time\": " + json_time(t.when) + "}";
}

} // namespace

std::string render_json(const Snapshot &s)
{
    std::string j = "{\n";
    j += "  \"agent\": {\"address\": " + json_string(s.address) +
         ", \"port\": " + std::to_string(s.port) +
         ", \"name\": " + (s.agent_name.empty() ? "null" : json_string(s.agent_name)) + "},\n";
    j += "  \"lang\": " + json_string(s.lang) + ",\n";
    j += "  \"connected\": " + json_bool(s.connected) + ",\n";
    j += "  \"connection\": " + json_string(s.connection) + ",\n";
    j += "  \"time\": " + json_string(stamp_of(s.now)) + ",\n";
    if (!s.have_ups) {
        j += "  \"ups\": null,\n";
    } else {
        const UpsView &u = s.ups;
        j += "  \"ups\": {\n";
        j += "    \"model\": " + json_string(u.model) + ",\n";
        j += "    \"group\": " + json_string(u.group) + ",\n";
        j += "    \"port\": " + json_string(u.port) + ",\n";
        j += "    \"com_id\": " + std::to_string(u.comid) + ",\n";
        j += "    \"state\": " + json_code(u.state, u.state_text) + ",\n";
        j += "    \"battery\": " + json_code(u.battery, u.battery_text) + ",\n";
        j += "    \"comm\": " + json_code(u.comm, u.comm_text) + ",\n";
        if (u.comm == COMM_ESTABLISHED) {
            j += "    \"measurements\": {\"input_v\": " + fixed1(u.input_v) +
                 ", \"input_hz\": " + fixed1(u.input_hz) + ", \"output_v\": " + fixed1(u.output_v) +
                 ", \"output_hz\": " + fixed1(u.output_hz) +
                 ", \"load_percent\": " + std::to_string(u.load) +
                 ", \"capacity_percent\": " + std::to_string(u.capacity) +
                 ", \"battery_v\": " + fixed1(u.battery_v) +
                 ", \"temperature_c\": " + (u.temp_known ? fixed1(u.temp_c) : "null") +
                 ", \"time\": " + json_time(u.measured) + "},\n";
        } else {
            j += "    \"measurements\": null,\n";
        }
        j += "    \"battery_replaced\": " +
             (u.battery_date.valid ? json_string(format_date(u.battery_date)) : "null") + ",\n";
        j += "    \"battery_test\": " + json_test(u.battery_test) + ",\n";
        j += "    \"ups_test\": " + json_test(u.ups_test) + ",\n";
        j += "    \"shutdown\": {\"commanded\": " + json_bool(u.shutdown_commanded) +
             ", \"running\": " + json_bool(u.shutdown_running) +
             ", \"next_down\": " + json_time(u.next_down) +
             ", \"next_boot\": " + json_time(u.next_boot) + "},\n";
        j += "    \"settings\": {\"buzzer\": " + json_bool(u.buzzer) +
             ", \"self_test_timer\": " + json_bool(u.autotest) +
             ", \"auto_restart\": " + json_bool(u.autoreboot) +
             ", \"ignore_other_agents\": " + json_bool(u.ignore_down) +
             ", \"detection_level\": " + std::to_string(u.detection_level) + "},\n";
        j += "    \"functions\": " + std::to_string(u.functions) + ",\n";
        j += "    \"events\": [";
        for (size_t i = 0; i < u.events.size(); i++) {
            const EventView &e = u.events[i];
            j += std::string(i ? ", " : "") + "{\"id\": " + std::to_string(e.id) +
                 ", \"text\": " + json_string(e.text) + ", \"time\": " + json_time(e.when) +
                 ", \"name\": " + json_string(e.name) + "}";
        }
        j += "]\n";
        j += "  },\n";
    }
    j += "  \"messages\": [";
    for (size_t i = 0; i < s.messages.size(); i++)
        j += std::string(i ? ", " : "") +
             "{\"time\": " + json_string(stamp_of(s.messages[i].received)) +
             ", \"text\": " + json_string(s.messages[i].text) + "}";
    j += "],\n";
    j += "  \"discovered\": [";
    for (size_t i = 0; i < s.discovered.size(); i++) {
        const AgentAnswer &a = s.discovered[i];
        j += std::string(i ? ", " : "") + "{\"address\": " + json_string(a.address) +
             ", \"name\": " + json_string(a.name) + ", \"protector\": " + json_bool(a.protector);
        if (a.protector)
            j += ", \"agent\": " + json_string(a.group) + "}";
        else
            j += ", \"group\": " + json_string(a.group) + ", \"model\": " + json_string(a.model) +
                 ", \"state\": " + std::to_string(a.state) +
                 ", \"battery\": " + std::to_string(a.battery) +
                 ", \"comm\": " + std::to_string(a.comm) +
                 ", \"agent_type\": " + std::to_string(a.agent_type) + "}";
    }
    j += "]\n";
    j += "}\n";
    return j;
}

} // namespace vtop
