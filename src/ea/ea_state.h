// The event engine's private state and the functions its files share.
//
// The engine lives inside the daemon process and is called only through
// Event_Action; all it remembers between calls is the one struct below, so a
// test can start from a fresh engine with ea_stateinit().  Nothing here is
// seen by the daemon: the daemon's side is daemon2event_api.h.
#ifndef VOLTMIRA_EA_EA_STATE_H
#define VOLTMIRA_EA_EA_STATE_H

#include "ea/daemon2event_api.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

// Why a shutdown or a self-test is pending.
enum REASON {
    NONE = -1,
    SPECIAL = 1,
    WEEKLY = 2,
    MONTHLY = 3,
    AC_FAIL = 4,
    BATTERY_LOW = 5,
    EVENT_TRIGGER = 6,
    USER_SPECIFY = 7,
    USER_SPECIFY_LOW = 8,
    OTHERAGEDOWN = 9,
};

// Monitor command codes of AGENTCMD.cmd (the request kinds of the packets).
enum {
    CMD_SHUTDOWN = 18,
    CMD_CANCELSHUTDOWN = 19,
    CMD_SELFTEST = 20,
    CMD_SELFTESTLOW = 21,
    CMD_CANCELTEST = 22,
    CMD_CLEARDATALOG = 25,
    CMD_CLEAREVENTLOG = 26,
    CMD_BEEPERON = 28,
    CMD_BEEPEROFF = 29,
    CMD_GETBATTDATE = 30,
    CMD_SETBATTDATE = 31,
    CMD_AUTOTESTON = 32,
    CMD_AUTOTESTOFF = 33,
    CMD_DETECTLEVEL = 34,
    CMD_BEEPERTEST = 35,
};

inline constexpr int EA_MSGLEN = 256;    // msgbuffer, msgbuffer1, msgbuffer2
inline constexpr int EA_NAMELEN = 100;   // monitorname, agentname: up to 99 characters
inline constexpr int EA_NEVENTROWS = 54; // rows of the event catalogue

// Everything the engine remembers between calls.  Instants are seconds since
// the epoch; 0 means not set.
struct ea_state {
    // Shutdown and self-test instants.
    time_t ACFAIL_off;
    time_t BATTLOW_off;
    time_t SCH_off;
    time_t SCH_boot;
    time_t USR_off;
    time_t OTHERAG_off;
    time_t EVENTTRIGGER_off;
    time_t next_off;
    time_t next_test;
    time_t next_testend;
    time_t downpoint;
    long ACFAIL_duration;
    long DownDuration;
    long TestDuration;
    long offBootSpan;
    time_t lastdatalog;
    int downreason;
    int testreason;
    int schdownreason;
    int schtestreason;

    // Flags.
    int ISSHUTTINGDOWN;
    int SHUTTINGDOWNINLOST;
    int DOWNREACHED;
    int ISCOMLST;
    int ISPROTECTOR;
    int ISSERVERAGLOW;
    int ISSERVERAGNORMAL;
    int ISSERVERAGHIGH;
    int GRACE_PERIOD;
    int CURRENTCMD;
    int shutdowneventid;
    int DOWNEVENTID;
    int beDoCmdDown;
    int shutdownMsgSendOnce;
    int bBattConnect;
    int iFirstgetHWfail;

    // Copies of configuration keys, loaded by getconfig and setconfig.
    int EVENTLOGENABLED;
    int DATALOGENABLED;
    long EXPBLIFE;
    long TURNOFFDELAY;
    long PFAILCOUNT;
    long INTERVAL;
    long SCHCOUNT;
    long DLOGINTERVAL;
    int BSUSPEND;
    int CLOSEAPPTIME;
    int lognegative; // the next itoc writes a '-' (set by the log field scanner)

    // Names and message buffers.
    char monitorname[EA_NAMELEN];
    char agentname[EA_NAMELEN];
    char g_agent_name[EA_NAMELEN];
    char g_localname[EA_NAMELEN];
    char msgbuffer[EA_MSGLEN];  // translated text
    char msgbuffer1[EA_MSGLEN]; // network-encoded text
    char msgbuffer2[EA_MSGLEN]; // English text

    // The two most recent events, older first, and whether they were loaded
    // from the event log yet.
    UPS_EVENTLOGINFO last2event[2];
    int eventinitialized;
    // Whether an event of this process has shifted the memory yet: the first
    // one leaves the older place empty (id 255), whatever was loaded.
    int eventshifted;

    // Status evaluation: what the previous look at the UPS saw.
    uint32_t last_u_status;
    int LASTUPSSTAT;
    int LASTCOMMSTATUS;
    char model_lasttime[256];
    char group_last[256];
    uint32_t agenttype_last;
    int ignore_last;
    int reboot_old;
    int com_estab_once;
    int just_fail;
    int dispgrace;
    int sche_on;
    // The mains-failure countdown's own clock (monotonic seconds when
    // armed), so a change of the wall clock cannot move the deadline.
    double acfail_armed; // meaningful while just_fail
    // Communication was lost while a mains failure or a low battery was
    // governing: the countdown and the shutdown go on without the UPS.
    int lostonbattery;
    // A stop was asked for after the deadline: no more grace wait.
    int stopasked;

    // Tick memory.
    time_t lastdowncount;
    time_t lastschdowncount;
    int lastdownreason;
    int lastlastdownreason;
    int HASBGNSPE;
    int HASBGNWEE;
    int HASBGNMON;
    long scheinterval;
    long dp;
    time_t sd_lastdowncount; // shutdown_system's own: last grace-wait message
    // The UPS and the other agents have been told; only the system's
    // shutdown command is left to start.
    int sd_upstold;

    // Terminals of the user being written to, ended by an empty entry.
    char gszUserList[64][32];

    ea_callback_fn callback;
};

extern ea_state ea_st;

// No link to a UPS: lost, or no UPS configured.
inline bool ea_commdown(int comm)
{
    return comm == COMM_LOST || comm == COMM_NOUPS;
}

// A reason that is a schedule's: special day, weekly or monthly.
inline bool ea_scheduled(int reason)
{
    return reason == SPECIAL || reason == WEEKLY || reason == MONTHLY;
}

// Puts the engine back to its state at daemon start (callback kept).
void ea_stateinit(void);

// Calls the installed callback; -1 when none is installed.
int ea_callback(int cmd, char *msg, unsigned arg1, unsigned arg2);

#endif
