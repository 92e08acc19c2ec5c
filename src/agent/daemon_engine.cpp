// Event_CallBack: how the engine reaches the monitors, the other agents and
// the UPS channel process.  Messages for the monitors go out already; the
// other kinds are only noted in the debug log until the daemon carries them
// out (the UPS commands, announcements and going-down notices).
#include "agent/daemon_engine.h"

#include "agent/agent_daemon.h"
#include "agent/agent_log.h"
#include "agent/agent_net.h"
#include "ea/ea_state.h"

#include <cstdio>
#include <cstring>

namespace
{

// The kinds the engine may ask for (a single bit each, or 0).
bool known_kind(int cmd)
{
    switch (cmd) {
    case 0:
    case CB_MESSAGE:
    case CB_UPSDOWN:
    case 4:
    case CB_SELFTEST:
    case CB_SELFTESTLOW:
    case CB_CANCELTEST:
    case CB_BUZZERON:
    case CB_BUZZEROFF:
    case CB_AUTOTESTON:
    case CB_AUTOTESTOFF:
    case CB_SETBATTDATE:
    case CB_GETBATTDATE:
    case CB_NETDOWNMSG:
    case CB_ANNOUNCE:
    case CB_DOWN2MONITOR:
    case CB_AUTOBOOTON:
    case CB_AUTOBOOTOFF:
    case CB_DETECTLEVEL:
    case CB_BUZZERTEST:
    case CB_ANNOUNCE_STATE:
        return true;
    default:
        return false;
    }
}

bool attached(const AGENT *ap)
{
    return ap->aip != nullptr && Daemon_Buffer != nullptr;
}

} // namespace

void daemon_engine_install(void)
{
    ea_setcallback(Event_CallBack);
}

int daemon_sendmsg(AGENT *ap, const char *msg, int lang)
{
    if (!attached(ap))
        return -1;
    size_t n = msg != nullptr ? strlen(msg) : 0;
    // One byte more than Length for the terminating NUL, which is not sent.
    uint32_t length = static_cast<uint32_t>(sizeof(UPS_PACKET_HEAD) + n);
    if (n > static_cast<size_t>(DAEMON_MAXBUF) - sizeof(UPS_PACKET_HEAD) - 1 ||
        daemon_reallocbuf(static_cast<int>(length) + 1) < 0)
        return -1;
    daemon_replyhead(ap, PK_MESSAGE, length);
    if (n > 0)
        memcpy(daemon_data(), msg, n);
    daemon_data()[n] = '\0';
    return sendpacketout_msg(ap, lang);
}

int Event_CallBack(int cmd, char *msg, unsigned arg1, unsigned arg2)
{
    if (!known_kind(cmd)) {
        char line[80];
        snprintf(line, sizeof line, "Event_CallBack: unknown kind %d\n", cmd);
        printf0(line);
        return -1;
    }
    if (cmd == CB_MESSAGE || cmd == CB_NETDOWNMSG)
        // The going-down notices that follow a kind 4096 message come with
        // the shutdown.
        return daemon_sendmsg(&agent, msg, static_cast<int>(arg1));
    char line[80];
    snprintf(line, sizeof line, "Event_CallBack: kind %d (%u, %u) not carried out yet\n", cmd, arg1,
             arg2);
    printf0(line);
    return 0;
}
