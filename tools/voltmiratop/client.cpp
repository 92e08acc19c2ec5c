#include "client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vtop
{

double now_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

namespace
{

std::string dotted(const struct in_addr &a)
{
    char s[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, s, sizeof s);
    return s;
}

std::string seconds_text(double s)
{
    char t[32];
    snprintf(t, sizeof t, "%g", s);
    return t;
}

int poll_ms(double until)
{
    const double left = until - now_s();
    if (left <= 0)
        return 0;
    return static_cast<int>(left * 1000) + 1;
}

} // namespace

bool resolve(const std::string &where, int default_port, Endpoint &out, std::string &err)
{
    std::string host = where;
    int port = default_port;
    const size_t colon = where.rfind(':');
    if (colon != std::string::npos) {
        host = where.substr(0, colon);
        const std::string p = where.substr(colon + 1);
        char *end = nullptr;
        const long v = strtol(p.c_str(), &end, 10);
        if (p.empty() || *end != '\0' || v < 1 || v > 65535) {
            err = "bad port in \"" + where + "\"";
            return false;
        }
        port = static_cast<int>(v);
    }
    if (host.empty()) {
        err = "no address in \"" + where + "\"";
        return false;
    }
    struct addrinfo hints {
    };
    hints.ai_family = AF_INET;
    struct addrinfo *res = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || !res) {
        err = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    out = Endpoint{};
    memcpy(&out.addr, res->ai_addr, sizeof out.addr);
    freeaddrinfo(res);
    out.addr.sin_family = AF_INET;
    out.addr.sin_port = htons(static_cast<uint16_t>(port));
    out.host = dotted(out.addr.sin_addr);
    out.port = port;
    return true;
}

// ---------------------------------------------------------------------------
// Discovery

int open_announcements(std::string &err)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        err = std::string("cannot open a UDP socket: ") + strerror(errno);
        return -1;
    }
    // Several monitors on one host all want the broadcasts.
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    struct sockaddr_in a {
    };
    a.sin_family = AF_INET;
    a.sin_port = htons(NET_PORT_MONITOR_UDP);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        err = "cannot listen for announcements on UDP port " +
              std::to_string(NET_PORT_MONITOR_UDP) + ": " + strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

namespace
{

// One datagram, decoded when it is an answer or announcement.  Like the
// agent, accept a datagram whose Length is its size or one less.
bool read_answer(int fd, AgentAnswer &a)
{
    uint8_t buf[2048];
    struct sockaddr_in from {
    };
    socklen_t fl = sizeof from;
    const ssize_t n =
        recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<struct sockaddr *>(&from), &fl);
    if (n < static_cast<ssize_t>(sizeof(UPS_PACKET_HEAD)))
        return false;
    UPS_PACKET_HEAD h;
    memcpy(&h, buf, sizeof h);
    if (h.Length != static_cast<uint32_t>(n) && h.Length + 1 != static_cast<uint32_t>(n))
        return false;
    Packet p;
    p.version = h.Version;
    p.kind = h.DataId;
    p.data.assign(buf + sizeof h, buf + h.Length);
    if (!decode_answer(p, a))
        return false;
    a.address = dotted(from.sin_addr);
    return true;
}

} // namespace

bool read_announcement(int fd, AgentAnswer &a)
{
    return read_answer(fd, a);
}

bool discover(const Endpoint *target, double timeout, const std::string &monitor,
              std::vector<AgentAnswer> &found, std::string &err)
{
    found.clear();
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        err = std::string("cannot open a UDP socket: ") + strerror(errno);
        return false;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    std::string ignored;
    const int ann = open_announcements(ignored);

    const std::vector<uint8_t> q = make_inquiry(monitor.c_str());
    std::vector<struct sockaddr_in> dests;
    if (target) {
        struct sockaddr_in a = target->addr;
        a.sin_port = htons(NET_PORT_AGENT_UDP);
        dests.push_back(a);
    } else {
        struct sockaddr_in a {
        };
        a.sin_family = AF_INET;
        a.sin_port = htons(NET_PORT_AGENT_UDP);
        a.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        dests.push_back(a);
        // The limited broadcast leaves by one interface only; agents on the
        // others hear the directed broadcasts.
        struct ifaddrs *ifs = nullptr;
        if (getifaddrs(&ifs) == 0) {
            for (struct ifaddrs *i = ifs; i; i = i->ifa_next) {
                if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP) ||
                    !(i->ifa_flags & IFF_BROADCAST) || !i->ifa_broadaddr)
                    continue;
                struct sockaddr_in b;
                memcpy(&b, i->ifa_broadaddr, sizeof b);
                b.sin_port = htons(NET_PORT_AGENT_UDP);
                dests.push_back(b);
            }
            freeifaddrs(ifs);
        }
    }
    int sent = 0;
    std::string last_error;
    for (const struct sockaddr_in &d : dests) {
        if (sendto(fd, q.data(), q.size(), 0, reinterpret_cast<const struct sockaddr *>(&d),
                   sizeof d) == static_cast<ssize_t>(q.size()))
            sent++;
        else
            last_error =
                "cannot send the inquiry to " + dotted(d.sin_addr) + ": " + strerror(errno);
    }
    if (sent == 0) {
        err = last_error.empty() ? "no network to send the inquiry on" : last_error;
        ::close(fd);
        if (ann >= 0)
            ::close(ann);
        return false;
    }

    double until = now_s() + timeout;
    bool first = true;
    for (;;) {
        struct pollfd pf[2] = {{fd, POLLIN, 0}, {ann, POLLIN, 0}};
        const int r = poll(pf, ann >= 0 ? 2 : 1, poll_ms(until));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        for (int k = 0; k < 2; k++) {
            if (k == 1 && ann < 0)
                break;
            if (!(pf[k].revents & POLLIN))
                continue;
            AgentAnswer a;
            if (!read_answer(pf[k].fd, a) || a.cmd == Delete)
                continue;
            if (target && a.address != target->host)
                continue;
            bool seen = false;
            for (const AgentAnswer &f : found)
                seen = seen || f.address == a.address;
            if (!seen)
                found.push_back(a);
            if (first && !found.empty()) {
                first = false;
                const double soon = now_s() + (target ? 0.0 : 1.0);
                if (soon < until)
                    until = soon;
            }
        }
    }
    ::close(fd);
    if (ann >= 0)
        ::close(ann);
    return true;
}

// ---------------------------------------------------------------------------
// Connection

bool Connection::start(const Endpoint &to, std::string &err)
{
    close();
    peer_ = to;
    framer_ = Framer{};
    packets_ = 0;
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        err = std::string("cannot open a TCP socket: ") + strerror(errno);
        return false;
    }
    if (connect(fd_, reinterpret_cast<const struct sockaddr *>(&to.addr), sizeof to.addr) == 0) {
        connecting_ = false;
        return true;
    }
    if (errno == EINPROGRESS) {
        connecting_ = true;
        return true;
    }
    err = "cannot connect to " + to.text() + ": " + strerror(errno);
    close();
    return false;
}

bool Connection::finish(std::string &err)
{
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0)
        soerr = errno;
    if (soerr != 0) {
        err = "cannot connect to " + peer_.text() + ": " + strerror(soerr);
        close();
        return false;
    }
    connecting_ = false;
    return true;
}

bool Connection::open(const Endpoint &to, double timeout, std::string &err)
{
    if (!start(to, err))
        return false;
    if (!connecting_)
        return true;
    const double until = now_s() + timeout;
    for (;;) {
        struct pollfd pf = {fd_, POLLOUT, 0};
        const int r = poll(&pf, 1, poll_ms(until));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            err = std::string("poll: ") + strerror(errno);
            close();
            return false;
        }
        if (r == 0) {
            err = "cannot connect to " + to.text() + ": no answer within " + seconds_text(timeout) +
                  " s";
            close();
            return false;
        }
        return finish(err);
    }
}

bool Connection::send(const std::vector<uint8_t> &packet, std::string &err)
{
    size_t done = 0;
    // Requests are a few dozen bytes; a socket buffer that cannot take them
    // belongs to an agent that stopped reading, so waiting is bounded.
    const double until = now_s() + 5;
    while (done < packet.size()) {
        const ssize_t n = ::send(fd_, packet.data() + done, packet.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd pf = {fd_, POLLOUT, 0};
            if (poll(&pf, 1, poll_ms(until)) > 0)
                continue;
            err = "connection lost: the agent takes no more requests";
            return false;
        }
        err = std::string("connection lost: ") + strerror(errno);
        return false;
    }
    return true;
}

bool Connection::receive(std::string &err)
{
    uint8_t buf[4096];
    for (;;) {
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n > 0) {
            framer_.push(buf, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof buf)
                return true;
            continue;
        }
        if (n == 0) {
            err = "connection lost: the agent closed the connection";
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        err = std::string("connection lost: ") + strerror(errno);
        return false;
    }
}

int Connection::next(Packet &p, std::string &err)
{
    const int r = framer_.next(p);
    if (r > 0)
        packets_++;
    else if (r < 0 && packets_ == 0)
        err = peer_.text() + " does not speak the agent protocol: " + framer_.error();
    else if (r < 0)
        err = "connection dropped: " + framer_.error();
    return r;
}

void Connection::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    connecting_ = false;
}

} // namespace vtop
