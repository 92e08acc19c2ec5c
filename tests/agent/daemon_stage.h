// A daemon loop to drive from a test: no sockets, no pipes, no UPS port and
// no segment behind it, only the record and the engine the test gives.
#ifndef VOLTMIRA_TESTS_AGENT_DAEMON_STAGE_H
#define VOLTMIRA_TESTS_AGENT_DAEMON_STAGE_H

#include "agent/agent_daemon.h"
#include "agent/agent_net.h"
#include "agent/sysroot.h"
#include "testutil.h"

#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace testutil
{

// Fresh loop and transport state on ap, with aip = aginfo (cleared, UPS not
// found yet) and engine as the engine's entry.  Returns what the loop's
// initialisation returns (0 when it can run).
inline int stage_daemon(AGENT *ap, AGINFO *aginfo, daemon_engine_fn engine)
{
    daemon_stateinit();
    net_stateinit();
    daemon_st.engine = engine;
    memset(aginfo, 0, sizeof *aginfo);
    aginfo->ups.ui.ComId = COMID_NONE;
    aginfo->ups.ui.CommStatus = COMM_LOST;
    aginfo->ups.protocol = 0x1234;
    *ap = AGENT{};
    for (int i = 0; i < 2; i++) {
        ap->chna2u.actpipe[i] = ap->chna2u.paspipe[i] = -1;
        ap->chnu2a.actpipe[i] = ap->chnu2a.paspipe[i] = -1;
    }
    ap->shmid = -1;
    ap->agnet.ufd = -1;
    ap->aip = aginfo;
    return daemon_initagent(ap);
}

// Undoes stage_daemon: closes the daemon's ends of the registered monitors
// and leaves the table, the loop and the transport as fresh as it found them.
inline void unstage_daemon(AGENT *ap)
{
    for (int i = 0; i < DAEMON_MAXCLIENTS && net_client_p[i].sockfd != -1; i++)
        close(net_client_p[i].sockfd);
    daemon_clearclients(&ap->agnet);
    ap->aip = nullptr;
    daemon_stateinit();
    net_stateinit();
}

// A monitor on a socketpair whose daemon end is registered as coming from
// addr.  Returns the test's end, or -1 with nothing left open.
inline int stage_monitor(AGENT *ap, const struct sockaddr_in *addr)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return -1;
    if (daemon_addclient(&ap->agnet, sv[0], addr) < 0) {
        close(sv[0]);
        close(sv[1]);
        return -1;
    }
    return sv[1];
}

// A packet header as a monitor sends it: kind, Length, version, prototype.
inline std::string head(uint8_t kind, uint32_t length, int16_t version = NET_VERSION_110,
                        int8_t proto = 0)
{
    UPS_PACKET_HEAD h = {version, proto, kind, length};
    return std::string(reinterpret_cast<const char *>(&h), sizeof h);
}

// The bytes of a record, as they travel.
template <typename T> std::string bytes(const T &v)
{
    return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

// What the daemon wrote to its debug log under the staged root; "" when it
// wrote nothing.
inline std::string debuglog()
{
    const char *p = sysroot_path(SP_DEBUGLOG);
    return file_exists(p) ? read_file(p) : std::string();
}

} // namespace testutil

#endif
