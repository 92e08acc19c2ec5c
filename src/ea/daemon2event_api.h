// The interface between the daemon and the event engine: the one entry
// Event_Action with its request and reply records, and the callback through
// which the engine asks the daemon to talk to the UPS or the network.
//
// The engine runs inside the daemon process and is called synchronously;
// every record here holds pointers into the daemon's memory and never
// crosses a process or network boundary, so only the records they point at
// (agent.h, net.h) have a fixed byte layout.
#ifndef VOLTMIRA_EA_DAEMON2EVENT_API_H
#define VOLTMIRA_EA_DAEMON2EVENT_API_H

#include "agent/agent.h"
#include "agent/net.h"

#include <cstdint>

// What a request carries and what a reply holds; a bit set, kept in the
// datatype word of both records.  The engine does not test the request's.
enum E_DATATYPE : uint32_t {
    E_NULLEVENT = 0,   // nothing returned
    E_UPSTAT = 1,      // UPS information
    E_UPSCONFIG = 2,   // agent configuration
    E_SCHEDULE = 4,    // schedule list
    E_EVENTACTION = 8, // event settings
    E_EVENTLOG = 16,   // event log records
    E_DATALOG = 32,    // data log records
    E_AGENTEVENT = 64, // notice about an agent
    E_UPSCMD = 128,    // command from a monitor
};

// Request codes of Event_Action.
enum {
    EA_INIT = 1,         // load configuration, schedules and event settings
    EA_GETCONFIG = 2,    // configuration into upsconfigp
    EA_GETEVENT = 3,     // event settings and users
    EA_GETSCHEDULE = 4,  // a fresh schedule list into schlist
    EA_GETEVENTLOG = 5,  // event-log records of range
    EA_GETDATALOG = 6,   // data-log records of range
    EA_SETCONFIG = 8,    // store the configuration
    EA_SETEVENT = 9,     // store event settings and users
    EA_SETSCHEDULE = 10, // store the schedule list
    EA_DOCOMMAND = 11,   // a monitor command, acp
    EA_CHECKUPS = 17,    // the periodic look at the UPS state
    EA_CHECKAGENT = 18,  // a notice about an agent, agentevent
};

// AGENTEVENT.id.
enum {
    AGEV_SETTINGS = 1, // the agent manager changed the settings
    AGEV_NETDOWN = 2,  // another agent ordered a network shutdown
    AGEV_STOP = 4,     // this agent is stopping
    // The agent is asked to stop while its own shutdown runs: the grace
    // wait ends, so that the UPS hears its switch-off before the agent goes.
    AGEV_STOPASKED = 8,
};

// Which log lines a read wants.
typedef struct LOGRANGE {
    int32_t firstline;
    int32_t counts;
} LOGRANGE, *LOGRANGEP;

// Log records the engine allocated; the daemon frees the array after sending.
typedef struct DATALOGARRAY {
    int32_t rnum;
    UPS_DATALOGINFO *datalogarray;
} DATALOGARRAY, *DATALOGARRAYP;

typedef struct EVENTLOGARRAY {
    int32_t rnum;
    UPS_EVENTLOGINFO *eventlogarray;
} EVENTLOGARRAY, *EVENTLOGARRAYP;

typedef struct AGENTEVENT {
    int32_t id;              // AGEV_*
    UPS_AGENTDOWNINFO *adip; // the network-shutdown notice, for AGEV_NETDOWN
} AGENTEVENT, *AGENTEVENTP;

// A monitor command; which member of arg is meant depends on cmd (the
// request's packet kind, net.h).
typedef struct AGENTCMD {
    int32_t cmd;
    union {
        UPS_AGENTDOWNINFO *adip;
        int32_t last;
        char *hp;
        BATTCHGTIME *bctp;
        UPS_PROTECTORINFO *pip;
        int32_t nupsmodel;
    } arg;
} AGENTCMD, *AGENTCMDP;

// The notification users; bit n of an event's user masks is udp[n].
typedef struct UPS_USERSINFO {
    int32_t nusers;
    USERSDATA *udp; // AGENT_NUSERS entries
} UPS_USERSINFO, *UPS_USERSINFOP;

typedef struct UPS_EVENTUSERS {
    UPS_EVENTINFO *eap; // AGENT_NEVENTS entries
    UPS_USERSINFO *uip;
} UPS_EVENTUSERS, *UPS_EVENTUSERSP;

// Request to the engine.  Every pointer refers to memory the daemon owns.
typedef struct UPS_EIN_DATA {
    E_DATATYPE datatype;
    struct {
        UPS_UPSINFO *upsinfop;    // the live record in the shared segment
        const uint32_t *upsstatp; // the UPS status word beside it (UPS.upsstat); null reads 0
        UPS_PARAM *upsconfigp;    // working, log and communication parameters
        SCHEDULELIST *schlist;    // schedule settings to store
        UPS_EVENTUSERS eu;        // event settings and users
        LOGRANGE *range;          // log lines to read
        AGENTCMD *acp;            // a monitor command
        AGENTEVENT *agentevent;   // a notice about an agent
    } DATA;
} UPS_EIN_DATA, *UPS_EIN_DATAP;

// Reply from the engine.  The daemon points upsinfop, upsconfigp and eu at
// the same memory as in its request, so what the engine writes here is what
// the next request reads.
typedef struct UPS_EOUT_DATA {
    E_DATATYPE datatype;
    struct {
        UPS_UPSINFO *upsinfop;
        UPS_PARAM *upsconfigp;
        SCHEDULELIST *schlist; // a list the engine built
        UPS_EVENTUSERS eu;
    } DATA;
    DATALOGARRAY datalog;
    EVENTLOGARRAY eventlog;
    AGENTCMD *acp;
    AGENTEVENT *agentevent;
} UPS_EOUT_DATA, *UPS_EOUT_DATAP;

// Callback kinds the engine asks of the daemon (Event_CallBack's cmd).
enum {
    CB_MESSAGE = 1,
    CB_DOWNCANCEL = 4, // call off a shutdown pending in the UPS (a user cancel)
    CB_UPSDOWN = 2,
    CB_SELFTEST = 8,
    CB_SELFTESTLOW = 16,
    CB_CANCELTEST = 32,
    CB_BUZZERON = 64,
    CB_BUZZEROFF = 128,
    CB_AUTOTESTON = 256,
    CB_AUTOTESTOFF = 512,
    CB_SETBATTDATE = 1024,
    CB_GETBATTDATE = 2048,
    CB_NETDOWNMSG = 4096,
    CB_ANNOUNCE = 8192,
    CB_DOWN2MONITOR = 0x4000, // tell the monitors (group, port or type changed)
    CB_AUTOBOOTON = 0x8000,
    CB_AUTOBOOTOFF = 0x10000,
    CB_ANNOUNCE_STATE = 0x80000,
    CB_DETECTLEVEL = 0x20000,
    CB_BUZZERTEST = 0x40000,
    // The engine reaches the network only through the daemon: tell the
    // monitors and the other agents that this host goes down (three times).
    CB_BROADCASTDOWN = 0x100000,
};

// How the engine reaches the daemon; the daemon installs its own with
// ea_setcallback(), tests install a recorder.  Same contract as
// Event_CallBack: 0 done, non-zero failed.
typedef int (*ea_callback_fn)(int cmd, char *msg, unsigned arg1, unsigned arg2);

// Installs the daemon's callback (null: calls fail with -1).
void ea_setcallback(ea_callback_fn fn);

// The engine's entry: does the work of request cmd, then always runs its
// periodic tick.  outcmd is not used.  Returns 0, or -1 when the work or the
// tick failed.
int Event_Action(int cmd, UPS_EIN_DATA *in, int *outcmd, UPS_EOUT_DATA *out);

// The daemon side, called by the engine from inside Event_Action: cmd is a
// single callback kind (one bit); msg, arg1 and arg2 are used as the kind
// needs.  Returns 0, or a negative value on failure (-1 for an unknown kind).
int Event_CallBack(int cmd, char *msg, unsigned arg1, unsigned arg2);

#endif
