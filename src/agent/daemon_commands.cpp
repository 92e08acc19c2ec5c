// Monitor commands the engine carries out: cancelling a user shutdown,
// self-tests, the buzzer and automatic-test switches, emptying the logs, the
// battery replacement date, the output detection level, and a protector's
// report to its agent.
//
// Each request has one exact length: a packet that says otherwise is not
// one of these, and its data is not read.  Models that lack a function are
// refused here, before the engine or the UPS hears of it.
#include "agent/daemon_engine.h"

#include "agent/agent_daemon.h"
#include "agent/agent_net.h"
#include "agent/net.h"

#include <cstring>

namespace
{

constexpr uint32_t head_len = sizeof(UPS_PACKET_HEAD);

// The name a cancel names: the wire's 16 characters and a terminator.
constexpr size_t host_field = 16;

bool length_is(uint32_t datalen)
{
    return daemon_head()->Length == head_len + datalen;
}

bool model_begins(const AGENT *ap, const char *prefix)
{
    return strncmp(ap->aip->ups.ui.upsmodel, prefix, strlen(prefix)) == 0;
}

// These units have no buzzer, automatic test or battery date to set.
bool small_unit(const AGENT *ap)
{
    return model_begins(ap, "QE350") || model_begins(ap, "QE5500");
}

// A QA unit keeps no battery date a 1.00 monitor could read or set.
bool no_battdate(const AGENT *ap)
{
    return small_unit(ap) || (model_begins(ap, "QA") && daemon_head()->Version == NET_VERSION_100);
}

int command(AGENT *ap, int32_t cmd)
{
    AGENTCMD c = {};
    c.cmd = cmd;
    return daemon_upscommand(ap, &c) < 0 ? -1 : 0;
}

int32_t int_of_data(void)
{
    int32_t v;
    memcpy(&v, daemon_data(), sizeof v);
    return v;
}

} // namespace

int daemon_cancelshutdown(AGENT *ap)
{
    if (!length_is(host_field))
        return -1;
    // The engine reads a terminated name in its own code.
    char host[host_field + 1];
    net_textin(host, sizeof host, daemon_data(), host_field, net_convkind(daemon_head()->Version));
    AGENTCMD c = {};
    c.cmd = PK_CANCELSHUTDOWN;
    c.arg.hp = host;
    return daemon_upscommand(ap, &c) < 0 ? -1 : 0;
}

int daemon_selftest(AGENT *ap)
{
    if (!length_is(sizeof(int32_t)))
        return -1;
    AGENTCMD c = {};
    c.cmd = PK_SELFTEST;
    c.arg.last = int_of_data();
    return daemon_upscommand(ap, &c) < 0 ? -1 : 0;
}

int daemon_docmd(AGENT *ap)
{
    if (!length_is(0))
        return -1;
    uint8_t kind = daemon_head()->DataId;
    switch (kind) {
    case PK_SELFTESTLOW:
    case PK_CANCELTEST:
    case PK_CLEARDATALOG:
    case PK_CLEAREVENTLOG:
        break;
    case PK_BEEPERON:
    case PK_BEEPEROFF:
    case PK_AUTOTESTON:
    case PK_AUTOTESTOFF:
    case PK_BEEPERTEST:
        if (small_unit(ap))
            return -1;
        break;
    default:
        return -1;
    }
    return command(ap, kind);
}

int daemon_getbattime(AGENT *ap)
{
    const uint32_t len = head_len + sizeof(BATTCHGTIME);
    if (!length_is(0) || no_battdate(ap))
        return -1;
    // The answer is longer than the request, and messages the engine sends
    // meanwhile go through the same buffer: the request's origin and header
    // are kept aside and the answer is built after the call.
    UPS_MSGBLOCK_HEAD saved;
    memcpy(&saved, Daemon_Buffer, sizeof saved);
    if (daemon_reallocbuf(len) < 0)
        return -1;
    BATTCHGTIME b = {};
    AGENTCMD c = {};
    c.cmd = PK_GETBATTDATE;
    c.arg.bctp = &b;
    eout.datatype = E_UPSCMD;
    eout.acp = &c;
    int r = daemon_upscommand(ap, &c);
    eout.acp = nullptr;
    memcpy(Daemon_Buffer, &saved, sizeof saved);
    if (r < 0)
        return -1;
    daemon_replyhead(ap, PK_BATTDATE, len);
    memcpy(daemon_data(), &b, sizeof b);
    return net_sendpacketout(ap);
}

int daemon_setbattime(AGENT *ap)
{
    if (!length_is(sizeof(BATTCHGTIME)) || no_battdate(ap))
        return -1;
    BATTCHGTIME b;
    memcpy(&b, daemon_data(), sizeof b);
    AGENTCMD c = {};
    c.cmd = PK_BATTDATE;
    c.arg.bctp = &b;
    return daemon_upscommand(ap, &c) < 0 ? -1 : 0;
}

int daemon_setupsmodelvl(AGENT *ap)
{
    if (!length_is(sizeof(int32_t)) || model_begins(ap, "QE") || model_begins(ap, "QA"))
        return -1;
    int32_t level = int_of_data();
    // A level the UPS has none for is still kept as the setting (the engine
    // tells the UPS only of 1 to 4): monitors read it back as they set it.
    AGENTCMD c = {};
    c.cmd = PK_DETECTLEVEL;
    c.arg.nupsmodel = level;
    return daemon_upscommand(ap, &c) < 0 ? -1 : 0;
}

int daemon_prot2agent(AGENT *ap)
{
    if (ap->aip->ups.up.commparam.AgentType == AGTYPE_PROTECTOR ||
        !length_is(sizeof(UPS_PROTECTORINFO)))
        return -1;
    UPS_PROTECTORINFO p;
    memcpy(&p, daemon_data(), sizeof p);
    // Whoever reads the name reads it as a string.
    p.Protector[sizeof p.Protector - 1] = '\0';
    AGENTCMD c = {};
    c.cmd = PK_PROTREPORT;
    c.arg.pip = &p;
    return daemon_upscommand(ap, &c) < 0 ? -1 : 0;
}
