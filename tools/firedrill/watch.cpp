#include "watch.h"

#include "agent/net.h"
#include "ea/ea_events.h"
#include "fake.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace firedrill
{

namespace
{

constexpr size_t kMaxRead = 1024 * 1024;
constexpr uint8_t kEventRestore = 0, kEventDeadline = 129, kEventShutdown = 22;

// Appends what was added to path since *at; whole lines come back in lines.
void new_lines(const std::string &path, off_t *at, std::string *part,
               std::vector<std::string> &lines)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char buf[8192];
    size_t got = 0;
    for (;;) {
        ssize_t n = pread(fd, buf, sizeof buf, *at);
        if (n <= 0)
            break;
        part->append(buf, static_cast<size_t>(n));
        *at += n;
        got += static_cast<size_t>(n);
        if (got > kMaxRead)
            break;
    }
    close(fd);
    size_t nl;
    while ((nl = part->find('\n')) != std::string::npos) {
        lines.push_back(part->substr(0, nl));
        part->erase(0, nl + 1);
    }
}

int open_udp(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    // Shared with the agent's own socket on 4114: broadcasts reach both.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string field(const char *p, size_t n)
{
    size_t len = strnlen(p, n);
    return std::string(p, len);
}

// The switch-off and its companions among the commands the UPS received.
void transcript_line(const std::string &line, Timeline *t)
{
    // "<ns> RX <escaped command>"
    char kind[8];
    long long ns = 0;
    int used = 0;
    if (sscanf(line.c_str(), "%lld %7s %n", &ns, kind, &used) != 2 || strcmp(kind, "RX") != 0)
        return;
    std::string raw = line.substr(static_cast<size_t>(used));
    std::string cmd = unescape_bytes(raw);
    while (!cmd.empty() && cmd.back() == '\r')
        cmd.pop_back();
    std::string words = decode_switch_off(cmd, nullptr, nullptr);
    if (!words.empty()) {
        timeline_add(t, ns, Kind::UpsOff, "UPS command \"" + raw + "\": " + words);
        return;
    }
    const char *what = cmd == "C"    ? "cancel the pending switch-off"
                       : cmd == "An" ? "automatic power-on enabled"
                       : cmd == "Af" ? "automatic power-on disabled"
                                     : nullptr;
    if (what != nullptr)
        timeline_add(t, ns, Kind::UpsOther, "UPS command \"" + raw + "\": " + what);
}

// The first line of a message, for a timeline line.
std::string first_line(const std::string &text)
{
    size_t b = text.find_first_not_of("\n ");
    if (b == std::string::npos)
        return "";
    size_t e = text.find('\n', b);
    return text.substr(b, e == std::string::npos ? std::string::npos : e - b);
}

void record_call(Watch *w, Timeline *t, long long ns, const std::string &name,
                 const std::vector<std::string> &args, const std::string &input)
{
    std::string msg = first_line(input);
    std::string joined;
    for (const std::string &a : args)
        joined += " " + escape_bytes(a);
    if (name == "shutdown") {
        w->shutdown_seen = true;
        timeline_add(t, ns, Kind::Shutdown, "SHUTDOWN command run: shutdown" + joined);
    } else if (name == "wall" || name == "write" || name == "mail") {
        Kind k = Kind::Users;
        if (msg.find("Time is up!") != std::string::npos) {
            k = Kind::Deadline;
            w->deadline_seen = true;
        }
        std::string who = name == "wall" ? "all users" : "user" + joined;
        timeline_add(t, ns, k, "to " + who + " (" + name + "): " + escape_bytes(msg));
    }
    // mesg and who only prepare a message to a terminal: not worth a line.
}

void record_lines(Watch *w, Timeline *t, const std::vector<std::string> &lines)
{
    // A call is CALL, ARG..., IN, END; the stand-in writes it in one piece.
    for (const std::string &l : lines) {
        if (l.compare(0, 5, "CALL ") == 0) {
            char n[32] = "";
            w->call_ns = 0;
            sscanf(l.c_str() + 5, "%lld %31s", &w->call_ns, n);
            w->call_name = n;
            w->call_args.clear();
            w->call_input.clear();
        } else if (l.compare(0, 4, "ARG ") == 0) {
            w->call_args.push_back(unescape_bytes(l.substr(4)));
        } else if (l.compare(0, 3, "IN ") == 0) {
            w->call_input = unescape_bytes(l.substr(3));
        } else if (l == "END") {
            record_call(w, t, w->call_ns, w->call_name, w->call_args, w->call_input);
        }
    }
}

void datagram(Timeline *t, int fd, bool agents_port)
{
    for (;;) {
        uint8_t buf[2048];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0)
            return;
        int64_t now = timeline_mono_ns();
        if (static_cast<size_t>(n) < sizeof(UPS_PACKET_HEAD))
            continue;
        UPS_PACKET_HEAD h;
        memcpy(&h, buf, sizeof h);
        if (h.Length > static_cast<uint32_t>(n))
            continue;
        const uint8_t *data = buf + sizeof h;
        size_t len = static_cast<size_t>(n) - sizeof h;
        if (agents_port && h.DataId == PK_SHUTDOWN && len >= sizeof(UPS_AGENTDOWNINFO)) {
            UPS_AGENTDOWNINFO d;
            memcpy(&d, data, sizeof d);
            timeline_merge(t, now, Kind::Agents,
                           "notice to other agents (kind 18, UDP 4114): shut down, group \"" +
                               field(d.Group, sizeof d.Group) + "\", from agent \"" +
                               field(d.Agent, sizeof d.Agent) + "\" of type " +
                               std::to_string(d.AgentType) + ", reason " +
                               std::to_string(d.DownId));
        } else if (!agents_port && (h.DataId == 240 || h.DataId == 242) && len >= 4) {
            int32_t cmd;
            memcpy(&cmd, data, sizeof cmd);
            if (cmd == 1)
                timeline_merge(t, now, Kind::Monitors,
                               "notice to monitors (UDP 4113): this agent goes down");
        }
    }
}

} // namespace

std::string event_line_text(const std::string &line, int *id)
{
    int d, mo, y, h, mi, s, ev, cause, used = 0;
    if (sscanf(line.c_str(), "%d/%d/%d %d:%d:%d %d %d%n", &d, &mo, &y, &h, &mi, &s, &ev, &cause,
               &used) != 8 ||
        ev < 0 || ev > 255)
        return "";
    *id = ev;
    const char *text = EventMsg(ev);
    std::string out = "event " + std::to_string(ev) + " \"" + (text != nullptr ? text : "?") + "\"";
    if (ev == kEventShutdown && cause != 255) {
        const char *c = EventMsg(cause);
        out += " (because of event " + std::to_string(cause) +
               (c != nullptr ? std::string(" \"") + c + "\"" : std::string()) + ")";
    }
    size_t b = line.find_first_not_of(' ', static_cast<size_t>(used));
    if (b != std::string::npos)
        out += ", name " + line.substr(b);
    return out;
}

void watch_init(Watch *w, const std::string &transcript, const std::string &record,
                const std::string &eventlog)
{
    watch_close(w);
    *w = Watch{};
    w->transcript = transcript;
    w->record = record;
    w->eventlog = eventlog;
}

int watch_open_ports(Watch *w)
{
    w->monitors = open_udp(NET_PORT_MONITOR_UDP);
    w->agents = open_udp(NET_PORT_AGENT_UDP);
    return w->monitors >= 0 && w->agents >= 0 ? 0 : -1;
}

void watch_skip_history(Watch *w)
{
    std::vector<std::string> drop;
    new_lines(w->transcript, &w->transcript_at, &w->transcript_part, drop);
    new_lines(w->eventlog, &w->eventlog_at, &w->eventlog_part, drop);
    new_lines(w->record, &w->record_at, &w->record_part, drop);
}

int watch_poll(Watch *w, Timeline *t)
{
    size_t before = t->items.size();
    std::vector<std::string> lines;
    new_lines(w->transcript, &w->transcript_at, &w->transcript_part, lines);
    for (const std::string &l : lines)
        transcript_line(l, t);

    lines.clear();
    new_lines(w->record, &w->record_at, &w->record_part, lines);
    record_lines(w, t, lines);

    lines.clear();
    int64_t now = timeline_mono_ns();
    new_lines(w->eventlog, &w->eventlog_at, &w->eventlog_part, lines);
    for (const std::string &l : lines) {
        int id = -1;
        std::string text = event_line_text(l, &id);
        if (text.empty())
            continue;
        Kind k = Kind::Event;
        if (id == kEventRestore)
            w->restore_seen = true;
        if (id == kEventDeadline) {
            // The monitors are told "Time is up!" with it.
            k = Kind::Deadline;
            w->deadline_seen = true;
            text += ": the deadline, \"Time is up!\"";
        }
        timeline_add(t, now, k, "event log: " + text);
    }
    if (w->monitors >= 0)
        datagram(t, w->monitors, false);
    if (w->agents >= 0)
        datagram(t, w->agents, true);
    return static_cast<int>(t->items.size() - before);
}

void watch_close(Watch *w)
{
    if (w->monitors >= 0)
        close(w->monitors);
    if (w->agents >= 0)
        close(w->agents);
    w->monitors = w->agents = -1;
}

} // namespace firedrill
