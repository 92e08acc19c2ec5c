// A shutdown request (kind 18): from a monitor over its connection it asks
// the engine for a user shutdown; by datagram it is another agent of the
// group shutting down, whose order this agent follows when it is not of a
// lower type and does not ignore such orders.
#include "agent/daemon_engine.h"

#include "agent/agent_daemon.h"
#include "agent/strings.h"
#include "jconv/jconv.h"

#include <cstring>

namespace
{

// Converts a name field of the request (need not be ended) from the
// network's code in place; a name that cannot be converted stays as it came.
void name_in(char *field, size_t size, int kind)
{
    char src[sizeof(UPS_AGENTDOWNINFO::Agent) + 1];
    char dst[2 * sizeof src];
    size_t n = strnlen(field, size < sizeof src - 1 ? size : sizeof src - 1);
    memcpy(src, field, n);
    src[n] = '\0';
    if (JConvForDataInFromNetwork(src, dst, sizeof dst, kind) < 0)
        wp_strlcpy(dst, src, sizeof dst);
    size_t m = strnlen(dst, size);
    memset(field, 0, size);
    memcpy(field, dst, m);
}

// The group names compared as the agents compare them: letter case aside.
bool same_group(const char *a, size_t asize, const char *b, size_t bsize)
{
    char x[sizeof(UPS_AGENTDOWNINFO::Group) + 1], y[sizeof(UPS_COMMPARAM::Group) + 1];
    size_t n = strnlen(a, asize < sizeof x - 1 ? asize : sizeof x - 1);
    memcpy(x, a, n);
    x[n] = '\0';
    size_t m = strnlen(b, bsize < sizeof y - 1 ? bsize : sizeof y - 1);
    memcpy(y, b, m);
    y[m] = '\0';
    return strcmp(UpStrings(x), UpStrings(y)) == 0;
}

} // namespace

int daemon_shutdownups(AGENT *ap)
{
    const UPS_PACKET_HEAD *h = daemon_head();
    if (h->Length != sizeof(UPS_PACKET_HEAD) + sizeof(UPS_AGENTDOWNINFO))
        return -1;
    int kind = (h->Version & 5) == 5 ? 2 : 0;
    UPS_AGENTDOWNINFO *req = reinterpret_cast<UPS_AGENTDOWNINFO *>(daemon_data());
    name_in(req->Group, sizeof req->Group, kind);
    name_in(req->Agent, sizeof req->Agent, kind);
    daemon_st.downinfo = *req;
    UPS_AGENTDOWNINFO *d = &daemon_st.downinfo;

    bool datagram = ap->agnet.cnc.sockfd == ap->agnet.ufd;
    const UPS *ups = &ap->aip->ups;
    const UPS_COMMPARAM *cp = &ups->up.commparam;
    if (!datagram) {
        // The loop has cleared the type of a monitor's request: one that
        // claims a type came some other way.
        if (d->AgentType != 0)
            return -1;
        return daemon_upscommand(ap, PK_SHUTDOWN, d);
    }
    if (d->AgentType < AGTYPE_LOW || cp->AgentType > AGTYPE_HIGH)
        return -1;
    if (ups->ui.bIgnoreDown ||
        !same_group(d->Group, sizeof d->Group, cp->Group, sizeof cp->Group) ||
        d->AgentType < cp->AgentType)
        return 0;
    return daemon_agentevent(ap, AGEV_NETDOWN, d);
}
