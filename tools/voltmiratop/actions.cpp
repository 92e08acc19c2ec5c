#include "actions.h"

#include "admin.h"
#include "settings.h"
#include "text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>

namespace vtop
{

// ---------------------------------------------------------------------------
// Exchange

int Exchange::wait(double until, uint8_t want, Packet *ans, std::string &err)
{
    for (;;) {
        Packet p;
        std::string why;
        int r;
        while ((r = c_.next(p, why)) == 1) {
            if (p.kind == PK_MESSAGE)
                messages_.push_back(printable(message_text(p.data)));
            if (seen_)
                seen_(p);
            if (ans && p.kind == want) {
                *ans = p;
                return 1;
            }
        }
        if (r < 0) {
            err = why;
            return -1;
        }
        const double left = until - now_s();
        if (left <= 0)
            return 0;
        struct pollfd pf = {c_.fd(), POLLIN, 0};
        const int n = poll(&pf, 1, static_cast<int>(left * 1000) + 1);
        if (n < 0 && errno != EINTR) {
            err = "poll failed";
            return -1;
        }
        if (n > 0 && !c_.receive(err)) {
            // What came before the end is still taken.
            while (c_.next(p, why) == 1) {
                if (seen_)
                    seen_(p);
                if (ans && p.kind == want) {
                    *ans = p;
                    return 1;
                }
            }
            return -1;
        }
    }
}

bool Exchange::send(const std::vector<uint8_t> &req, std::string &err)
{
    return c_.send(req, err);
}

int Exchange::ask(const std::vector<uint8_t> &req, uint8_t want, Packet &ans, std::string &err)
{
    if (!c_.send(req, err))
        return -1;
    return wait(now_s() + timeout_, want, &ans, err);
}

bool Exchange::pause(double seconds, std::string &err)
{
    return wait(now_s() + seconds, 0, nullptr, err) >= 0;
}

std::vector<std::string> Exchange::take_messages()
{
    std::vector<std::string> m;
    m.swap(messages_);
    return m;
}

// ---------------------------------------------------------------------------
// Helpers

namespace
{

Outcome failed(const std::string &why)
{
    Outcome o;
    o.summary = why;
    return o;
}

Outcome done(const std::string &what, std::vector<std::string> lines = {})
{
    Outcome o;
    o.ok = true;
    o.summary = what;
    o.lines = std::move(lines);
    return o;
}

// An answer of kind want to req, or why there is none.
bool ask_for(Exchange &x, const std::vector<uint8_t> &req, uint8_t want, Packet &p,
             std::string &why)
{
    std::string err;
    const int r = x.ask(req, want, p, err);
    if (r == 0)
        why = "no answer from the agent within " + std::to_string(static_cast<int>(x.timeout())) +
              " s";
    else if (r < 0)
        why = err;
    return r == 1;
}

bool read_status(Exchange &x, UpsView &v, std::string &why)
{
    Packet p;
    return ask_for(x, make_getupsinfo(), PK_UPSINFO, p, why) && decode_upsinfo(p.data, v, why);
}

// What differs between two views of the UPS that a command can change.
std::vector<std::string> changes(const UpsView &a, const UpsView &b)
{
    std::vector<std::string> c;
    if (a.state != b.state)
        c.push_back("state: " + b.state_text);
    if (a.buzzer != b.buzzer)
        c.push_back(std::string("buzzer: ") + (b.buzzer ? "on" : "off"));
    if (a.shutdown_commanded != b.shutdown_commanded)
        c.push_back(std::string("shutdown ordered: ") + (b.shutdown_commanded ? "yes" : "no"));
    if (format_time(a.ups_test.when) != format_time(b.ups_test.when) ||
        a.ups_test.code != b.ups_test.code)
        c.push_back("UPS self-test: " + b.ups_test.text);
    for (const EventView &e : b.events) {
        bool old = false;
        for (const EventView &o : a.events)
            old = old || (o.id == e.id && format_time(o.when) == format_time(e.when));
        if (!old)
            c.push_back("event: " + printable(e.text));
    }
    return c;
}

// A command the agent answers with nothing: sent, then the UPS information
// is read until it shows an effect or a message comes, within the
// time-out.
Outcome command(Exchange &x, const std::vector<uint8_t> &req, const std::string &what)
{
    std::string why;
    UpsView before, after;
    if (!read_status(x, before, why))
        return failed(why);
    x.take_messages();
    if (!x.send(req, why))
        return failed(why);
    const double until = now_s() + x.timeout();
    while (now_s() < until) {
        if (!x.pause(0.3, why))
            return failed(why);
        if (!read_status(x, after, why))
            return failed(why);
        std::vector<std::string> seen = changes(before, after);
        for (const std::string &m : x.take_messages())
            seen.push_back("message: " + m);
        if (!seen.empty()) {
            std::string all;
            for (const std::string &e : seen)
                all += (all.empty() ? "" : "; ") + e;
            return done(what + " done: " + all);
        }
    }
    return failed(what + ": " + NO_ANSWER);
}

// The log reads: as many records as one answer can carry; the agent keeps
// fewer.
constexpr int LOG_RECORDS = 2000;

Outcome read_config(Exchange &x, UPS_PARAM &p)
{
    Packet a;
    std::string why;
    if (!ask_for(x, make_read(RD_CONFIG, 0, 0), PK_CONFIG, a, why) ||
        !decode_config(a.data, p, why))
        return failed(why);
    return done("configuration", config_lines(p));
}

Outcome read_events(Exchange &x, EventSettings &s)
{
    Packet a;
    std::string why;
    if (!ask_for(x, make_read(RD_EVENTSET, 0, 0), PK_EVENTSET, a, why) ||
        !decode_eventset(a.data, s, why))
        return failed(why);
    return done("event settings", eventset_lines(s));
}

Outcome read_schedules(Exchange &x, std::vector<SCHEDULEINFO> &l)
{
    Packet a;
    std::string why;
    if (!ask_for(x, make_read(RD_SCHEDULE, 0, 0), PK_SCHEDULE, a, why) ||
        !decode_schedules(a.data, l, why))
        return failed(why);
    std::vector<std::string> lines;
    for (size_t i = 0; i < l.size(); i++)
        lines.push_back(std::to_string(i + 1) + "  " + schedule_text(l[i]));
    return done(l.empty()       ? "no schedules"
                : l.size() == 1 ? "1 schedule entry"
                                : std::to_string(l.size()) + " schedule entries",
                lines);
}

Outcome set_config(Exchange &x, const std::string &assignment)
{
    UPS_PARAM p;
    Outcome r = read_config(x, p);
    if (!r.ok)
        return r;
    std::string key, why;
    const UPS_PARAM before = p;
    if (!config_set(p, assignment, key, why))
        return failed(why);
    const std::string want = config_value(p, key);
    std::string err;
    if (!x.send(make_config(p), err))
        return failed(err);
    UPS_PARAM now;
    r = read_config(x, now);
    if (!r.ok)
        return r;
    if (config_value(now, key) == want)
        return done(key + " = " + want + " (was " + config_value(before, key) + ")");
    return failed(key + " stays " + config_value(now, key) + ": " + NO_ANSWER);
}

Outcome set_event(Exchange &x, const std::string &spec)
{
    EventSettings s;
    Outcome r = read_events(x, s);
    if (!r.ok)
        return r;
    unsigned id = 0;
    std::string why;
    if (!eventset_change(s, spec, id, why))
        return failed(why);
    const UPS_EVENTINFO want = *find_event(s, id);
    if (!x.send(make_eventset(s), why))
        return failed(why);
    EventSettings now;
    r = read_events(x, now);
    if (!r.ok)
        return r;
    const UPS_EVENTINFO *got = find_event(now, id);
    EventSettings one;
    one.events.push_back(want);
    const std::string line = eventset_lines(one).front();
    if (got && memcmp(got, &want, sizeof want) == 0)
        return done("event " + line.substr(line.find_first_not_of(' ')));
    return failed("event " + std::to_string(id) + " unchanged: " + NO_ANSWER);
}

Outcome set_schedules(Exchange &x, const std::string &what, bool add, const std::string &arg)
{
    std::vector<SCHEDULEINFO> l;
    Outcome r = read_schedules(x, l);
    if (!r.ok)
        return r;
    const std::vector<SCHEDULEINFO> before = l;
    std::string why;
    if (add) {
        SCHEDULEINFO s;
        if (!parse_schedule(arg, s, why))
            return failed(why);
        l.push_back(s);
    } else {
        long n = 0;
        if (!number(arg, 1, static_cast<long>(l.size()), n))
            return failed("no schedule entry \"" + printable(arg) + "\" (" +
                          std::to_string(l.size()) + " listed)");
        l.erase(l.begin() + (n - 1));
    }
    if (!x.send(make_schedules(l), why))
        return failed(why);
    std::vector<SCHEDULEINFO> now;
    r = read_schedules(x, now);
    if (!r.ok)
        return r;
    auto same = [](const std::vector<SCHEDULEINFO> &a, const std::vector<SCHEDULEINFO> &b) {
        if (a.size() != b.size())
            return false;
        // The agent lists the entries by action and kind, not in the
        // order sent.
        std::vector<bool> used(b.size());
        for (const SCHEDULEINFO &e : a) {
            bool hit = false;
            for (size_t i = 0; i < b.size() && !hit; i++)
                if (!used[i] && same_schedule(e, b[i]))
                    used[i] = hit = true;
            if (!hit)
                return false;
        }
        return true;
    };
    if (same(now, l))
        return done(what + "; " + r.summary, r.lines);
    if (same(now, before))
        return failed(what + ": the schedules are unchanged: " + NO_ANSWER);
    // A special day already past is dropped by the agent.
    r.ok = false;
    r.summary = what + ": the agent keeps other schedules than those sent (a date in the past?)";
    return r;
}

} // namespace

// ---------------------------------------------------------------------------

Outcome login(Exchange &x, const std::string &user, const std::string &password, int32_t &right)
{
    right = 0;
    std::vector<uint8_t> req;
    std::string why;
    if (!make_password(user, password, req, why))
        return failed(why);
    Packet a;
    const bool answered = ask_for(x, req, PK_PASSWORDANS, a, why);
    explicit_bzero(req.data(), req.size());
    if (!answered || !decode_right(a.data, right, why))
        return failed(why);
    const std::string text = "logged in as " + printable(user) + ": " + right_words(right);
    if (right == RIGHT_ADMIN || right == RIGHT_USER)
        return done(text);
    return failed(text);
}

bool check_action(const std::string &action, std::string &why)
{
    const size_t eq = action.find('=');
    const std::string name = action.substr(0, eq);
    const bool has_arg = eq != std::string::npos && eq + 1 < action.size();
    static const char *const plain[] = {"cancel", "eventlog", "datalog",
                                        "config", "events",   "schedules"};
    static const char *const with_arg[] = {"selftest",  "shutdown",     "buzzer",      "config-set",
                                           "event-set", "schedule-add", "schedule-del"};
    for (const char *p : plain)
        if (name == p) {
            if (eq == std::string::npos)
                return true;
            why = name + " takes no argument";
            return false;
        }
    for (const char *p : with_arg)
        if (name == p) {
            if (has_arg)
                return true;
            why = name + " wants an argument: " + name + "=...";
            return false;
        }
    why = "unknown action \"" + printable(name) +
          "\" (selftest=MIN shutdown=SEC cancel buzzer=on|off eventlog datalog config "
          "config-set=KEY=VALUE events event-set=ID... schedules schedule-add=TEXT "
          "schedule-del=N)";
    return false;
}

Outcome run_action(Exchange &x, const std::string &action, const std::string &monitor)
{
    std::string why;
    if (!check_action(action, why))
        return failed(why);
    const size_t eq = action.find('=');
    const std::string name = action.substr(0, eq);
    const std::string arg = eq == std::string::npos ? "" : action.substr(eq + 1);
    long n = 0;
    if (name == "selftest") {
        if (!number(arg, 1, 99, n))
            return failed("selftest takes the minutes, 1 to 99");
        return command(x, make_selftest(static_cast<int32_t>(n)),
                       "self-test of " + std::to_string(n) + " min");
    }
    if (name == "shutdown") {
        if (!number(arg, 0, 32767, n))
            return failed("shutdown takes the delay in seconds, 0 to 32767");
        return command(x, make_shutdown(static_cast<int16_t>(n), monitor),
                       "shutdown in " + std::to_string(n) + " s");
    }
    if (name == "cancel")
        return command(x, make_cancel(monitor), "cancel of the shutdown");
    if (name == "buzzer") {
        if (arg != "on" && arg != "off")
            return failed("buzzer takes on or off");
        return command(x, make_packet(arg == "on" ? PK_BEEPERON : PK_BEEPEROFF, nullptr, 0),
                       "buzzer " + arg);
    }
    if (name == "eventlog" || name == "datalog") {
        const bool ev = name == "eventlog";
        Packet a;
        if (!ask_for(x, make_read(ev ? RD_EVENTLOG : RD_DATALOG, 0, LOG_RECORDS),
                     ev ? PK_EVENTLOG : PK_DATALOG, a, why))
            return failed(why);
        std::vector<std::string> lines;
        if (ev) {
            std::vector<UPS_EVENTLOGINFO> r;
            if (!decode_eventlog(a.data, r, why))
                return failed(why);
            for (const UPS_EVENTLOGINFO &e : r)
                lines.push_back(eventlog_line(e));
        } else {
            std::vector<UPS_DATALOGINFO> r;
            if (!decode_datalog(a.data, r, why))
                return failed(why);
            for (const UPS_DATALOGINFO &d : r)
                lines.push_back(datalog_line(d));
        }
        return done(std::string(ev ? "event log: " : "data log: ") + std::to_string(lines.size()) +
                        " records",
                    lines);
    }
    if (name == "config") {
        UPS_PARAM p;
        return read_config(x, p);
    }
    if (name == "config-set")
        return set_config(x, arg);
    if (name == "events") {
        EventSettings s;
        return read_events(x, s);
    }
    if (name == "event-set")
        return set_event(x, arg);
    if (name == "schedules") {
        std::vector<SCHEDULEINFO> l;
        return read_schedules(x, l);
    }
    if (name == "schedule-add")
        return set_schedules(x, "schedule added", true, arg);
    return set_schedules(x, "schedule " + arg + " deleted", false, arg);
}

} // namespace vtop
