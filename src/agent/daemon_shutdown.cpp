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

typedef char name_field[sizeof(UPS_AGENTDOWNINFO::Agent)];
static_assert(sizeof(UPS_AGENTDOWNINFO::Group) == sizeof(name_field));
static_assert(sizeof(UPS_COMMPARAM::Group) == sizeof(name_field));

// Converts a name field of the request (need not be ended) from the
// network's code in place; a name that cannot be converted stays as it came.
void name_in(name_field &field, int kind)
{
    char src[sizeof field + 1];
    char dst[2 * sizeof src];
    wp_strlcpy(src, field, sizeof src);
    if (JConvForDataInFromNetwork(src, dst, sizeof dst, kind) < 0)
        return;
    memset(field, 0, sizeof field);
    memcpy(field, dst, strnlen(dst, sizeof field));
}

// The group names compared as the agents compare them: letter case aside.
bool same_group(const name_field &a, const name_field &b)
{
    char x[sizeof a + 1], y[sizeof b + 1];
    wp_strlcpy(x, a, sizeof x);
    wp_strlcpy(y, b, sizeof y);
    return strcmp(UpStrings(x), UpStrings(y)) == 0;
}

} // namespace

int daemon_shutdownups(AGENT *ap)
{
    const UPS_PACKET_HEAD *h = daemon_head();
    if (h->Length != sizeof(UPS_PACKET_HEAD) + sizeof(UPS_AGENTDOWNINFO))
        return -1;
    int kind = (h->Version & 5) == 5 ? 2 : 0;
    // The engine reads the request after the buffer may have been reused.
    UPS_AGENTDOWNINFO *d = &daemon_st.downinfo;
    memcpy(d, daemon_data(), sizeof *d);
    name_in(d->Group, kind);
    name_in(d->Agent, kind);

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
    if (ups->ui.bIgnoreDown || !same_group(d->Group, cp->Group) || d->AgentType < cp->AgentType)
        return 0;
    return daemon_agentevent(ap, AGEV_NETDOWN, d);
}
