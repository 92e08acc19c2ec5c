#include "admin.h"

#include <cstdio>
#include <cstring>

namespace vtop
{

std::string right_words(int32_t right)
{
    switch (right) {
    case RIGHT_ADMIN:
        return "administrator";
    case RIGHT_USER:
        return "user";
    case RIGHT_REJECTED:
        return "rejected";
    default:
        return "right " + std::to_string(right);
    }
}

bool make_password(const std::string &user, const std::string &password, std::vector<uint8_t> &out,
                   std::string &why)
{
    UPS_PASSWORD pw{};
    if (user.empty() || user.size() >= sizeof pw.username) {
        why = "a user name of 1 to " + std::to_string(sizeof pw.username - 1) + " bytes is needed";
        return false;
    }
    // A longer password would reach the agent cut, and be checked cut:
    // better to say so than to log in with part of it.
    if (password.size() >= sizeof pw.password) {
        why = "the agent takes passwords of at most " + std::to_string(sizeof pw.password - 1) +
              " bytes";
        return false;
    }
    memcpy(pw.username, user.data(), user.size());
    memcpy(pw.password, password.data(), password.size());
    out = make_packet(PK_PASSWORD, &pw, sizeof pw);
    // The password stays in memory no longer than needed.
    explicit_bzero(&pw, sizeof pw);
    return true;
}

std::vector<uint8_t> make_read(int cmd, int first, int count)
{
    UPS_COMMAND_PACKET c{};
    c.cmd = static_cast<int8_t>(cmd);
    c.firstline = static_cast<int16_t>(first);
    c.linecounts = static_cast<int16_t>(count);
    return make_packet(PK_READ, &c, sizeof c);
}

std::vector<uint8_t> make_selftest(int32_t minutes)
{
    return make_packet(PK_SELFTEST, &minutes, sizeof minutes);
}

std::vector<uint8_t> make_shutdown(int16_t delay, const std::string &monitor)
{
    UPS_AGENTDOWNINFO d{};
    d.delay = delay;
    // A monitor is not an agent: type 0 (the agent sets it so anyway).
    d.AgentType = 0;
    snprintf(d.Agent, sizeof d.Agent, "%s", monitor.c_str());
    return make_packet(PK_SHUTDOWN, &d, sizeof d);
}

std::vector<uint8_t> make_cancel(const std::string &monitor)
{
    char host[16] = {};
    snprintf(host, sizeof host, "%s", monitor.c_str());
    return make_packet(PK_CANCELSHUTDOWN, host, sizeof host);
}

bool decode_right(const std::vector<uint8_t> &data, int32_t &right, std::string &why)
{
    if (data.size() != sizeof right) {
        why = "password answer of " + std::to_string(data.size()) + " bytes, 4 expected";
        return false;
    }
    memcpy(&right, data.data(), sizeof right);
    return true;
}

namespace
{

template <class T>
bool decode_records(const std::vector<uint8_t> &data, std::vector<T> &out, const char *what,
                    std::string &why)
{
    out.clear();
    if (data.size() % sizeof(T) != 0) {
        why = std::string(what) + " of " + std::to_string(data.size()) +
              " bytes, not a multiple of " + std::to_string(sizeof(T));
        return false;
    }
    out.resize(data.size() / sizeof(T));
    if (!out.empty())
        memcpy(out.data(), data.data(), data.size());
    return true;
}

std::string tenths_text(int whole, int tenth)
{
    char s[32];
    snprintf(s, sizeof s, "%.1f", whole + tenth / 10.0);
    return s;
}

} // namespace

bool decode_eventlog(const std::vector<uint8_t> &data, std::vector<UPS_EVENTLOGINFO> &out,
                     std::string &why)
{
    return decode_records(data, out, "event log", why);
}

bool decode_datalog(const std::vector<uint8_t> &data, std::vector<UPS_DATALOGINFO> &out,
                    std::string &why)
{
    return decode_records(data, out, "data log", why);
}

std::string eventlog_line(const UPS_EVENTLOGINFO &e)
{
    const std::string name = japanese_to_utf8(e.AgentName, sizeof e.AgentName);
    std::string t = format_time(decode_time(e.timeinfo));
    if (t.empty())
        t = "(no time)          ";
    char id[16];
    snprintf(id, sizeof id, "%3u", static_cast<unsigned>(e.EventId));
    return printable(t + "  " + id + "  " + event_line(e.EventId, name));
}

std::string datalog_line(const UPS_DATALOGINFO &d)
{
    const UPSDATA &u = d.upsdata;
    std::string t = format_time(decode_time(d.timeinfo));
    if (t.empty())
        t = "(no time)          ";
    std::string temp = "-";
    if (static_cast<uint8_t>(u.TempINT) != 255)
        temp = tenths_text(static_cast<uint8_t>(u.TempINT), static_cast<uint8_t>(u.TempREM)) + " C";
    return t + "  in " + tenths_text(u.InPutINT, u.InPutREM) + " V " +
           tenths_text(static_cast<uint8_t>(u.FreqInputINT), u.FreqInputREM) + " Hz  out " +
           tenths_text(u.OutPutINT, u.OutPutREM) + " V " +
           tenths_text(static_cast<uint8_t>(u.FreqOutputINT), u.FreqOutputREM) + " Hz  load " +
           std::to_string(u.Load) + " %  battery " +
           tenths_text(static_cast<uint8_t>(u.BattVolINT), u.BattVolREM) + " V " +
           std::to_string(static_cast<uint8_t>(u.BattCap)) + " %  temp " + temp;
}

bool utf8_to_sjis(const std::string &utf8, size_t limit, std::string &out, std::string &why)
{
    if (!recode(utf8, "UTF-8", "SHIFT_JIS", true, out)) {
        why = "\"" + printable(utf8) + "\" has a character the agent's code cannot carry";
        return false;
    }
    if (out.size() > limit) {
        why = "\"" + printable(utf8) + "\" is longer than the " + std::to_string(limit) +
              " bytes the agent keeps";
        return false;
    }
    return true;
}

} // namespace vtop
