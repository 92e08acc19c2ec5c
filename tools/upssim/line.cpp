#include "line.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace upssim
{

namespace
{

// One start bit, eight data bits, one stop bit at 2400 baud.
constexpr ns_t kByteNs = 10 * 1000000000LL / 2400;
// Longer than any command of the protocol ("BRW" and eight digits is the
// longest), so anything past it is noise and is dropped whole.
constexpr size_t kMaxCmd = 32;
constexpr size_t kMaxIn = 4096;
constexpr size_t kMaxOut = 16384;
constexpr size_t kMaxDropShown = 64;

} // namespace

Transcript::~Transcript()
{
    if (fd_ >= 0)
        close(fd_);
}

bool Transcript::open(const std::string &path)
{
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    return fd_ >= 0;
}

void Transcript::log(ns_t when, const char *kind, const std::string &bytes)
{
    if (fd_ < 0)
        return;
    std::string line = std::to_string(when) + " " + kind + " " + escape(bytes) + "\n";
    // Written unbuffered: a test reads the file while the simulator runs.
    ssize_t n = write(fd_, line.data(), line.size());
    (void)n;
}

Line::Line(Ups &ups, Transcript &tr) : ups_(ups), tr_(tr) {}

Line::~Line()
{
    if (slave_hold_ >= 0)
        close(slave_hold_);
    if (master_ >= 0)
        close(master_);
}

bool Line::open(const std::string &link, std::string &err)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        err = std::string("pseudo-terminal: ") + strerror(errno);
        return false;
    }
    const char *name = ptsname(master_);
    if (name == nullptr) {
        err = "ptsname failed";
        return false;
    }
    slave_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    // Holding the slave open keeps the master from seeing a hang-up each
    // time the host closes its end, as a serial port would not either.
    slave_hold_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_hold_ < 0) {
        err = "open " + slave_ + ": " + strerror(errno);
        return false;
    }
    // Raw until the host applies its own settings: nothing echoed or
    // translated on our behalf.
    struct termios t;
    if (tcgetattr(slave_hold_, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B2400);
        cfsetospeed(&t, B2400);
        t.c_cflag |= CLOCAL | CREAD;
        tcsetattr(slave_hold_, TCSANOW, &t);
    }

    // The link appears whole, by rename, so whoever waits for it finds a
    // working port at once.
    std::string tmp = link + ".upssim." + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(slave_.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        err = "link " + link + ": " + strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    link_ = link;
    return true;
}

void Line::unpublish()
{
    if (link_.empty())
        return;
    char target[PATH_MAX];
    ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        if (slave_ == target)
            unlink(link_.c_str());
    }
    link_.clear();
}

void Line::on_readable(ns_t now)
{
    char buf[512];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0)
        return;
    if (faults.silence) {
        tr_.log(now, "DROP", std::string(buf, n));
        return;
    }
    for (ssize_t i = 0; i < n; i++) {
        if (in_.size() >= kMaxIn) {
            tr_.log(now, "DROP", std::string(buf + i, n - i));
            break;
        }
        // The host's write lands all at once; the wire would have taken one
        // byte time per byte.
        ns_t at = now;
        if (faults.pace)
            at = (last_in_ > now ? last_in_ : now) + kByteNs;
        last_in_ = at;
        in_.push_back(In{buf[i], at});
    }
}

void Line::run(ns_t now)
{
    while (!in_.empty() && in_.front().at <= now) {
        In b = in_.front();
        in_.pop_front();
        if (b.byte == '\x13' || b.byte == '\x11') {
            xoff_ = b.byte == '\x13';
            tr_.log(b.at, "EV", xoff_ ? "xoff" : "xon");
            continue;
        }
        if (overlong_) {
            if (dropped_.size() < kMaxDropShown)
                dropped_ += b.byte;
            if (b.byte == '\r') {
                tr_.log(b.at, "DROP", dropped_);
                dropped_.clear();
                overlong_ = false;
            }
            continue;
        }
        if (b.byte == '\r') {
            commands_++;
            tr_.log(b.at, "RX", cmd_ + "\r");
            std::string cmd;
            cmd.swap(cmd_);
            dispatch(cmd, b.at);
        } else if (b.byte != '\n') {
            cmd_ += b.byte;
            if (cmd_.size() > kMaxCmd) {
                overlong_ = true;
                dropped_.swap(cmd_);
                cmd_.clear();
            }
        }
    }
    write_out(now);
}

void Line::dispatch(const std::string &cmd, ns_t at)
{
    // A bare CR is line noise, not a command.
    if (cmd.empty())
        return;
    const std::string key = command_key(cmd);
    ReplyMode mode;
    auto it = faults.replies.find(key);
    if (it == faults.replies.end())
        it = faults.replies.find("*");
    if (it != faults.replies.end())
        mode = it->second;

    bool has = false;
    std::string text;
    if (mode.kind == ReplyMode::Nak) {
        // Refused: the unit does not act on it.
        has = true;
        text = "NAK\r";
    } else {
        Ups::Result r = ups_.handle(cmd, at);
        if (!r.known) {
            has = faults.unknown_nak;
            text = "NAK\r";
        } else {
            has = r.reply;
            text = r.text;
        }
        if (mode.kind == ReplyMode::None) {
            has = false;
        } else if (mode.kind == ReplyMode::Raw) {
            has = true;
            text = mode.raw;
        }
    }
    if (!has)
        return;

    if (faults.cut_count > 0 && (faults.cut_key == "*" || faults.cut_key == key)) {
        faults.cut_count--;
        if (static_cast<size_t>(faults.cut_bytes) < text.size())
            text.resize(faults.cut_bytes);
    }
    ns_t not_before = at + faults.delay_ms * 1000000LL;
    for (; faults.wake > 0; faults.wake--)
        queue("WAKE\r", not_before);
    if (faults.garbage_count > 0) {
        faults.garbage_count--;
        std::string junk;
        static unsigned seed = 2463534242u;
        while (junk.size() < static_cast<size_t>(faults.garbage_bytes)) {
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            char c = static_cast<char>(seed & 0xff);
            // No line ends (they would make extra lines) and no flow
            // control characters (they would stop the host's output).
            if (c != '\r' && c != '\n' && c != '\x11' && c != '\x13')
                junk += c;
        }
        queue(junk, not_before);
    }
    if (!text.empty())
        queue(text, not_before);
}

void Line::queue(const std::string &bytes, ns_t not_before)
{
    if (bytes.empty())
        return;
    if (out_size_ + bytes.size() > kMaxOut) {
        tr_.log(not_before, "EV", "tx overflow, dropped " + std::to_string(bytes.size()));
        return;
    }
    out_.push_back(Out{bytes, not_before, 0});
    out_size_ += bytes.size();
}

void Line::inject(const std::string &bytes, ns_t now)
{
    queue(bytes, now);
}

void Line::reset_queues()
{
    in_.clear();
    out_.clear();
    out_size_ = 0;
    cmd_.clear();
    overlong_ = false;
    dropped_.clear();
    xoff_ = false;
}

void Line::write_out(ns_t now)
{
    // A pulled cable carries nothing out either.
    if (faults.silence && !out_.empty()) {
        for (const Out &o : out_)
            tr_.log(now, "DROP", o.bytes.substr(o.done));
        out_.clear();
        out_size_ = 0;
    }
    while (!out_.empty() && !xoff_) {
        Out &o = out_.front();
        if (now < ready_at(o))
            break;
        size_t want = faults.pace ? 1 : o.bytes.size() - o.done;
        ssize_t n = write(master_, o.bytes.data() + o.done, want);
        if (n <= 0)
            break; // full: poll says when it drains
        if (o.done == 0)
            tr_.log(now, "TX", o.bytes);
        o.done += n;
        if (faults.pace) {
            // Keep the cadence when the loop wakes a little late.
            ns_t base = now - next_byte_ < kByteNs ? next_byte_ : now;
            next_byte_ = base + kByteNs;
        }
        if (o.done == o.bytes.size()) {
            out_size_ -= o.bytes.size();
            out_.pop_front();
        }
    }
}

ns_t Line::ready_at(const Out &o) const
{
    if (!faults.pace)
        return o.not_before;
    // A paced byte reaches the host at the end of its time on the wire, so
    // the first byte of a reply takes one byte time too.
    ns_t first = o.done == 0 ? o.not_before + kByteNs : o.not_before;
    return first > next_byte_ ? first : next_byte_;
}

bool Line::want_write(ns_t now) const
{
    if (out_.empty() || xoff_)
        return false;
    return now >= ready_at(out_.front());
}

ns_t Line::next_deadline(ns_t now) const
{
    ns_t t = kNever;
    if (!in_.empty())
        t = in_.front().at;
    if (!out_.empty() && !xoff_) {
        ns_t o = ready_at(out_.front());
        if (o > now && o < t)
            t = o;
    }
    return t;
}

} // namespace upssim
