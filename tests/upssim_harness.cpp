#include "upssim_harness.h"

#include "agent/sysroot.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef VOLTMIRA_UPSSIM_PATH
#error "the test build must say where the upssim program is"
#endif

namespace testutil
{

namespace
{

constexpr int kReadyMs = 5000;
constexpr int kAnswerMs = 5000;

int hexval(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The simulator's escaping undone (\\ \r \n \t \xHH).
std::string unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < s.size() && hexval(s[i + 1]) >= 0 && hexval(s[i + 2]) >= 0) {
            out += static_cast<char>(hexval(s[i + 1]) * 16 + hexval(s[i + 2]));
            i += 2;
        } else
            out += c;
    }
    return out;
}

} // namespace

int64_t mono_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double ms_since(int64_t ns)
{
    return static_cast<double>(mono_ns() - ns) / 1e6;
}

void sleep_ms(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

bool eventually(const std::function<bool()> &cond, int timeout_ms)
{
    int64_t deadline = mono_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (;;) {
        if (cond())
            return true;
        if (mono_ns() >= deadline)
            return false;
        sleep_ms(5);
    }
}

UpsSim::UpsSim(const std::string &model, int port)
{
    Options opt;
    opt.model = model;
    opt.port = port;
    start(opt);
}

UpsSim::UpsSim(const Options &opt)
{
    start(opt);
}

UpsSim::~UpsSim()
{
    stop();
}

void UpsSim::start(const Options &opt)
{
    // The link must land in the staged root: a test never makes anything
    // under the real /dev.
    std::string prefix = sysroot_prefix();
    if (prefix.empty())
        throw std::runtime_error("UpsSim needs a staged system root");
    if (!opt.link.empty()) {
        link_ = opt.link;
    } else {
        const char *p = sysroot_ttypath(opt.port);
        if (p == nullptr)
            throw std::runtime_error("UpsSim: no serial port " + std::to_string(opt.port));
        link_ = p;
    }
    if (link_.compare(0, prefix.size() + 1, prefix + "/") != 0)
        throw std::runtime_error("UpsSim: " + link_ + " is outside the staged root");
    socket_ = dir_.path() + "/ctl";
    transcript_ = dir_.path() + "/transcript";

    std::vector<std::string> args = {VOLTMIRA_UPSSIM_PATH,
                                     "--link",
                                     link_,
                                     "--model",
                                     opt.model,
                                     "--control",
                                     socket_,
                                     "--transcript",
                                     transcript_,
                                     "--timescale",
                                     std::to_string(opt.timescale),
                                     "--die-with-parent"};
    if (opt.pace)
        args.push_back("--pace");
    for (const std::string &c : opt.commands) {
        args.push_back("--cmd");
        args.push_back(c);
    }
    for (const std::string &a : opt.args)
        args.push_back(a);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("UpsSim: pipe failed");
    pid_ = fork();
    if (pid_ < 0) {
        close(out[0]);
        close(out[1]);
        throw std::runtime_error("UpsSim: fork failed");
    }
    if (pid_ == 0) {
        dup2(out[1], 1);
        // Nothing of the test's own (an open port, a socket) may live on in
        // the simulator.
        for (int fd = 3; fd < 1024; fd++)
            close(fd);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);

    std::string got;
    int64_t deadline = mono_ns() + kReadyMs * 1000000LL;
    while (got.find("ready\n") == std::string::npos) {
        int64_t left = (deadline - mono_ns()) / 1000000;
        struct pollfd p = {out[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, n);
    }
    close(out[0]);
    if (got.find("ready\n") == std::string::npos) {
        stop();
        throw std::runtime_error("UpsSim: the simulator did not get ready");
    }
}

void UpsSim::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 400; i++) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        sleep_ms(5);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string UpsSim::control(const std::string &cmd)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "ERR no socket";
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", socket_.c_str());
    std::string line = cmd + "\n";
    std::string answer;
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) == 0 &&
        write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
        int64_t deadline = mono_ns() + kAnswerMs * 1000000LL;
        while (answer.find('\n') == std::string::npos) {
            int64_t left = (deadline - mono_ns()) / 1000000;
            struct pollfd p = {fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            char buf[512];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            answer.append(buf, n);
        }
    }
    close(fd);
    size_t nl = answer.find('\n');
    if (nl == std::string::npos)
        return "ERR no answer";
    return answer.substr(0, nl);
}

std::string UpsSim::get(const std::string &what)
{
    std::string a = control("get " + what);
    if (a.compare(0, 3, "OK ") != 0)
        return "";
    return a.substr(3);
}

std::vector<UpsSim::Entry> UpsSim::read_from(size_t offset) const
{
    std::vector<Entry> out;
    std::string text;
    try {
        text = read_file(transcript_);
    } catch (const std::exception &) {
        return out;
    }
    size_t pos = offset < text.size() ? offset : text.size();
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            break; // a line still being written
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        size_t s1 = line.find(' ');
        size_t s2 = s1 == std::string::npos ? s1 : line.find(' ', s1 + 1);
        if (s2 == std::string::npos)
            continue;
        Entry e;
        e.ns = strtoll(line.substr(0, s1).c_str(), nullptr, 10);
        e.kind = line.substr(s1 + 1, s2 - s1 - 1);
        e.bytes = unescape(line.substr(s2 + 1));
        out.push_back(e);
    }
    return out;
}

std::vector<UpsSim::Entry> UpsSim::transcript() const
{
    return read_from(mark_);
}

std::vector<UpsSim::Entry> UpsSim::transcript(const std::string &kind) const
{
    std::vector<Entry> out;
    for (Entry &e : read_from(mark_))
        if (e.kind == kind)
            out.push_back(e);
    return out;
}

void UpsSim::clear_transcript()
{
    struct stat sb;
    if (stat(transcript_.c_str(), &sb) == 0)
        mark_ = static_cast<size_t>(sb.st_size);
}

std::optional<UpsSim::Entry> UpsSim::wait_for(const std::function<bool(const Entry &)> &pred,
                                              int timeout_ms) const
{
    int64_t deadline = mono_ns() + timeout_ms * 1000000LL;
    for (;;) {
        for (const Entry &e : read_from(mark_))
            if (pred(e))
                return e;
        if (mono_ns() >= deadline)
            return std::nullopt;
        sleep_ms(2);
    }
}

std::optional<UpsSim::Entry> UpsSim::wait_rx(const std::string &bytes, int timeout_ms) const
{
    return wait_for([&](const Entry &e) { return e.kind == "RX" && e.bytes == bytes; }, timeout_ms);
}

std::optional<UpsSim::Entry> UpsSim::wait_event(const std::string &text, int timeout_ms) const
{
    return wait_for(
        [&](const Entry &e) {
            return e.kind == "EV" && e.bytes.compare(0, text.size(), text) == 0;
        },
        timeout_ms);
}

} // namespace testutil
