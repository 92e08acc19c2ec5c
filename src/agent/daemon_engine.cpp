// The daemon's side of the event engine.  The engine never touches the
// network or the pipes: it is called here with views of the daemon's
// records, and it calls back through Event_CallBack, which turns each kind
// into command words for the UPS channel process, a message for the
// monitors, or an announcement or going-down notice on the network.
#include "agent/daemon_engine.h"

#include "agent/agent_daemon.h"
#include "agent/agent_log.h"
#include "agent/agent_net.h"
#include "ea/daemon2event_api.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

UPS_EIN_DATA ein;
UPS_EOUT_DATA eout;
int ein_cmd;
int eout_cmd;

namespace
{

// Kinds that are one command word without data.
struct plain_kind {
    int kind;
    uint32_t word;
};

constexpr plain_kind plain_kinds[] = {
    {CB_DOWNCANCEL, UPSCMD_DOWNCANCEL},   {CB_SELFTESTLOW, UPSCMD_TESTLOW},
    {CB_CANCELTEST, UPSCMD_TESTCANCEL},   {CB_BUZZERON, UPSCMD_BUZZERON},
    {CB_BUZZEROFF, UPSCMD_BUZZEROFF},     {CB_AUTOTESTON, UPSCMD_AUTOTESTON},
    {CB_AUTOTESTOFF, UPSCMD_AUTOTESTOFF}, {CB_AUTOBOOTON, UPSCMD_RESTARTON},
    {CB_AUTOBOOTOFF, UPSCMD_RESTARTOFF},  {CB_BUZZERTEST, UPSCMD_BUZZERTEST},
};

// The two words of each output detection level 1 to 4.
constexpr uint32_t level_words[4][2] = {
    {UPSCMD_LEVELA, UPSCMD_LEVELL},
    {UPSCMD_LEVELB, UPSCMD_LEVELL},
    {UPSCMD_LEVELA, UPSCMD_LEVELH},
    {UPSCMD_LEVELB, UPSCMD_LEVELH},
};

// The conversion kind that copies text unconverted (net_textout).
constexpr int text_as_stored = 2;

// Self-test length when the engine names none, in seconds.
constexpr uint32_t default_testsecs = 10;

bool attached(const AGENT *ap)
{
    return ap->aip != nullptr && ap->aip != reinterpret_cast<AGINFOP>(-1);
}

int send_word(AGENT *ap, uint32_t word)
{
    return daemon_sendcmdtoups(ap, static_cast<int>(word));
}

// The UPS channel process reads a command's data from ba2u when the word
// arrives, so the data goes there first, in one piece.
int send_with_data(AGENT *ap, uint32_t word, const void *data, size_t n)
{
    AUMSG *m = &ap->aip->ba2u;
    if (n > sizeof m->buf)
        return -1;
    m->msglen = static_cast<int32_t>(n);
    m->msgseqno = 1;
    m->msgremained = 0;
    memcpy(m->buf, data, n);
    return send_word(ap, word);
}

int upsdown(AGENT *ap, unsigned delay, unsigned last)
{
    UPSDOWNARG arg = {static_cast<int32_t>(delay), static_cast<int32_t>(last)};
    return send_with_data(ap, UPSCMD_SHUTDOWN, &arg, sizeof arg);
}

int selftest(AGENT *ap, unsigned secs)
{
    uint32_t d = secs != 0 ? secs : default_testsecs;
    return send_with_data(ap, UPSCMD_TEST10, &d, sizeof d);
}

int setbattdate(AGENT *ap, const char *msg)
{
    if (msg == nullptr)
        return -1;
    return send_with_data(ap, UPSCMD_SETBATTDATE, msg, sizeof(BATTCHGTIME));
}

// The UPS channel process refreshes the date in the shared record before it
// answers; with no UPS port the record is taken as it stands.
int getbattdate(AGENT *ap, char *msg)
{
    if (msg == nullptr)
        return -1;
    int r = send_word(ap, UPSCMD_BATTDATE);
    if (r != 0)
        return r;
    const UPS_UPSINFO *ui = &ap->aip->ups.ui;
    BATTCHGTIME b;
    memcpy(&b, msg, sizeof b);
    b.uBattStatus = static_cast<uint32_t>(static_cast<int32_t>(ui->BattStatus));
    b.BattTime.year = ui->PreChangeBatt.year;
    b.BattTime.month = ui->PreChangeBatt.month;
    b.BattTime.day = ui->PreChangeBatt.day;
    memcpy(msg, &b, sizeof b);
    return 0;
}

int detectlevel(AGENT *ap, unsigned level)
{
    if (level == 0)
        return 0;
    if (level > 4)
        return -1;
    const uint32_t *w = level_words[level - 1];
    int r = send_word(ap, w[0]);
    return r != 0 ? r : send_word(ap, w[1]);
}

// A message that the agent goes down is followed by the notices, so that
// the monitors, and the agents of the group, hear it even if the message
// was missed.
int netdownmsg(AGENT *ap, const char *msg, unsigned lang)
{
    int r = daemon_sendmsg(ap, msg, static_cast<int>(lang));
    if (r == 0)
        net_broadcastdown(ap);
    return r;
}

int plain_command(AGENT *ap, int cmd)
{
    for (const plain_kind &k : plain_kinds) {
        if (k.kind == cmd)
            return send_word(ap, k.word);
    }
    char line[64];
    snprintf(line, sizeof line, "Event_CallBack: unknown kind %d\n", cmd);
    printf0(line);
    return -1;
}

} // namespace

void daemon_engine_install(void)
{
    ea_setcallback(Event_CallBack);
}

// ---------------------------------------------------------------------------
// Calling the engine

void daemon_engineviews(AGENT *ap, unsigned datatype)
{
    ein.datatype = static_cast<E_DATATYPE>(datatype);
    ein.DATA.upsinfop = &ap->aip->ups.ui;
    ein.DATA.upsstatp = &ap->aip->ups.upsstat;
    ein.DATA.upsconfigp = &ap->aip->ups.up;
    ein.DATA.schlist = nullptr;
    ein.DATA.eu.eap = ap->el;
    ein.DATA.eu.uip = &daemon_st.users;
    // What an earlier request pointed at is gone: the engine must not find
    // it again.
    ein.DATA.range = nullptr;
    ein.DATA.acp = nullptr;
    ein.DATA.agentevent = nullptr;
    eout.DATA.upsinfop = ein.DATA.upsinfop;
    eout.DATA.upsconfigp = ein.DATA.upsconfigp;
    eout.DATA.schlist = nullptr;
    eout.DATA.eu = ein.DATA.eu;
}

int daemon_callengine(int cmd)
{
    ein_cmd = cmd;
    int r = daemon_st.engine(ein_cmd, &ein, &eout_cmd, &eout);
    // Only the schedule read hands its list on (to daemon_getschedule); the
    // list any other request rebuilt is not wanted.
    if (cmd != EA_GETSCHEDULE) {
        free(eout.DATA.schlist);
        eout.DATA.schlist = nullptr;
    }
    return r;
}

int daemon_agentevent(AGENT *ap, int32_t id, UPS_AGENTDOWNINFO *adip)
{
    daemon_engineviews(ap, E_UPSTAT | E_UPSCONFIG | E_AGENTEVENT);
    daemon_st.agentevent = {id, adip};
    ein.DATA.agentevent = &daemon_st.agentevent;
    return daemon_callengine(EA_CHECKAGENT);
}

int daemon_upscommand(AGENT *ap, const AGENTCMD *acp)
{
    daemon_engineviews(ap, E_UPSTAT | E_UPSCONFIG | E_UPSCMD);
    daemon_st.command = *acp;
    ein.DATA.acp = &daemon_st.command;
    int r = daemon_callengine(EA_DOCOMMAND);
    // The argument was the caller's for this call only.
    ein.DATA.acp = nullptr;
    daemon_st.command.arg.hp = nullptr;
    return r;
}

int daemon_upscommand(AGENT *ap, int32_t cmd, UPS_AGENTDOWNINFO *adip)
{
    AGENTCMD c = {};
    c.cmd = cmd;
    c.arg.adip = adip;
    return daemon_upscommand(ap, &c);
}

int daemon_logagentstop(void)
{
    if (!attached(&agent))
        return -1;
    return daemon_agentevent(&agent, AGEV_STOP);
}

// ---------------------------------------------------------------------------
// What the engine asks of the daemon

int daemon_sendmsg(AGENT *ap, const char *msg, int lang)
{
    if (!attached(ap) || Daemon_Buffer == nullptr)
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

int daemon_announce(AGENT *ap)
{
    if (!attached(ap) || Daemon_Buffer == nullptr)
        return -1;
    const UPS_COMMPARAM *cp = &ap->aip->ups.up.commparam;
    net_addressbroadcast(ap, NET_PORT_MONITOR_UDP);
    if (cp->AgentType <= AGTYPE_PROTECTOR) {
        UPS_ANSPROT p;
        if (net_protanswer(ap, &p, eAdd, NET_OS_OWN, 0) != 0)
            return -1;
        return net_sendrecord(ap, PK_ANSPROT, &p, sizeof p);
    }
    UPS_ANSAGENT a;
    // Announcements carry the names as stored, whatever the listener.
    net_agentanswer(ap, &a, eAdd, text_as_stored, NET_ANS_ANNOUNCE, ap->aip->ups.ui.CommStatus);
    return net_sendrecord(ap, PK_ANSAGENT, &a, sizeof a);
}

int Event_CallBack(int cmd, char *msg, unsigned arg1, unsigned arg2)
{
    AGENT *ap = &agent;
    if (cmd == 0)
        return 0;
    if (!attached(ap))
        return -1;
    switch (cmd) {
    case CB_MESSAGE:
        return daemon_sendmsg(ap, msg, static_cast<int>(arg1));
    case CB_NETDOWNMSG:
        return netdownmsg(ap, msg, arg1);
    case CB_UPSDOWN:
        return upsdown(ap, arg1, arg2);
    case CB_SELFTEST:
        return selftest(ap, arg2);
    case CB_SETBATTDATE:
        return setbattdate(ap, msg);
    case CB_GETBATTDATE:
        return getbattdate(ap, msg);
    case CB_ANNOUNCE:
    case CB_ANNOUNCE_STATE:
        return daemon_announce(ap);
    case CB_DOWN2MONITOR:
        return net_broadcastdown2monitor(ap);
    case CB_BROADCASTDOWN:
        return net_broadcastdown(ap);
    case CB_DETECTLEVEL:
        return detectlevel(ap, arg2);
    default:
        return plain_command(ap, cmd);
    }
}
