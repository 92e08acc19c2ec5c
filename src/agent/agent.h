// The agent's records: the shared-memory segment (AGINFO) that the daemon,
// the UPS channel process and the agent manager all map, the UPS record and
// its members that monitors receive and send raw, the event and user
// settings, and the process-local agent record with its pipes and sockets.
//
// Everything that crosses a process or network boundary is byte-exact and
// little-endian; the static_asserts below pin every size and offset that
// monitors, older agents and the manager rely on, so a layout change cannot
// slip in unnoticed.
#ifndef VOLTMIRA_AGENT_AGENT_H
#define VOLTMIRA_AGENT_AGENT_H

#include <bit>
#include <cstddef>
#include <cstdint>

#include <netinet/in.h>
#include <sys/types.h>

// Records go on the wire as they lie in memory; there is no byte swapping.
static_assert(std::endian::native == std::endian::little,
              "records are exchanged raw in little-endian order");
// Process ids are stored in 32-bit fields of the shared segment.
static_assert(sizeof(pid_t) == 4, "pid_t must be 32 bits");

// ---------------------------------------------------------------------------
// Codes carried in the records

// UPS_UPSINFO.ComId: 0..3 select /dev/ttyS0../dev/ttyS3; a value with the top
// bit set means no port.
inline constexpr int8_t COMID_NONE = -1;  // 0xFF: none assigned, or lost
inline constexpr int8_t COMID_NOUPS = -2; // 0xFE: no UPS configured

// UPS_UPSINFO.CommStatus.
inline constexpr int8_t COMM_ESTABLISHED = 2;
inline constexpr int8_t COMM_NOUPS = 6; // no UPS configured
inline constexpr int8_t COMM_LOST = 17; // not established yet, or lost

// UPS_WORKPARAM.ComSet.
inline constexpr int32_t COMSET_NONE = -1;  // not configured yet
inline constexpr int32_t COMSET_NOUPS = -2; // inquiries report COMM_NOUPS

// AgentType, as the network code reads it.  The configuration only yields
// AGTYPE_PROTECTOR or 4..6 (agents with their own UPS).
inline constexpr uint32_t AGTYPE_SILENT = 0;    // answers no inquiries
inline constexpr uint32_t AGTYPE_PROTECTOR = 1; // host protected by another agent
inline constexpr uint32_t AGTYPE_PLAIN = 2;     // answers without model or group
inline constexpr uint32_t AGTYPE_GROUPED = 3;   // this and above: with group,
                                                // and tells other agents on down
// Agents with their own UPS, by the grace they give before the system goes
// down: none, one minute, two minutes.
inline constexpr uint32_t AGTYPE_LOW = 4;
inline constexpr uint32_t AGTYPE_NORMAL = 5;
inline constexpr uint32_t AGTYPE_HIGH = 6;

// SELFTESTRESULT.Result.
inline constexpr uint32_t SELFTEST_FAILED = 0;
inline constexpr uint32_t SELFTEST_PASSED = 1;
inline constexpr uint32_t SELFTEST_NORESULT = 2;

// AGINFO.isagentchg, written by the agent manager; any negative value asks
// the agent to stop.
inline constexpr int32_t AGCHG_NONE = 0;
inline constexpr int32_t AGCHG_SETTINGS = 1;

// NETCLI.auth: rights granted by a monitor's password request.
inline constexpr int32_t AUTH_NONE = 0;
inline constexpr int32_t AUTH_ADMIN = 1;
inline constexpr int32_t AUTH_USER = 2;

// USERSDATA.UserID of a free entry (0xFF).
inline constexpr int8_t USERID_UNUSED = -1;

// Table sizes of the agent record.
inline constexpr int AGENT_NEVENTS = 55; // event settings in AGENT.el
inline constexpr int AGENT_NUSERS = 32;  // notification users in AGENT.us

// ---------------------------------------------------------------------------
// Records shared between processes and with the network

// A date and time; year counts from 1900 in one byte.
typedef struct UPS_TIMEINFO {
    uint8_t year;
    int8_t month; // schedule entries count it from 0
    int8_t day;
    int8_t hour;
    int8_t minute;
    int8_t second;
    int16_t wReserver;
} UPS_TIMEINFO, *UPS_TIMEINFOP;

static_assert(sizeof(UPS_TIMEINFO) == 8);
static_assert(offsetof(UPS_TIMEINFO, year) == 0);
static_assert(offsetof(UPS_TIMEINFO, month) == 1);
static_assert(offsetof(UPS_TIMEINFO, day) == 2);
static_assert(offsetof(UPS_TIMEINFO, hour) == 3);
static_assert(offsetof(UPS_TIMEINFO, minute) == 4);
static_assert(offsetof(UPS_TIMEINFO, second) == 5);
static_assert(offsetof(UPS_TIMEINFO, wReserver) == 6);

// Model name ("UNKNOWN" when it could not be read) and rated values as
// integer and fractional parts.
typedef struct UPSMODEL {
    char Model[32];
    int8_t FirmVersion;
    int8_t Reserved;
    int8_t OutPutINT;
    int8_t OutPutREM;
    int8_t BattNominalINT;
    int8_t BattNominalREM;
} UPSMODEL, *UPSMODELP;

static_assert(sizeof(UPSMODEL) == 38);
static_assert(offsetof(UPSMODEL, Model) == 0);
static_assert(offsetof(UPSMODEL, FirmVersion) == 32);
static_assert(offsetof(UPSMODEL, Reserved) == 33);
static_assert(offsetof(UPSMODEL, OutPutINT) == 34);
static_assert(offsetof(UPSMODEL, OutPutREM) == 35);
static_assert(offsetof(UPSMODEL, BattNominalINT) == 36);
static_assert(offsetof(UPSMODEL, BattNominalREM) == 37);

// One measurement sample; each INT/REM pair is the integer and fractional
// part of one quantity.  BattCap and Load are percentages.
typedef struct UPSDATA {
    int16_t InPutINT;
    int16_t OutPutINT;
    int8_t InPutREM;
    int8_t OutPutREM;
    int8_t FreqInputINT;
    int8_t FreqInputREM;
    int8_t FreqOutputINT;
    int8_t FreqOutputREM;
    int8_t TempINT;
    int8_t TempREM;
    int8_t BattVolINT;
    int8_t BattVolREM;
    int8_t BattCap;
    uint8_t Load;
} UPSDATA, *UPSDATAP;

static_assert(sizeof(UPSDATA) == 16);
static_assert(offsetof(UPSDATA, InPutINT) == 0);
static_assert(offsetof(UPSDATA, OutPutINT) == 2);
static_assert(offsetof(UPSDATA, InPutREM) == 4);
static_assert(offsetof(UPSDATA, OutPutREM) == 5);
static_assert(offsetof(UPSDATA, FreqInputINT) == 6);
static_assert(offsetof(UPSDATA, FreqInputREM) == 7);
static_assert(offsetof(UPSDATA, FreqOutputINT) == 8);
static_assert(offsetof(UPSDATA, FreqOutputREM) == 9);
static_assert(offsetof(UPSDATA, TempINT) == 10);
static_assert(offsetof(UPSDATA, TempREM) == 11);
static_assert(offsetof(UPSDATA, BattVolINT) == 12);
static_assert(offsetof(UPSDATA, BattVolREM) == 13);
static_assert(offsetof(UPSDATA, BattCap) == 14);
static_assert(offsetof(UPSDATA, Load) == 15);

// One event as logged and as sent to monitors.
typedef struct UPS_EVENTLOGINFO {
    uint8_t EventId;
    int8_t byDownToEvt;
    int16_t wReserve;
    UPS_TIMEINFO timeinfo;
    char AgentName[16];
} UPS_EVENTLOGINFO, *UPS_EVENTLOGINFOP;

static_assert(sizeof(UPS_EVENTLOGINFO) == 28);
static_assert(offsetof(UPS_EVENTLOGINFO, EventId) == 0);
static_assert(offsetof(UPS_EVENTLOGINFO, byDownToEvt) == 1);
static_assert(offsetof(UPS_EVENTLOGINFO, wReserve) == 2);
static_assert(offsetof(UPS_EVENTLOGINFO, timeinfo) == 4);
static_assert(offsetof(UPS_EVENTLOGINFO, AgentName) == 12);

// One data-log record.
typedef struct UPS_DATALOGINFO {
    UPS_TIMEINFO timeinfo;
    UPSDATA upsdata;
} UPS_DATALOGINFO, *UPS_DATALOGINFOP;

static_assert(sizeof(UPS_DATALOGINFO) == 24);
static_assert(offsetof(UPS_DATALOGINFO, timeinfo) == 0);
static_assert(offsetof(UPS_DATALOGINFO, upsdata) == 8);

typedef struct SELFTESTRESULT {
    uint32_t Result; // SELFTEST_*
    UPS_TIMEINFO timeinfo;
} SELFTESTRESULT, *SELFTESTRESULTP;

static_assert(sizeof(SELFTESTRESULT) == 12);
static_assert(offsetof(SELFTESTRESULT, Result) == 0);
static_assert(offsetof(SELFTESTRESULT, timeinfo) == 4);

// Live UPS information: written only by the UPS channel process, sent raw
// to monitors.
typedef struct UPS_UPSINFO {
    int8_t ComId;   // serial port 0..3, or COMID_*
    int8_t upsstat; // state code
    int8_t BattStatus;
    int8_t CommStatus; // COMM_*
    int32_t CommandDownS;
    int32_t ShutdownS;
    int32_t BuzzerCan;
    int32_t AutoTestCan;
    int32_t bIgnoreDown; // shutdown requests of other agents are ignored
    int32_t bAutoReboot;
    int32_t iDetectionLvl;
    uint32_t AgentType;
    char upsmodel[32]; // only UPSMODEL.Model is kept
    UPSDATA upsdata;
    UPS_TIMEINFO timeinfo; // of upsdata
    UPS_TIMEINFO nextdown;
    UPS_TIMEINFO nextboot;
    UPS_TIMEINFO PreChangeBatt; // last battery replacement
    char Group[16];
    UPS_EVENTLOGINFO events[2]; // the two latest
    SELFTESTRESULT sftResBattery;
    SELFTESTRESULT sftResUPS;
    uint16_t ufStatus; // function bits
    int16_t wReserve;
    int32_t bACPI;
} UPS_UPSINFO, *UPS_UPSINFOP;

static_assert(sizeof(UPS_UPSINFO) == 220);
static_assert(offsetof(UPS_UPSINFO, ComId) == 0);
static_assert(offsetof(UPS_UPSINFO, upsstat) == 1);
static_assert(offsetof(UPS_UPSINFO, BattStatus) == 2);
static_assert(offsetof(UPS_UPSINFO, CommStatus) == 3);
static_assert(offsetof(UPS_UPSINFO, CommandDownS) == 4);
static_assert(offsetof(UPS_UPSINFO, ShutdownS) == 8);
static_assert(offsetof(UPS_UPSINFO, BuzzerCan) == 12);
static_assert(offsetof(UPS_UPSINFO, AutoTestCan) == 16);
static_assert(offsetof(UPS_UPSINFO, bIgnoreDown) == 20);
static_assert(offsetof(UPS_UPSINFO, bAutoReboot) == 24);
static_assert(offsetof(UPS_UPSINFO, iDetectionLvl) == 28);
static_assert(offsetof(UPS_UPSINFO, AgentType) == 32);
static_assert(offsetof(UPS_UPSINFO, upsmodel) == 36);
static_assert(offsetof(UPS_UPSINFO, upsdata) == 68);
static_assert(offsetof(UPS_UPSINFO, timeinfo) == 84);
static_assert(offsetof(UPS_UPSINFO, nextdown) == 92);
static_assert(offsetof(UPS_UPSINFO, nextboot) == 100);
static_assert(offsetof(UPS_UPSINFO, PreChangeBatt) == 108);
static_assert(offsetof(UPS_UPSINFO, Group) == 116);
static_assert(offsetof(UPS_UPSINFO, events) == 132);
static_assert(offsetof(UPS_UPSINFO, sftResBattery) == 188);
static_assert(offsetof(UPS_UPSINFO, sftResUPS) == 200);
static_assert(offsetof(UPS_UPSINFO, ufStatus) == 212);
static_assert(offsetof(UPS_UPSINFO, wReserve) == 214);
static_assert(offsetof(UPS_UPSINFO, bACPI) == 216);

typedef struct UPS_WORKPARAM {
    int32_t BSuspend;
    uint32_t BattLife;
    int32_t ComSet; // configured serial port, or COMSET_*
    uint32_t TurnOffDelay;
    int32_t AutoReboot;
    uint32_t FirstWarningTime;
    uint32_t CountDownTime;
    uint32_t WarningBeforeSchel;
    uint32_t nCloseAppTime;
} UPS_WORKPARAM, *UPS_WORKPARAMP;

static_assert(sizeof(UPS_WORKPARAM) == 36);
static_assert(offsetof(UPS_WORKPARAM, BSuspend) == 0);
static_assert(offsetof(UPS_WORKPARAM, BattLife) == 4);
static_assert(offsetof(UPS_WORKPARAM, ComSet) == 8);
static_assert(offsetof(UPS_WORKPARAM, TurnOffDelay) == 12);
static_assert(offsetof(UPS_WORKPARAM, AutoReboot) == 16);
static_assert(offsetof(UPS_WORKPARAM, FirstWarningTime) == 20);
static_assert(offsetof(UPS_WORKPARAM, CountDownTime) == 24);
static_assert(offsetof(UPS_WORKPARAM, WarningBeforeSchel) == 28);
static_assert(offsetof(UPS_WORKPARAM, nCloseAppTime) == 32);

typedef struct UPS_LOGPARAM {
    int32_t EnableEventLog;
    uint32_t MaxEventRec;
    int32_t EnableDataLog;
    uint32_t MaxDataRec;
    uint32_t DataLogInterval;
} UPS_LOGPARAM, *UPS_LOGPARAMP;

static_assert(sizeof(UPS_LOGPARAM) == 20);
static_assert(offsetof(UPS_LOGPARAM, EnableEventLog) == 0);
static_assert(offsetof(UPS_LOGPARAM, MaxEventRec) == 4);
static_assert(offsetof(UPS_LOGPARAM, EnableDataLog) == 8);
static_assert(offsetof(UPS_LOGPARAM, MaxDataRec) == 12);
static_assert(offsetof(UPS_LOGPARAM, DataLogInterval) == 16);

typedef struct UPS_COMMPARAM {
    uint32_t AgentType; // AGTYPE_*
    uint32_t ClientTime;
    uint32_t LowServerTime;
    uint32_t NormalTime;
    int32_t bIgnore;
    char Agent[260]; // this agent's name
    char lpszAccount[260];
    char lpszDomain[260];
    char Group[16];
} UPS_COMMPARAM, *UPS_COMMPARAMP;

static_assert(sizeof(UPS_COMMPARAM) == 816);
static_assert(offsetof(UPS_COMMPARAM, AgentType) == 0);
static_assert(offsetof(UPS_COMMPARAM, ClientTime) == 4);
static_assert(offsetof(UPS_COMMPARAM, LowServerTime) == 8);
static_assert(offsetof(UPS_COMMPARAM, NormalTime) == 12);
static_assert(offsetof(UPS_COMMPARAM, bIgnore) == 16);
static_assert(offsetof(UPS_COMMPARAM, Agent) == 20);
static_assert(offsetof(UPS_COMMPARAM, lpszAccount) == 280);
static_assert(offsetof(UPS_COMMPARAM, lpszDomain) == 540);
static_assert(offsetof(UPS_COMMPARAM, Group) == 800);

// The agent's configuration; monitors read and write it raw.
typedef struct UPS_PARAM {
    UPS_WORKPARAM workparam;
    UPS_LOGPARAM logparam;
    UPS_COMMPARAM commparam;
} UPS_PARAM, *UPS_PARAMP;

static_assert(sizeof(UPS_PARAM) == 872);
static_assert(offsetof(UPS_PARAM, workparam) == 0);
static_assert(offsetof(UPS_PARAM, logparam) == 36);
static_assert(offsetof(UPS_PARAM, commparam) == 56);

typedef struct UPS {
    UPS_UPSINFO ui;
    UPS_PARAM up;
    int32_t protocol; // UPS protocol variant; low byte goes out as Prototype
    int32_t isstandby;
    uint32_t upsstat; // flag word
} UPS, *UPSP;

static_assert(sizeof(UPS) == 1104);
static_assert(offsetof(UPS, ui) == 0);
static_assert(offsetof(UPS, up) == 220);
static_assert(offsetof(UPS, protocol) == 1092);
static_assert(offsetof(UPS, isstandby) == 1096);
static_assert(offsetof(UPS, upsstat) == 1100);

// Data accompanying a 4-byte pipe command, passed through shared memory in
// pieces of at most 256 bytes.
typedef struct AUMSG {
    int32_t msglen;      // valid bytes in buf
    int32_t msgseqno;    // 1 for the first piece
    int32_t msgremained; // bytes still to come; 0 for the last piece
    char buf[256];
} AUMSG, *AUMSGP;

static_assert(sizeof(AUMSG) == 268);
static_assert(offsetof(AUMSG, msglen) == 0);
static_assert(offsetof(AUMSG, msgseqno) == 4);
static_assert(offsetof(AUMSG, msgremained) == 8);
static_assert(offsetof(AUMSG, buf) == 12);

// AUMSG sized for network messages; kept for layout compatibility.
typedef struct ANMSG {
    int32_t msglen;
    int32_t msgseqno;
    int32_t msgremained;
    char buf[1024];
} ANMSG, *ANMSGP;

static_assert(sizeof(ANMSG) == 1036);
static_assert(offsetof(ANMSG, msglen) == 0);
static_assert(offsetof(ANMSG, msgseqno) == 4);
static_assert(offsetof(ANMSG, msgremained) == 8);
static_assert(offsetof(ANMSG, buf) == 12);

// Arguments of the shutdown command in AGINFO.ba2u (msglen 8).
typedef struct UPSDOWNARG {
    int32_t downdelay; // seconds until the output goes off
    int32_t downlast;  // seconds until it comes back; 0 stays off, < 0 as 0
                       // but leaves the unit's restart switch alone
} UPSDOWNARG, *UPSDOWNARGP;

static_assert(sizeof(UPSDOWNARG) == 8);
static_assert(offsetof(UPSDOWNARG, downdelay) == 0);
static_assert(offsetof(UPSDOWNARG, downlast) == 4);

// Command words from the daemon on chna2u: the command in the upper 16 bits.
// The reply word repeats them with UPSREPLY_OK or UPSREPLY_FAIL below.
inline constexpr uint32_t UPSCMD_MASK = 0xFFFF0000;
inline constexpr uint32_t UPSCMD_BATTDATE = 0x00050000;    // refresh switches, date
inline constexpr uint32_t UPSCMD_TESTLOW = 0x02000000;     // self-test to battery low
inline constexpr uint32_t UPSCMD_TEST10 = 0x03000000;      // 10-second self-test
inline constexpr uint32_t UPSCMD_TESTCANCEL = 0x04000000;  // "CT"
inline constexpr uint32_t UPSCMD_SHUTDOWN = 0x06000000;    // UPSDOWNARG in ba2u
inline constexpr uint32_t UPSCMD_DOWNCANCEL = 0x07000000;  // "C"
inline constexpr uint32_t UPSCMD_AUTOTESTOFF = 0x08000000; // "AC"
inline constexpr uint32_t UPSCMD_AUTOTESTON = 0x09000000;  // "AR"
inline constexpr uint32_t UPSCMD_BUZZERON = 0x0A000000;    // "Bn"
inline constexpr uint32_t UPSCMD_BUZZEROFF = 0x0B000000;   // "Bf"
inline constexpr uint32_t UPSCMD_SETBATTDATE = 0x0C000000; // BATTCHGTIME in ba2u
inline constexpr uint32_t UPSCMD_BUZZERTEST = 0x0D000000;  // "Bt", or the sequence
inline constexpr uint32_t UPSCMD_RESTARTOFF = 0x0E000000;  // "Af"
inline constexpr uint32_t UPSCMD_RESTARTON = 0x0F000000;   // "An"
inline constexpr uint32_t UPSCMD_LEVELA = 0x30000000;      // "VA"
inline constexpr uint32_t UPSCMD_LEVELB = 0x40000000;      // "VB"
inline constexpr uint32_t UPSCMD_LEVELH = 0x50000000;      // "VH"
inline constexpr uint32_t UPSCMD_LEVELL = 0x60000000;      // "VL"
inline constexpr uint32_t UPSCMD_REFRESH = 0xF0000000;     // poll now
inline constexpr uint32_t UPSREPLY_OK = 0x0001;
inline constexpr uint32_t UPSREPLY_FAIL = 0xFFFF;

// The whole shared-memory segment.  The agent manager maps it too, so its
// layout is fixed independently of this build.
typedef struct AGINFO {
    int32_t agpid;  // pid_t
    int32_t upspid; // pid_t of the UPS channel process
    int32_t locked; // 1 while the cross-process lock is held
    UPS ups;
    int32_t isagentchg; // AGCHG_*, negative = stop
    AUMSG ba2u;         // daemon -> UPS channel process
    AUMSG bu2a;         // UPS channel process -> daemon
    int32_t udinfo;
} AGINFO, *AGINFOP;

static_assert(sizeof(AGINFO) == 1660);
static_assert(offsetof(AGINFO, agpid) == 0);
static_assert(offsetof(AGINFO, upspid) == 4);
static_assert(offsetof(AGINFO, locked) == 8);
static_assert(offsetof(AGINFO, ups) == 12);
static_assert(offsetof(AGINFO, isagentchg) == 1116);
static_assert(offsetof(AGINFO, ba2u) == 1120);
static_assert(offsetof(AGINFO, bu2a) == 1388);
static_assert(offsetof(AGINFO, udinfo) == 1656);

// The settings of one event.
typedef struct UPS_EVENTINFO {
    uint16_t EventID;
    int16_t Reserved;
    int32_t Record;   // write to the event log
    int32_t Shutdown; // shut the system down
    uint32_t BroadcastType;
    uint32_t BroadcastUser;
    uint32_t MailUser;
    char Command[260];
} UPS_EVENTINFO, *UPS_EVENTINFOP;

static_assert(sizeof(UPS_EVENTINFO) == 284);
static_assert(offsetof(UPS_EVENTINFO, EventID) == 0);
static_assert(offsetof(UPS_EVENTINFO, Reserved) == 2);
static_assert(offsetof(UPS_EVENTINFO, Record) == 4);
static_assert(offsetof(UPS_EVENTINFO, Shutdown) == 8);
static_assert(offsetof(UPS_EVENTINFO, BroadcastType) == 12);
static_assert(offsetof(UPS_EVENTINFO, BroadcastUser) == 16);
static_assert(offsetof(UPS_EVENTINFO, MailUser) == 20);
static_assert(offsetof(UPS_EVENTINFO, Command) == 24);

// A notification user.  Entries follow each other without padding in the
// event settings packet, hence packed.
typedef struct __attribute__((packed)) USERSDATA {
    int8_t UserID; // USERID_UNUSED for a free entry
    int8_t Reserved;
    char UserName[21];
    char Address[260];
    char Email[260];
} USERSDATA, *USERSDATAP;

static_assert(sizeof(USERSDATA) == 543);
static_assert(offsetof(USERSDATA, UserID) == 0);
static_assert(offsetof(USERSDATA, Reserved) == 1);
static_assert(offsetof(USERSDATA, UserName) == 2);
static_assert(offsetof(USERSDATA, Address) == 23);
static_assert(offsetof(USERSDATA, Email) == 283);

typedef struct SCHEDULEINFO {
    int8_t ID;
    int8_t ActionID;
    int16_t ScheduleOn;
    UPS_TIMEINFO stimeInfo; // start
    UPS_TIMEINFO etimeInfo; // end
} SCHEDULEINFO, *SCHEDULEINFOP;

static_assert(sizeof(SCHEDULEINFO) == 20);
static_assert(offsetof(SCHEDULEINFO, ID) == 0);
static_assert(offsetof(SCHEDULEINFO, ActionID) == 1);
static_assert(offsetof(SCHEDULEINFO, ScheduleOn) == 2);
static_assert(offsetof(SCHEDULEINFO, stimeInfo) == 4);
static_assert(offsetof(SCHEDULEINFO, etimeInfo) == 12);

typedef struct SCHEDULELIST {
    struct SCHEDULELIST *next;
    SCHEDULEINFO info;
} SCHEDULELIST, *SCHEDULELISTP;

// ---------------------------------------------------------------------------
// Process-local records: pointers, descriptors and socket addresses, never
// shared or sent, so no fixed layout.

// One direction of conversation between the two processes.  Index 0 of each
// pair is the read end, 1 the write end.
typedef struct chnpair {
    int32_t actpipe[2]; // the initiating side's 4-byte command words
    int32_t paspipe[2]; // the answering side's 4-byte result words
} chnpair, *chnpairP;

// A TCP listening socket, one per interface address.
typedef struct NETSERV {
    struct NETSERV *next;
    int32_t tcpfd;
    struct sockaddr_in addr;
    char addrstr[32]; // dotted-decimal addr
} NETSERV, *NETSERVP;

// A connected monitor, or the origin of the request being served.
typedef struct NETCLI {
    struct NETCLI *next;
    int32_t sockfd; // -1: free slot
    struct sockaddr_in addr;
    int32_t auth; // AUTH_*
    int32_t os;
    int32_t lang;
    char addrstr[32];
} NETCLI, *NETCLIP;

typedef struct NETINFO {
    int32_t ufd; // UDP socket; -1 until opened
    struct sockaddr_in uaddr;
    NETSERVP tfdlist;
    NETCLI cnc; // every reply goes to cnc.sockfd / cnc.addr
    NETCLIP clilist;
} NETINFO, *NETINFOP;

// Each of the two processes holds its own copy after the fork.
typedef struct AGENT {
    chnpair chna2u; // daemon commands, UPS channel process answers
    chnpair chnu2a; // UPS channel process notifies, daemon answers
    key_t key;
    int32_t shmid; // -1 until created
    NETINFO agnet;
    AGINFOP aip;      // attached segment; null until attached
    SCHEDULELISTP sl; // owned by the daemon
    UPS_EVENTINFO el[AGENT_NEVENTS];
    USERSDATA us[AGENT_NUSERS];
    int32_t nusers; // entries of us in use
} AGENT, *AGENTP;

extern AGENT agent;

#endif // VOLTMIRA_AGENT_AGENT_H
