// The packet format spoken with monitors and other agents over UDP and TCP:
// the 8-byte header, the payload records, the ports, the protocol versions
// and the packet kinds.
//
// Packets are sent as they lie in memory, little-endian, with no conversion;
// the static_asserts pin every size and offset the peers rely on.
#ifndef VOLTMIRA_AGENT_NET_H
#define VOLTMIRA_AGENT_NET_H

#include <cstddef>
#include <cstdint>

#include <netinet/in.h>

#include "agent/agent.h"

static_assert(sizeof(struct sockaddr_in) == 16, "UPS_CLIADDR needs a 16-byte IPv4 address");

// ---------------------------------------------------------------------------
// Ports and versions

inline constexpr uint16_t NET_PORT_AGENT_TCP = 4112;   // monitor connections
inline constexpr uint16_t NET_PORT_MONITOR_UDP = 4113; // our broadcasts to monitors
inline constexpr uint16_t NET_PORT_AGENT_UDP = 4114;   // inquiries, requests, agent notices

inline constexpr int16_t NET_VERSION_100 = 0x0100;
inline constexpr int16_t NET_VERSION_110 = 0x0110; // what the agent always sends

// A lone 0xFF where a TCP header would begin keeps the connection alive.
inline constexpr uint8_t NET_KEEPALIVE = 0xFF;

// PAOSINFO.os of the agent's own kind of system; also the NT word of answers.
inline constexpr int32_t NET_OS_OWN = 2;

// ---------------------------------------------------------------------------
// Packet kinds (UPS_PACKET_HEAD.DataId).  Req: to the agent; Ans: from it.

enum packet_kind : uint8_t {
    PK_GETUPSINFO = 16,       // Req: get UPS information, no data
    PK_OSINFO = 17,           // Req and Ans: exchange OS information, PAOSINFO
    PK_SHUTDOWN = 18,         // Req (also agent to agent): shutdown, UPS_AGENTDOWNINFO
    PK_CANCELSHUTDOWN = 19,   // Req: cancel shutdown, char[16] host name
    PK_SELFTEST = 20,         // Req: self-test, int32 duration
    PK_SELFTESTLOW = 21,      // Req: UPS command, self-test until battery low
    PK_CANCELTEST = 22,       // Req: UPS command, cancel the self-test
    PK_PASSWORD = 23,         // Req: password, UPS_PASSWORD
    PK_READ = 24,             // Req: read request, UPS_COMMAND_PACKET (RD_*)
    PK_CLEARDATALOG = 25,     // Req: UPS command, clear the data log
    PK_CLEAREVENTLOG = 26,    // Req: UPS command, clear the event log
    PK_BEEPERON = 28,         // Req: UPS command, buzzer on
    PK_BEEPEROFF = 29,        // Req: UPS command, buzzer off
    PK_GETBATTDATE = 30,      // Req: get battery replacement date, no data
    PK_BATTDATE = 31,         // Req and Ans: set battery date / its answer, BATTCHGTIME
    PK_AUTOTESTON = 32,       // Req: UPS command, automatic self-test on
    PK_AUTOTESTOFF = 33,      // Req: UPS command, automatic self-test off
    PK_DETECTLEVEL = 34,      // Req: set output detection level, int32 level
    PK_BEEPERTEST = 35,       // Req: UPS command, buzzer test
    PK_UPSINFO = 64,          // Ans: UPS information, UPS_UPSINFO
    PK_EVENTLOG = 65,         // Ans: event log, n x UPS_EVENTLOGINFO
    PK_DATALOG = 66,          // Ans: data log, n x UPS_DATALOGINFO
    PK_PASSWORDANS = 67,      // Ans: password answer, int32 right
    PK_EMPTY = 68,            // Ans: empty answer to RD_NOTHING
    PK_MESSAGE = 79,          // Ans: message text for monitors, NUL-terminated
    PK_SCHEDULE = 80,         // Req and Ans: schedule list, n x SCHEDULEINFO
    PK_EVENTSET = 81,         // Req and Ans: event settings, 47 x UPS_EVENTINFO + users
    PK_CONFIG = 82,           // Req and Ans: configuration, UPS_PARAM
    PK_PROTREPORT = 192,      // Req, UDP: protector reports to its agent
    PK_PROTCFG = 194,         // Req and Ans, UDP: protector settings, PROTECTORCFG
    PK_GETPROTCFG = 195,      // Req, UDP: get protector settings
    PK_GETPROTEVENTLOG = 197, // Req, UDP: protector's event log, UPS_COMMAND_PACKET
    PK_PROTEVENTLOG = 198,    // Ans: a protector's event log, n x UPS_EVENTLOGINFO
    PK_ANSAGENT = 240,        // Ans: agent answer / announcement, UPS_ANSAGENT
    PK_INQAGENT = 241,        // Req: which agents are there, UPS_INQAGENT
    PK_ANSPROT = 242,         // Ans: protector answer / announcement, UPS_ANSPROT
};

// Sub-commands of PK_READ (UPS_COMMAND_PACKET.cmd).
enum read_kind : int8_t {
    RD_EVENTLOG = 1, // answered by PK_EVENTLOG, or PK_PROTEVENTLOG from a protector
    RD_DATALOG = 2,  // PK_DATALOG
    RD_SCHEDULE = 3, // PK_SCHEDULE
    RD_EVENTSET = 4, // PK_EVENTSET
    RD_CONFIG = 5,   // PK_CONFIG
    RD_NOTHING = 6,  // PK_EMPTY
};

// Event records carried by PK_EVENTSET: the first 47 of AGENT.el.
inline constexpr int NET_EVENTSET_NEVENTS = 47;

// ---------------------------------------------------------------------------
// Header and buffer

typedef struct UPS_PACKET_HEAD {
    int16_t Version;  // NET_VERSION_*
    int8_t Prototype; // low byte of AGINFO.ups.protocol in our packets
    uint8_t DataId;   // packet_kind
    uint32_t Length;  // whole packet, header included
} UPS_PACKET_HEAD, *UPS_PACKET_HEADP;

static_assert(sizeof(UPS_PACKET_HEAD) == 8);
static_assert(offsetof(UPS_PACKET_HEAD, Version) == 0);
static_assert(offsetof(UPS_PACKET_HEAD, Prototype) == 2);
static_assert(offsetof(UPS_PACKET_HEAD, DataId) == 3);
static_assert(offsetof(UPS_PACKET_HEAD, Length) == 4);

// The nominal packet buffer; real packets may be longer, receivers size
// their buffer from Length.
typedef struct UPS_PACKET_DATA {
    UPS_PACKET_HEAD head;
    uint8_t datap[1016];
} UPS_PACKET_DATA, *UPS_PACKET_DATAP;

static_assert(sizeof(UPS_PACKET_DATA) == 1024);
static_assert(offsetof(UPS_PACKET_DATA, head) == 0);
static_assert(offsetof(UPS_PACKET_DATA, datap) == 8);

// ---------------------------------------------------------------------------
// Payloads (offsets count from the end of the header)

typedef struct UPS_COMMAND_PACKET {
    int8_t cmd; // read_kind
    int8_t reserver;
    int16_t firstline;  // first record wanted
    int16_t linecounts; // number of records wanted
    int16_t reserved;
} UPS_COMMAND_PACKET, *UPS_COMMAND_PACKETP;

static_assert(sizeof(UPS_COMMAND_PACKET) == 8);
static_assert(offsetof(UPS_COMMAND_PACKET, cmd) == 0);
static_assert(offsetof(UPS_COMMAND_PACKET, reserver) == 1);
static_assert(offsetof(UPS_COMMAND_PACKET, firstline) == 2);
static_assert(offsetof(UPS_COMMAND_PACKET, linecounts) == 4);
static_assert(offsetof(UPS_COMMAND_PACKET, reserved) == 6);

typedef struct UPS_PASSWORD {
    char username[40];
    char password[20];
} UPS_PASSWORD, *UPS_PASSWORDP;

static_assert(sizeof(UPS_PASSWORD) == 60);
static_assert(offsetof(UPS_PASSWORD, username) == 0);
static_assert(offsetof(UPS_PASSWORD, password) == 40);

typedef struct UPS_PROTECTORINFO {
    int8_t TimeNeeded; // time the protector needs to shut down
    int8_t creserved;
    int16_t sreserved;
    char Protector[42];
} UPS_PROTECTORINFO, *UPS_PROTECTORINFOP;

static_assert(sizeof(UPS_PROTECTORINFO) == 46);
static_assert(offsetof(UPS_PROTECTORINFO, TimeNeeded) == 0);
static_assert(offsetof(UPS_PROTECTORINFO, creserved) == 1);
static_assert(offsetof(UPS_PROTECTORINFO, sreserved) == 2);
static_assert(offsetof(UPS_PROTECTORINFO, Protector) == 4);

typedef struct UPS_AGENTDOWNINFO {
    int8_t DownId; // reason / kind of the shutdown
    int8_t reserved;
    int16_t delay;      // before the shutdown
    uint32_t AgentType; // of the sender
    char Agent[16];     // sender's name
    char Group[16];
} UPS_AGENTDOWNINFO, *UPS_AGENTDOWNINFOP;

static_assert(sizeof(UPS_AGENTDOWNINFO) == 40);
static_assert(offsetof(UPS_AGENTDOWNINFO, DownId) == 0);
static_assert(offsetof(UPS_AGENTDOWNINFO, reserved) == 1);
static_assert(offsetof(UPS_AGENTDOWNINFO, delay) == 2);
static_assert(offsetof(UPS_AGENTDOWNINFO, AgentType) == 4);
static_assert(offsetof(UPS_AGENTDOWNINFO, Agent) == 8);
static_assert(offsetof(UPS_AGENTDOWNINFO, Group) == 24);

typedef struct PROTECTORCFG {
    uint32_t TimeDelay;
    char lpszAgentName[16]; // the agent protecting this host
} PROTECTORCFG, *PROTECTORCFGP;

static_assert(sizeof(PROTECTORCFG) == 20);
static_assert(offsetof(PROTECTORCFG, TimeDelay) == 0);
static_assert(offsetof(PROTECTORCFG, lpszAgentName) == 4);

typedef struct BATTCHGTIME {
    uint32_t uBattStatus;
    UPS_TIMEINFO BattTime;
} BATTCHGTIME, *BATTCHGTIMEP;

static_assert(sizeof(BATTCHGTIME) == 12);
static_assert(offsetof(BATTCHGTIME, uBattStatus) == 0);
static_assert(offsetof(BATTCHGTIME, BattTime) == 4);

typedef struct PAOSINFO {
    int32_t lang; // language / encoding of the monitor
    int32_t os;   // NET_OS_OWN for our own kind of system
    int32_t reserved;
    char osname[16];
} PAOSINFO, *PAOSINFOP;

static_assert(sizeof(PAOSINFO) == 28);
static_assert(offsetof(PAOSINFO, lang) == 0);
static_assert(offsetof(PAOSINFO, os) == 4);
static_assert(offsetof(PAOSINFO, reserved) == 8);
static_assert(offsetof(PAOSINFO, osname) == 12);

// What an answer or announcement means; a 32-bit word on the wire.
enum NSCommands : int32_t {
    eAdd = 0,   // announcing itself
    Delete = 1, // going down
    Reply = 2,  // answering an inquiry
};

static_assert(sizeof(NSCommands) == 4);

typedef struct UPS_INQAGENT {
    NSCommands cmd;
    char Monitor[16]; // name of the asking monitor
} UPS_INQAGENT, *UPS_INQAGENTP;

static_assert(sizeof(UPS_INQAGENT) == 20);
static_assert(offsetof(UPS_INQAGENT, cmd) == 0);
static_assert(offsetof(UPS_INQAGENT, Monitor) == 4);

// An agent's answer or announcement.
typedef struct UPS_ANSAGENT {
    NSCommands cmd;
    char Agent[16];
    char upsmodel[32]; // upper case, or empty
    int8_t UPSStatus;  // ups.ui.upsstat
    int8_t cReserve;
    int16_t sReserve;
    int32_t NT; // NET_OS_OWN
    char Group[16];
    uint32_t AgentType;
    uint32_t BattStatus;
    uint32_t CommStatus;
    int32_t bIgnore;
} UPS_ANSAGENT, *UPS_ANSAGENTP;

static_assert(sizeof(UPS_ANSAGENT) == 92);
static_assert(offsetof(UPS_ANSAGENT, cmd) == 0);
static_assert(offsetof(UPS_ANSAGENT, Agent) == 4);
static_assert(offsetof(UPS_ANSAGENT, upsmodel) == 20);
static_assert(offsetof(UPS_ANSAGENT, UPSStatus) == 52);
static_assert(offsetof(UPS_ANSAGENT, cReserve) == 53);
static_assert(offsetof(UPS_ANSAGENT, sReserve) == 54);
static_assert(offsetof(UPS_ANSAGENT, NT) == 56);
static_assert(offsetof(UPS_ANSAGENT, Group) == 60);
static_assert(offsetof(UPS_ANSAGENT, AgentType) == 76);
static_assert(offsetof(UPS_ANSAGENT, BattStatus) == 80);
static_assert(offsetof(UPS_ANSAGENT, CommStatus) == 84);
static_assert(offsetof(UPS_ANSAGENT, bIgnore) == 88);

// A protector's answer or announcement.
typedef struct UPS_ANSPROT {
    NSCommands cmd;
    int32_t NT;      // NET_OS_OWN
    char Agent[16];  // the agent protecting it
    char myname[16]; // host name up to its first dot
} UPS_ANSPROT, *UPS_ANSPROTP;

static_assert(sizeof(UPS_ANSPROT) == 40);
static_assert(offsetof(UPS_ANSPROT, cmd) == 0);
static_assert(offsetof(UPS_ANSPROT, NT) == 4);
static_assert(offsetof(UPS_ANSPROT, Agent) == 8);
static_assert(offsetof(UPS_ANSPROT, myname) == 24);

// ---------------------------------------------------------------------------
// In-memory only: the head of the daemon's packet buffer, naming where the
// packet that follows came from or goes to.

typedef struct UPS_CLIADDR {
    int32_t sockfd;
    struct sockaddr_in addr;
    int32_t os;
    int32_t lang;
} UPS_CLIADDR, *UPS_CLIADDRP;

static_assert(sizeof(UPS_CLIADDR) == 28);
static_assert(offsetof(UPS_CLIADDR, sockfd) == 0);
static_assert(offsetof(UPS_CLIADDR, addr) == 4);
static_assert(offsetof(UPS_CLIADDR, os) == 20);
static_assert(offsetof(UPS_CLIADDR, lang) == 24);

typedef struct UPS_MSGBLOCK_HEAD {
    UPS_CLIADDR cliaddr;
    UPS_PACKET_HEAD head;
} UPS_MSGBLOCK_HEAD, *UPS_MSGBLOCK_HEADP;

static_assert(sizeof(UPS_MSGBLOCK_HEAD) == 36);
static_assert(offsetof(UPS_MSGBLOCK_HEAD, cliaddr) == 0);
static_assert(offsetof(UPS_MSGBLOCK_HEAD, head) == 28);

// Kept for layout compatibility; passwords are checked against the system's
// user database instead.
typedef struct USERINFO {
    UPS_PASSWORD password;
    int32_t right;
} USERINFO, *USERINFOP;

static_assert(sizeof(USERINFO) == 64);
static_assert(offsetof(USERINFO, password) == 0);
static_assert(offsetof(USERINFO, right) == 60);

#endif // VOLTMIRA_AGENT_NET_H
