#include "control.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace upssim
{

namespace
{

constexpr size_t kMaxClients = 16;
constexpr size_t kMaxLine = 4096;

const char *const kKeys[] = {"Q1",   "Si", "SiCC", "CF",  "V",  "V2", "BvB8", "Lf",
                             "Lf11", "Bl", "BRR",  "BRW", "T",  "TL", "CT",   "C",
                             "S",    "Sf", "SR",   "An",  "Af", "AR", "AC",   "Bn",
                             "Bf",   "Bt", "VA",   "VB",  "VH", "VL", "?",    "*"};

bool valid_key(const std::string &k)
{
    for (const char *key : kKeys)
        if (k == key)
            return true;
    return false;
}

// The text after the first n words and the one blank that follows them, so
// that payloads keep their own blanks.
std::string rest_after(const std::string &line, size_t n)
{
    size_t i = 0;
    for (size_t w = 0; w < n; w++) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            i++;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            i++;
    }
    if (i < line.size())
        i++;
    return line.substr(i);
}

bool bits(const std::string &text, size_t count, std::string &out)
{
    out.clear();
    for (char c : text) {
        if (c == ' ')
            continue;
        if (c != '0' && c != '1')
            return false;
        out += c;
    }
    return out.size() == count;
}

bool on_off(const std::string &w, bool &out)
{
    if (w == "on" || w == "1") {
        out = true;
        return true;
    }
    if (w == "off" || w == "0") {
        out = false;
        return true;
    }
    return false;
}

} // namespace

Control::~Control()
{
    for (Client &c : clients_)
        close(c.fd);
    if (listen_ >= 0)
        close(listen_);
}

bool Control::listen(const std::string &path, std::string &err)
{
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) {
        err = "control socket path too long: " + path;
        return false;
    }
    memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_ < 0) {
        err = std::string("socket: ") + strerror(errno);
        return false;
    }
    unlink(path.c_str());
    if (bind(listen_, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 ||
        ::listen(listen_, 8) != 0) {
        err = "bind " + path + ": " + strerror(errno);
        return false;
    }
    path_ = path;
    return true;
}

void Control::unpublish()
{
    if (!path_.empty())
        unlink(path_.c_str());
    path_.clear();
}

std::vector<int> Control::client_fds() const
{
    std::vector<int> fds;
    for (const Client &c : clients_)
        fds.push_back(c.fd);
    return fds;
}

void Control::on_accept()
{
    int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (clients_.size() >= kMaxClients) {
        close(fd);
        return;
    }
    clients_.push_back(Client{fd, std::string(), false});
}

void Control::drop(int fd)
{
    for (size_t i = 0; i < clients_.size(); i++) {
        if (clients_[i].fd == fd) {
            close(fd);
            clients_.erase(clients_.begin() + i);
            return;
        }
    }
}

void Control::on_client(int fd)
{
    Client *c = nullptr;
    for (Client &x : clients_)
        if (x.fd == fd)
            c = &x;
    if (c == nullptr)
        return;
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        drop(fd);
        return;
    }
    std::string answers;
    for (ssize_t i = 0; i < n; i++) {
        if (buf[i] != '\n') {
            if (c->buf.size() < kMaxLine)
                c->buf += buf[i];
            else
                c->overlong = true;
            continue;
        }
        std::string line;
        line.swap(c->buf);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        answers += (c->overlong ? std::string("ERR line too long") : execute(line, mono_now()));
        answers += "\n";
        c->overlong = false;
    }
    // Answers are short and the peer waits for them; a peer that cannot
    // take them is dropped rather than waited for.
    if (!answers.empty() &&
        write(fd, answers.data(), answers.size()) != static_cast<ssize_t>(answers.size()))
        drop(fd);
}

std::string Control::execute(const std::string &line, ns_t now)
{
    std::vector<std::string> w = split_words(line);
    if (w.empty())
        return "ERR empty command";
    tr_.log(now, "CTL", line);
    const std::string &cmd = w[0];
    bool flag;
    long n;

    if (cmd == "ping")
        return "OK";
    if (cmd == "get")
        return w.size() == 2 ? get(w[1]) : "ERR usage: get <what>";
    if (cmd == "set")
        return set(w, line, now);
    if (cmd == "model") {
        if (w.size() != 2 || !ups_.set_model(w[1]))
            return "ERR usage: model <name without blanks, at most 31 characters>";
        return "OK";
    }
    if (cmd == "mains" || cmd == "output" || cmd == "silence" || cmd == "pace") {
        if (w.size() != 2 || !on_off(w[1], flag))
            return "ERR usage: " + cmd + " on|off";
        if (cmd == "mains")
            ups_.set_mains(flag);
        else if (cmd == "output")
            ups_.force_output(flag, now);
        else if (cmd == "silence")
            line_.faults.silence = flag;
        else
            line_.faults.pace = flag;
        return "OK";
    }
    if (cmd == "reply")
        return reply_mode(w, line);
    if (cmd == "cut") {
        long count = 1;
        if (w.size() < 3 || w.size() > 4 || !valid_key(w[1]) || !parse_long(w[2], n) || n < 0 ||
            (w.size() == 4 && (!parse_long(w[3], count) || count < 0)))
            return "ERR usage: cut <key> <bytes> [count]";
        line_.faults.cut_key = w[1];
        line_.faults.cut_bytes = n;
        line_.faults.cut_count = count;
        return "OK";
    }
    if (cmd == "garbage") {
        long count = 1;
        if (w.size() < 2 || w.size() > 3 || !parse_long(w[1], n) || n < 0 || n > 4096 ||
            (w.size() == 3 && (!parse_long(w[2], count) || count < 0)))
            return "ERR usage: garbage <bytes 0..4096> [count]";
        line_.faults.garbage_bytes = n;
        line_.faults.garbage_count = count;
        return "OK";
    }
    if (cmd == "wake") {
        if (w.size() != 2 || !parse_long(w[1], n) || n < 0 || n > 100)
            return "ERR usage: wake <count 0..100>";
        line_.faults.wake = n;
        return "OK";
    }
    if (cmd == "send") {
        std::string bytes;
        if (w.size() < 2 || !unescape(rest_after(line, 1), bytes))
            return "ERR usage: send <escaped bytes>";
        line_.inject(bytes, now);
        return "OK";
    }
    if (cmd == "flush") {
        line_.reset_queues();
        return "OK";
    }
    if (cmd == "clear") {
        bool pace = line_.faults.pace;
        line_.faults = Faults();
        line_.faults.pace = pace;
        return "OK";
    }
    return "ERR unknown command " + cmd;
}

std::string Control::reply_mode(const std::vector<std::string> &w, const std::string &line)
{
    if (w.size() < 3 || !valid_key(w[1]))
        return "ERR usage: reply <key> normal|nak|none|raw <escaped bytes>";
    ReplyMode mode;
    if (w[2] == "normal") {
        line_.faults.replies.erase(w[1]);
        return "OK";
    }
    if (w[2] == "nak") {
        mode.kind = ReplyMode::Nak;
    } else if (w[2] == "none") {
        mode.kind = ReplyMode::None;
    } else if (w[2] == "raw") {
        mode.kind = ReplyMode::Raw;
        if (w.size() < 4 || !unescape(rest_after(line, 3), mode.raw))
            return "ERR usage: reply <key> raw <escaped bytes>";
    } else {
        return "ERR usage: reply <key> normal|nak|none|raw <escaped bytes>";
    }
    line_.faults.replies[w[1]] = mode;
    return "OK";
}

std::string Control::set(const std::vector<std::string> &w, const std::string &line, ns_t now)
{
    (void)now;
    if (w.size() < 3)
        return "ERR usage: set <what> <value>";
    const std::string &what = w[1];
    const std::string &val = w[2];
    double d;
    long n;
    std::string b;

    struct Num {
        const char *name;
        double *where;
    };
    const Num nums[] = {{"input", &ups_.m.input},     {"input2", &ups_.m.input2},
                        {"output", &ups_.m.output},   {"infreq", &ups_.m.infreq},
                        {"outfreq", &ups_.m.outfreq}, {"battv", &ups_.m.battv},
                        {"tdur", &ups_.tdur},         {"tldur", &ups_.tldur}};
    for (const Num &x : nums) {
        if (what == x.name) {
            if (w.size() != 3 || !parse_double(val, d) || d < 0)
                return "ERR usage: set " + what + " <number >= 0>";
            *x.where = d;
            return "OK";
        }
    }
    if (what == "load" || what == "capacity") {
        if (w.size() != 3 || !parse_long(val, n) || n < 0)
            return "ERR usage: set " + what + " <integer >= 0>";
        (what == "load" ? ups_.m.load : ups_.m.capacity) = n;
        return "OK";
    }
    if (what == "temp") {
        if (val == "-") {
            ups_.m.temp_known = false;
            return "OK";
        }
        if (w.size() != 3 || !parse_double(val, d))
            return "ERR usage: set temp <number>|-";
        ups_.m.temp = d;
        ups_.m.temp_known = true;
        return "OK";
    }
    if (what == "battform") {
        if (val != "dd.d" && val != "d.dd")
            return "ERR usage: set battform dd.d|d.dd";
        ups_.m.batt_cells = val == "d.dd";
        return "OK";
    }
    if (what == "battdate") {
        // Any text, so that malformed stored dates can be offered too.
        std::string text;
        if (!unescape(rest_after(line, 2), text) || text.empty() || text.size() > 32)
            return "ERR usage: set battdate <escaped text, usually YYYYMMDD>";
        ups_.battdate = text;
        return "OK";
    }
    if (what == "fw") {
        std::string text = rest_after(line, 2);
        if (text.empty() || text.size() > 32)
            return "ERR usage: set fw <text>";
        ups_.fw = text;
        return "OK";
    }
    if (what == "status" || what == "v" || what == "v2") {
        if (!bits(rest_after(line, 2), 8, b))
            return "ERR usage: set " + what + " <eight 0/1>";
        (what == "status" ? ups_.base_status : what == "v" ? ups_.v : ups_.v2) = b;
        return "OK";
    }
    if (what == "bit" || what == "vbit" || what == "v2bit" || what == "cfbit") {
        size_t limit = what == "cfbit" ? ups_.cf().size() : 8;
        if (w.size() != 4 || !parse_long(val, n) || n < 0 || static_cast<size_t>(n) >= limit ||
            (w[3] != "0" && w[3] != "1"))
            return "ERR usage: set " + what + " <position> 0|1";
        if (what == "bit")
            ups_.base_status[7 - n] = w[3][0]; // b7 is the first character
        else if (what == "vbit")
            ups_.v[n] = w[3][0];
        else if (what == "v2bit")
            ups_.v2[n] = w[3][0];
        else if (ups_.cf()[n] == ' ')
            return "ERR position " + val + " is a separator";
        else
            ups_.cf()[n] = w[3][0];
        return "OK";
    }
    if (what == "cf") {
        if (val == "default") {
            ups_.reset_cf();
            return "OK";
        }
        if (!bits(rest_after(line, 2), 32, b))
            return "ERR usage: set cf default|<32 0/1, blanks ignored>";
        ups_.cf() = b.substr(0, 8) + " " + b.substr(8, 8) + " " + b.substr(16, 8) + " " +
                    b.substr(24, 8) + ups_.cf().substr(35);
        return "OK";
    }
    if (what == "outcome") {
        bool b4 = false, b0 = false, v5 = false, v7 = false;
        std::string list = val + ",";
        size_t start = 0, comma;
        while ((comma = list.find(',', start)) != std::string::npos) {
            std::string item = list.substr(start, comma - start);
            start = comma + 1;
            if (item == "b4")
                b4 = true;
            else if (item == "b0")
                b0 = true;
            else if (item == "v5")
                v5 = true;
            else if (item == "v7")
                v7 = true;
            else if (item != "pass" && item != "none")
                return "ERR usage: set outcome pass|<b4,b0,v5,v7 joined by commas>";
        }
        ups_.out_b4 = b4;
        ups_.out_b0 = b0;
        ups_.out_v5 = v5;
        ups_.out_v7 = v7;
        return "OK";
    }
    if (what == "timescale") {
        if (w.size() != 3 || !parse_double(val, d) || d <= 0)
            return "ERR usage: set timescale <factor > 0>";
        ups_.timescale = d;
        return "OK";
    }
    if (what == "delay") {
        if (w.size() != 3 || !parse_long(val, n) || n < 0 || n > 600000)
            return "ERR usage: set delay <milliseconds>";
        line_.faults.delay_ms = n;
        return "OK";
    }
    if (what == "unknown") {
        if (val != "nak" && val != "none")
            return "ERR usage: set unknown nak|none";
        line_.faults.unknown_nak = val == "nak";
        return "OK";
    }
    return "ERR unknown setting " + what;
}

std::string Control::get(const std::string &what) const
{
    if (what == "output")
        return ups_.output_on ? "OK on" : "OK off";
    if (what == "status")
        return "OK " + ups_.status();
    if (what == "q1")
        return "OK " + escape(ups_.q1());
    if (what == "battdate")
        return "OK " + escape(ups_.battdate);
    if (what == "buzzer")
        return ups_.v[1] == '0' ? "OK on" : "OK off";
    if (what == "beeps")
        return "OK " + std::to_string(ups_.beeps());
    if (what == "bt")
        return "OK " + std::to_string(ups_.buzzer_tests());
    if (what == "v")
        return "OK " + ups_.v;
    if (what == "v2")
        return "OK " + ups_.v2;
    if (what == "cf")
        return "OK " + escape(ups_.cf());
    if (what == "model")
        return "OK " + ups_.model();
    if (what == "family")
        return ups_.family() == Family::QA   ? "OK QA"
               : ups_.family() == Family::QR ? "OK QR"
                                             : "OK QE";
    if (what == "bracket")
        return ups_.bracket() ? "OK yes" : "OK no";
    if (what == "test") {
        Ups::Test t = ups_.test();
        return t == Ups::Test::None ? "OK none" : t == Ups::Test::Ten ? "OK 10s" : "OK low";
    }
    if (what == "shutdown") {
        Ups::Shut s = ups_.shut();
        if (s == Ups::Shut::Pending)
            return "OK pending";
        if (s == Ups::Shut::Off)
            return ups_.restore_pending() ? "OK off-restore" : "OK off";
        return "OK none";
    }
    if (what == "autorestart")
        return ups_.v2[0] == '0' ? "OK on" : "OK off";
    if (what == "autotest")
        return ups_.v[2] == '0' ? "OK on" : "OK off";
    if (what == "level") {
        if (ups_.v[6] == '1')
            return "OK 0";
        int level = 1 + (ups_.v[3] == '1' ? 2 : 0) + (ups_.v[4] == '1' ? 1 : 0);
        return "OK " + std::to_string(level);
    }
    if (what == "mains")
        return ups_.base_status[0] == '0' ? "OK on" : "OK off";
    if (what == "rx")
        return "OK " + std::to_string(line_.commands());
    if (what == "pty")
        return "OK " + line_.slave_path();
    if (what == "silence")
        return line_.faults.silence ? "OK on" : "OK off";
    return "ERR unknown item " + what;
}

} // namespace upssim
