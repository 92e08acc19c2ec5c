#include "monitor.h"

#include "agent/net.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <string>

namespace firedrill
{

namespace
{

constexpr double kConnectS = 3.0;
constexpr double kAskEveryS = 1.0;

} // namespace

int monitor_open(Monitor *m)
{
    vtop::Endpoint to;
    std::string err;
    if (!vtop::resolve("127.0.0.1", NET_PORT_AGENT_TCP, to, err) ||
        !m->conn.open(to, kConnectS, err))
        return -1;
    if (!m->conn.send(vtop::make_osinfo(vtop::LANG_ENGLISH, "firedrill"), err)) {
        m->conn.close();
        return -1;
    }
    m->last_ask = vtop::now_s();
    return 0;
}

int monitor_poll(Monitor *m, Timeline *t)
{
    if (!m->conn.connected() || m->broken)
        return 0;
    int added = 0;
    std::string err;
    struct pollfd p = {m->conn.fd(), POLLIN, 0};
    if (poll(&p, 1, 0) == 1) {
        if (!m->conn.receive(err))
            m->broken = true;
        vtop::Packet pk;
        int r;
        while ((r = m->conn.next(pk, err)) == 1) {
            if (pk.kind != PK_MESSAGE)
                continue;
            std::string text = vtop::printable(vtop::message_text(pk.data));
            Kind k = text.find("Time is up!") != std::string::npos ? Kind::Deadline : Kind::Told;
            timeline_add(t, timeline_mono_ns(), k, "to monitors: " + text);
            added++;
        }
        if (r < 0)
            m->broken = true;
    }
    double now = vtop::now_s();
    if (!m->broken && now - m->last_ask >= kAskEveryS) {
        m->last_ask = now;
        if (!m->conn.send(vtop::make_getupsinfo(), err))
            m->broken = true;
    }
    return added;
}

} // namespace firedrill
