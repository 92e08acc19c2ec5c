// voltmiratop: a terminal monitor for one agent.  It speaks the packet
// protocol as the graphical monitors do: finds agents with the inquiry (or
// is given one), connects to the agent's TCP port, tells it the monitor's
// language, asks for the UPS information every second and shows it with the
// message texts the agent pushes.  Logged in, it also does what an
// administrator does from a monitor: reads the logs and the settings,
// changes them, orders self-tests, shutdowns and the buzzer.
//
//   voltmiratop [--agent ADDRESS[:PORT]] [--discover] [--timeout S]
//               [--lang en|ja] [--once [--json]]
//               [--user NAME [--password-file FILE]] [--do ACTION[=ARG]]...
//
// Live mode redraws the screen every second until q or Ctrl-C, and runs an
// action for each key of its help line; a lost agent is retried every few
// seconds.  --once prints one status (plain text, or JSON with --json) and
// exits; --do runs actions one after the other on one connection, printing
// what came of each.  Exit status: 0 when everything asked for was done, 1
// when not, 2 for a bad command line.
#include "actions.h"
#include "client.h"
#include "display.h"
#include "keys.h"
#include "screen.h"
#include "protocol.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

using namespace vtop;

namespace
{

const char *const USAGE =
    "usage: voltmiratop [--agent ADDRESS[:PORT]] [--discover] [--timeout S]\n"
    "                   [--lang en|ja] [--once [--json]]\n"
    "                   [--user NAME [--password-file FILE]] [--do ACTION[=ARG]]...\n"
    "\n"
    "Shows the state of a UPS agent: UPS state, battery, measurements, self-test\n"
    "results, the latest events and the messages the agent sends to monitors;\n"
    "logged in as the agent's administrator, changes its settings and orders\n"
    "self-tests, shutdowns and the buzzer.\n"
    "\n"
    "  --agent ADDRESS  the agent to watch (TCP port 4112 unless :PORT is given)\n"
    "  --discover       find agents by a broadcast inquiry (UDP port 4114) and watch\n"
    "                   the first that answers; with --agent, ask that address only.\n"
    "                   The default when no agent is given.\n"
    "  --timeout S      seconds to wait for answers and connections (default 3)\n"
    "  --lang en|ja     the messages wanted: en the English texts, ja the translated\n"
    "                   ones (default: ja when LANG or LC_ALL begins with \"ja\")\n"
    "  --once           print one status as text and exit\n"
    "  --json           with --once: print it as JSON\n"
    "  --user NAME      log in as NAME (a user of the agent's host; the owner of its\n"
    "                   configuration file is its administrator)\n"
    "  --password-file FILE  the password: the first line of FILE; without it, the\n"
    "                   environment variable VOLTMIRATOP_PASSWORD, else none\n"
    "  --do ACTION      run an action and print what came of it (may be repeated;\n"
    "                   the actions run in order on one connection):\n"
    "                     eventlog, datalog         the logs\n"
    "                     config, config-set=KEY=VALUE\n"
    "                     events, event-set=\"ID KEY=VALUE...\" (record=yes|no\n"
    "                       shutdown=yes|no broadcast=all|users|none users=MASK\n"
    "                       mail=MASK command=TEXT)\n"
    "                     schedules, schedule-add=\"ACTION KIND START to END [stay-off]\"\n"
    "                       (shutdown|test special|weekly|monthly, times in the\n"
    "                       agent's notation), schedule-del=N\n"
    "                     selftest=MINUTES, shutdown=SECONDS, cancel, buzzer=on|off\n"
    "  --help           this text\n"
    "\n"
    "Keys in live mode: shown on its bottom line; q (or Ctrl-C) quits.\n"
    "The agent answers nothing to a request it refuses: voltmiratop then says\n"
    "\"no answer (not logged in as administrator?)\" after the time-out.\n"
    "Exit status: 0 success, 1 no agent answered, the connection failed or an\n"
    "action was not done, 2 bad command line.\n";

// How long a lost agent rests before the next attempt, and how long a
// connected agent may stay silent before the connection counts as dead.
constexpr double RETRY_S = 3;
constexpr double SILENCE_S = 10;
constexpr size_t KEEP_MESSAGES = 100;

struct Options {
    std::string agent;
    bool discover = false;
    double timeout = 3;
    std::string lang;
    bool once = false;
    bool json = false;
    std::string user;
    std::string password;
    std::vector<std::string> actions; // --do, in order
};

int bad_usage(const std::string &why)
{
    fprintf(stderr, "voltmiratop: %s\n", why.c_str());
    fprintf(stderr, "Try 'voltmiratop --help'.\n");
    return 2;
}

int fail(const std::string &why)
{
    fprintf(stderr, "voltmiratop: %s\n", why.c_str());
    return 1;
}

std::string default_lang()
{
    for (const char *var : {"LC_ALL", "LANG"}) {
        const char *v = getenv(var);
        if (v && *v)
            return strncmp(v, "ja", 2) == 0 ? "ja" : "en";
    }
    return "en";
}

// The name the inquiry carries: the host name up to its first dot, as the
// agents shorten theirs.
std::string monitor_name()
{
    char h[256] = "";
    gethostname(h, sizeof h - 1);
    std::string n = h;
    n = n.substr(0, n.find('.'));
    return n.substr(0, 15);
}

std::string os_name()
{
    struct utsname u;
    return uname(&u) == 0 ? u.sysname : "Linux";
}

std::string seconds_text(double s)
{
    char t[32];
    snprintf(t, sizeof t, "%g", s);
    return t;
}

// ---------------------------------------------------------------------------
// Terminal

class Terminal
{
  public:
    explicit Terminal(bool interactive) : tty_(interactive)
    {
        if (!tty_)
            return;
        if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_) == 0) {
            struct termios raw = saved_;
            // Keys one at a time, unechoed; Ctrl-C arrives as a byte so that
            // the screen is always put back by the same path, and Ctrl-Z
            // cannot leave the terminal in this state behind a stopped job.
            raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0)
                raw_ = true;
        }
        // Alternate screen, cursor hidden.
        fputs("\x1b[?1049h\x1b[?25l", stdout);
        fflush(stdout);
    }
    ~Terminal() { restore(); }
    void restore()
    {
        if (!tty_)
            return;
        fputs("\x1b[0m\x1b[?25h\x1b[?1049l", stdout);
        fflush(stdout);
        if (raw_)
            tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
        tty_ = raw_ = false;
    }
    void size(int &rows, int &cols) const
    {
        struct winsize ws {
        };
        rows = 24;
        cols = 80;
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
            rows = ws.ws_row;
            cols = ws.ws_col;
        }
    }

  private:
    bool tty_;
    bool raw_ = false;
    struct termios saved_ {
    };
};

// ---------------------------------------------------------------------------
// Finding the agent

struct Target {
    Endpoint ep;
    std::string name;
    std::vector<AgentAnswer> discovered;
};

bool find_agent(const Options &o, Target &t, std::string &err)
{
    Endpoint given;
    if (!o.agent.empty() && !resolve(o.agent, NET_PORT_AGENT_TCP, given, err))
        return false;
    if (!o.discover) {
        t.ep = given;
        return true;
    }
    if (!discover(o.agent.empty() ? nullptr : &given, o.timeout, monitor_name(), t.discovered, err))
        return false;
    if (t.discovered.empty()) {
        err = std::string("no agent answered the inquiry ") +
              (o.agent.empty() ? "on the local network" : "at " + given.host) + " within " +
              seconds_text(o.timeout) +
              " s (an agent may be set to answer none; try --agent ADDRESS)";
        return false;
    }
    // An agent with a UPS first; a protector only when nothing else answered.
    auto pick = std::find_if(t.discovered.begin(), t.discovered.end(),
                             [](const AgentAnswer &a) { return !a.protector; });
    if (pick == t.discovered.end())
        pick = t.discovered.begin();
    const int port = o.agent.empty() ? NET_PORT_AGENT_TCP : given.port;
    if (!resolve(pick->address, port, t.ep, err))
        return false;
    t.name = pick->name;
    return true;
}

// ---------------------------------------------------------------------------
// One status

struct Session {
    Snapshot snap;
    std::deque<Message> messages;
    int32_t lang = LANG_ENGLISH;
    std::string problem; // why the last UPS record could not be read

    // Takes one packet from the agent; false with why for a UPS record that
    // cannot be read.
    bool take(const Packet &p, std::string &why)
    {
        switch (p.kind) {
        case PK_UPSINFO: {
            UpsView v;
            if (!decode_upsinfo(p.data, v, why)) {
                problem = why;
                return false;
            }
            problem.clear();
            snap.ups = v;
            snap.have_ups = true;
            snap.updated = time(nullptr);
            return true;
        }
        case PK_MESSAGE:
            add_message(printable(message_text(p.data)));
            return true;
        default:
            // The echo of kind 17 and anything a newer agent may add.
            return true;
        }
    }
    void add_message(const std::string &text)
    {
        messages.push_back(Message{time(nullptr), text});
        while (messages.size() > KEEP_MESSAGES)
            messages.pop_front();
    }
};

int run_once(const Options &o, const Target &t, Session &s)
{
    std::string err;
    Connection c;
    if (!c.open(t.ep, o.timeout, err))
        return fail(err);
    if (!c.send(make_osinfo(s.lang, os_name().c_str()), err) || !c.send(make_getupsinfo(), err))
        return fail(err + " (" + t.ep.text() + ")");
    const double until = now_s() + o.timeout;
    bool done = false;
    while (!done) {
        const double left = until - now_s();
        if (left <= 0)
            return fail("no UPS information from " + t.ep.text() + " within " +
                        seconds_text(o.timeout) + " s");
        struct pollfd pf = {c.fd(), POLLIN, 0};
        const int r = poll(&pf, 1, static_cast<int>(left * 1000) + 1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            continue;
        const bool alive = c.receive(err);
        Packet p;
        int n = 0;
        std::string why;
        // Everything that came with the answer is taken too: the agent's
        // messages may share its segment.
        while ((n = c.next(p, why)) == 1) {
            if (!s.take(p, why))
                return fail(why + " from " + t.ep.text());
            done = done || p.kind == PK_UPSINFO;
        }
        if (n < 0)
            return fail(why);
        if (!done && !alive)
            return fail(err + " (" + t.ep.text() + ")");
    }
    s.snap.connected = true;
    s.snap.connection = "connected";
    s.snap.now = time(nullptr);
    s.snap.messages.assign(s.messages.begin(), s.messages.end());
    if (o.json) {
        fputs(render_json(s.snap).c_str(), stdout);
    } else {
        for (const std::string &l : render_lines(s.snap, false, 0))
            printf("%s\n", l.c_str());
    }
    return fflush(stdout) == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Logging in and the --do forms

// The password: the first line of the file, or VOLTMIRATOP_PASSWORD, or
// none (a user whose password is empty).  Never taken from the command line,
// where every user of the host could read it.
bool read_password(const std::string &file, std::string &out, std::string &err)
{
    out.clear();
    if (file.empty()) {
        const char *v = getenv("VOLTMIRATOP_PASSWORD");
        out = v ? v : "";
        return true;
    }
    std::ifstream in(file);
    if (!in) {
        err = "cannot read the password file " + file + ": " + strerror(errno);
        return false;
    }
    std::getline(in, out);
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    return true;
}

// A session's rights belong to its connection: every new one logs in anew.
Outcome log_in(Exchange &x, const Options &o)
{
    int32_t right = 0;
    return login(x, o.user, o.password, right);
}

int run_do(const Options &o, const Target &t, Session &s)
{
    std::string err;
    Connection c;
    if (!c.open(t.ep, o.timeout, err))
        return fail(err);
    if (!c.send(make_osinfo(s.lang, os_name().c_str()), err))
        return fail(err + " (" + t.ep.text() + ")");
    Exchange x(c, o.timeout, [&](const Packet &p) {
        std::string why;
        s.take(p, why);
    });
    auto report = [](const Outcome &r) {
        printf("%s\n", r.summary.c_str());
        for (const std::string &l : r.lines)
            printf("  %s\n", l.c_str());
        fflush(stdout);
    };
    if (!o.user.empty()) {
        const Outcome r = log_in(x, o);
        report(r);
        if (!r.ok)
            return 1;
    }
    for (const std::string &a : o.actions) {
        const Outcome r = run_action(x, a, monitor_name());
        report(r);
        if (!r.ok)
            return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Live

int run_live(const Options &o, const Target &t, Session &s)
{
    const bool tty = isatty(STDOUT_FILENO);
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH})
        sigaddset(&mask, sig);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    const int sigfd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sigfd < 0)
        return fail(std::string("signalfd: ") + strerror(errno));

    std::string err;
    const int ann = open_announcements(err); // costs only the announcements
    Terminal term(tty);
    bool keys = true; // stdin still open

    Connection c;
    std::string reason;      // why the agent is not connected
    double next_attempt = 0; // when to connect again
    double attempt_until = 0;
    double next_poll = 0;
    double last_heard = 0;
    double next_draw = 0;
    bool quit = false;
    Options creds = o; // the login, also from the l key
    std::string note;  // what came of the last action
    Page page;         // a listing shown instead of the status

    // The exchanges of an action pass everything that arrives meanwhile to
    // the session, as the loop would.
    auto exchange = [&]() {
        return Exchange(c, o.timeout, [&](const Packet &p) {
            std::string why;
            last_heard = now_s();
            s.take(p, why);
        });
    };

    auto lost = [&](const std::string &why) {
        c.close();
        reason = why;
        next_attempt = now_s() + RETRY_S;
        next_draw = 0;
    };
    // A new connection first tells the agent which messages it wants, then
    // asks for the UPS at once.
    // One key's action: its prompt, its confirmation, then the action on
    // the connection, which the loop waits for.
    auto ask = [&](const std::string &question, bool echo, std::string &answer) {
        int rows = 0, cols = 0;
        term.size(rows, cols);
        return ask_line(rows, cols, question, echo, answer);
    };
    auto key = [&](const KeyAction &ka) {
        std::string action = ka.action;
        if (action == "login") {
            std::string user, password;
            if (!ask("user: ", true, user) || user.empty() || !ask("password: ", false, password)) {
                note = "login cancelled";
                return;
            }
            creds.user = user;
            creds.password = password;
            explicit_bzero(password.data(), password.size());
        } else if (ka.prompt) {
            std::string arg;
            if (!ask(ka.prompt, true, arg) || arg.empty()) {
                note = std::string(ka.label) + " cancelled";
                return;
            }
            if (ka.confirm) {
                std::string q = ka.confirm, yes;
                q.replace(q.find("%s"), 2, printable(arg));
                if (!ask(q, true, yes) || (yes != "y" && yes != "yes")) {
                    note = std::string(ka.label) + " cancelled";
                    return;
                }
            }
            action += "=" + arg;
        }
        if (!c.connected()) {
            note = "not connected to the agent";
            return;
        }
        int rows = 0, cols = 0;
        term.size(rows, cols);
        printf("\x1b[%d;1H\x1b[Kwaiting for the agent...", rows);
        fflush(stdout);
        Exchange x = exchange();
        if (action == "login") {
            note = log_in(x, creds).summary;
            return;
        }
        const Outcome r = run_action(x, action, monitor_name());
        note = r.summary;
        if (ka.listing && !r.lines.empty()) {
            const std::string a = ka.action;
            show_page(page, r.summary, r.lines, a == "eventlog" || a == "datalog", rows);
        }
    };

    auto on_connected = [&]() {
        last_heard = now_s();
        next_poll = 0;
        next_draw = 0;
        s.snap.connected_since = time(nullptr);
        if (!c.send(make_osinfo(s.lang, os_name().c_str()), err)) {
            lost(err);
            return;
        }
        if (!creds.user.empty()) {
            Exchange x = exchange();
            note = log_in(x, creds).summary;
        }
    };

    while (!quit) {
        double now = now_s();
        if (c.fd() < 0 && now >= next_attempt) {
            if (c.start(t.ep, err)) {
                attempt_until = now + o.timeout;
                reason.clear();
                if (c.connected())
                    on_connected();
            } else {
                lost(err);
            }
            next_draw = 0;
        }
        if (c.connecting() && now >= attempt_until)
            lost("cannot connect to " + t.ep.text() + ": no answer within " +
                 seconds_text(o.timeout) + " s");
        if (c.connected() && now >= next_poll) {
            if (c.send(make_getupsinfo(), err))
                next_poll = now + 1;
            else
                lost(err);
        }
        if (c.connected() && now - last_heard > SILENCE_S)
            lost("connection lost: no answer for " + seconds_text(SILENCE_S) + " s");

        if (now >= next_draw) {
            s.snap.now = time(nullptr);
            s.snap.connected = c.connected();
            if (c.connected()) {
                s.snap.connection = "connected";
                if (!s.problem.empty())
                    s.snap.connection += "; " + s.problem;
            } else if (c.connecting()) {
                s.snap.connection = "connecting to " + t.ep.text() + "...";
            } else {
                const long in = std::max(0L, static_cast<long>(next_attempt - now + 0.999));
                s.snap.connection = reason + "; retrying in " + std::to_string(in) + " s";
            }
            int rows = 0, cols = 0;
            term.size(rows, cols);
            // As many of the latest messages as the screen has room for.
            s.snap.messages.clear();
            const int base = static_cast<int>(render_lines(s.snap, false, 0).size());
            const int room = std::max(1, rows - base - (tty ? 2 : 0));
            const size_t from =
                s.messages.size() > static_cast<size_t>(room) ? s.messages.size() - room : 0;
            s.snap.messages.assign(s.messages.begin() + static_cast<long>(from), s.messages.end());
            std::vector<std::string> lines = render_lines(s.snap, tty, tty ? cols : 0);
            if (tty)
                lines = screen(lines, rows, cols, page, note);
            std::string out;
            if (tty) {
                if (static_cast<int>(lines.size()) > rows)
                    lines.resize(static_cast<size_t>(rows));
                out = "\x1b[H";
                for (size_t i = 0; i < lines.size(); i++)
                    out += lines[i] + "\x1b[K" + (i + 1 < lines.size() ? "\n" : "");
                out += "\x1b[J";
            } else {
                for (const std::string &l : lines)
                    out += l + "\n";
                out += "\n";
            }
            fputs(out.c_str(), stdout);
            fflush(stdout);
            next_draw = now + 1;
        }

        struct pollfd pf[4];
        int n = 0;
        pf[n++] = {sigfd, POLLIN, 0};
        const int ki = keys ? n : -1;
        if (keys)
            pf[n++] = {STDIN_FILENO, POLLIN, 0};
        const int ci = c.fd() >= 0 ? n : -1;
        if (c.fd() >= 0)
            pf[n++] = {c.fd(), static_cast<short>(c.connecting() ? POLLOUT : POLLIN), 0};
        const int ai = ann >= 0 ? n : -1;
        if (ann >= 0)
            pf[n++] = {ann, POLLIN, 0};
        double wake = next_draw;
        if (c.fd() < 0)
            wake = std::min(wake, next_attempt);
        if (c.connecting())
            wake = std::min(wake, attempt_until);
        if (c.connected())
            wake = std::min(wake, next_poll);
        now = now_s();
        const int ms = wake > now ? static_cast<int>((wake - now) * 1000) + 1 : 0;
        if (poll(pf, static_cast<nfds_t>(n), ms) < 0) {
            if (errno == EINTR)
                continue;
            const std::string why = std::string("poll: ") + strerror(errno);
            term.restore(); // so that the message stays on the screen
            return fail(why);
        }

        if (pf[0].revents & POLLIN) {
            struct signalfd_siginfo si;
            while (read(sigfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                if (si.ssi_signo == SIGWINCH)
                    next_draw = 0;
                else
                    quit = true;
            }
        }
        if (ki >= 0 && (pf[ki].revents & (POLLIN | POLLHUP | POLLERR))) {
            char k[64];
            const ssize_t got = read(STDIN_FILENO, k, sizeof k);
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
                keys = false; // no keyboard; signals still end the program
            for (ssize_t i = 0; i < got && !quit; i++) {
                next_draw = 0;
                if (!page.lines.empty()) {
                    int rows = 0, cols = 0;
                    term.size(rows, cols);
                    page_key(page, k[i], rows);
                    break;
                }
                if (k[i] == 'q' || k[i] == 'Q' || k[i] == 0x03) {
                    quit = true;
                    break;
                }
                const KeyAction *ka = tty ? key_action(k[i]) : nullptr;
                if (!ka)
                    continue;
                // What was typed after the key belongs to no prompt.
                key(*ka);
                // A slow typist is no silent agent: the silence counts
                // from now, and the status is asked for at once.
                last_heard = now_s();
                next_poll = 0;
                break;
            }
        }
        if (ci >= 0 && pf[ci].revents) {
            if (c.connecting()) {
                if (c.finish(err))
                    on_connected();
                else
                    lost(err);
            } else {
                const bool alive = c.receive(err);
                Packet p;
                std::string why;
                int r;
                bool changed = false;
                while ((r = c.next(p, why)) == 1) {
                    last_heard = now_s();
                    changed = true;
                    // An unreadable record is shown with the connection
                    // state; the next one may be fine.
                    s.take(p, why);
                }
                if (r < 0)
                    lost(why);
                else if (!alive)
                    lost(err);
                if (changed)
                    next_draw = 0;
            }
        }
        if (ai >= 0 && (pf[ai].revents & POLLIN)) {
            AgentAnswer a;
            while (read_announcement(ann, a)) {
                const bool ours = a.address == t.ep.host || (!t.name.empty() && a.name == t.name);
                if (!ours || a.protector)
                    continue;
                if (a.cmd == Delete)
                    s.add_message("(agent " + printable(a.name) + " announces it is going down)");
                else if (a.cmd == eAdd)
                    s.add_message("(agent " + printable(a.name) + " announces itself)");
                next_draw = 0;
            }
        }
    }
    term.restore();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    std::string password_file;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--help" || a == "-h") {
            fputs(USAGE, stdout);
            return 0;
        } else if (a == "--agent") {
            const char *v = value();
            if (!v || !*v)
                return bad_usage("--agent wants an address");
            o.agent = v;
        } else if (a == "--discover") {
            o.discover = true;
        } else if (a == "--timeout") {
            const char *v = value();
            char *end = nullptr;
            const double t = v ? strtod(v, &end) : 0;
            if (!v || *end != '\0' || !(t > 0) || t > 3600)
                return bad_usage("--timeout wants a number of seconds above 0");
            o.timeout = t;
        } else if (a == "--lang") {
            const char *v = value();
            if (!v || (strcmp(v, "en") != 0 && strcmp(v, "ja") != 0))
                return bad_usage("--lang wants en or ja");
            o.lang = v;
        } else if (a == "--once") {
            o.once = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--user") {
            const char *v = value();
            if (!v || !*v)
                return bad_usage("--user wants a name");
            o.user = v;
        } else if (a == "--password-file") {
            const char *v = value();
            if (!v || !*v)
                return bad_usage("--password-file wants a file");
            password_file = v;
        } else if (a == "--do") {
            const char *v = value();
            std::string why;
            if (!v || !check_action(v, why))
                return bad_usage(v ? why : "--do wants an action");
            o.actions.push_back(v);
        } else {
            return bad_usage("unknown argument '" + a + "'");
        }
    }
    if (o.json && !o.once)
        return bad_usage("--json goes with --once");
    if (o.once && !o.actions.empty())
        return bad_usage("--once and --do do not go together");
    if (!password_file.empty() && o.user.empty())
        return bad_usage("--password-file goes with --user");
    if (!o.user.empty()) {
        std::string err;
        if (!read_password(password_file, o.password, err))
            return fail(err);
    }
    if (o.agent.empty())
        o.discover = true;
    if (o.lang.empty())
        o.lang = default_lang();
    signal(SIGPIPE, SIG_IGN);

    Target t;
    std::string err;
    if (!find_agent(o, t, err))
        return fail(err);

    Session s;
    s.lang = o.lang == "ja" ? LANG_TRANSLATED : LANG_ENGLISH;
    s.snap.address = t.ep.host;
    s.snap.port = t.ep.port;
    s.snap.agent_name = t.name;
    s.snap.lang = o.lang;
    s.snap.discovered = t.discovered;
    if (!o.actions.empty() || (!o.user.empty() && !o.once && !isatty(STDOUT_FILENO)))
        return run_do(o, t, s);
    return o.once ? run_once(o, t, s) : run_live(o, t, s);
}
