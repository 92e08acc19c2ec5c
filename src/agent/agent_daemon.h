// The daemon process: its loop around the network, the UPS channel process
// and the event engine; the one packet buffer every request and reply goes
// through; the table of connected monitors; the command words to the UPS
// channel process; and the dispatch of monitor requests.
#ifndef VOLTMIRA_AGENT_AGENT_DAEMON_H
#define VOLTMIRA_AGENT_AGENT_DAEMON_H

#include "agent/agent.h"
#include "agent/net.h"
#include "ea/daemon2event_api.h"

#include <pwd.h>
#include <shadow.h>
#include <sys/socket.h>

// ---------------------------------------------------------------------------
// Limits

inline constexpr int DAEMON_MAXCLIENTS = 64;

// Room for the packet at the start: the largest reply the daemon builds in
// normal operation (event settings with every user) fits.
inline constexpr int DAEMON_INITBUF = 0x8000;

// The largest packet a monitor may send.  The largest request of the
// protocol, event settings with all 32 users, is 30732 bytes; anything
// longer is a broken or hostile stream and is never read into the buffer.
inline constexpr int DAEMON_MAXREQUEST = DAEMON_INITBUF;

// The buffer never grows beyond this, whatever a reply asks for (the longest
// log reply, 32767 records of 28 bytes, fits).
inline constexpr int DAEMON_MAXBUF = 4 << 20;

// Connections at once from one source address: a quarter of the table.
inline constexpr int DAEMON_MAXPERADDR = 16;

// The longest wait of one pass.  Each pass ends with a look at the UPS
// state, so this bounds how long a change the UPS process recorded waits
// for its events and messages.
inline constexpr int DAEMON_PASS_MS = 250;

// How long a stop asked for by SIGTERM during the agent's own shutdown waits
// for the engine to tell the UPS: the pipe's 3 s and the UPS's reply, with
// margin, well inside the service manager's stop time-out.
inline constexpr double DAEMON_FINISH_S = 40;

// Seconds the manager's lock word may be seen held before the daemon takes
// its holder for dead and clears it.
inline constexpr double DAEMON_STALELOCK_S = 5;

// Failed password requests after which a connection is closed.
inline constexpr int DAEMON_MAXPWFAIL = 5;

// Rights answered by the password request besides AUTH_ADMIN and AUTH_USER.
inline constexpr int32_t AUTH_REJECTED = 4;

// Source addresses whose failed password requests are remembered.
inline constexpr int DAEMON_PWADDRS = 256;

// One source address's record of failed password requests (daemon_auth.cpp).
struct daemon_pwbudget {
    uint32_t addr; // network order
    int used;      // 0: a free entry
    int fails;     // failures since the last refusal period began
    int level;     // refusal periods so far: each lasts twice the one before
    double until;  // monotonic second the refusal period ends
    double last;   // monotonic second of the last failure
};

// ---------------------------------------------------------------------------
// The packet buffer: a UPS_CLIADDR naming the packet's origin or
// destination, then the packet (header and data).  Grows, never shrinks.

extern char *Daemon_Buffer;
extern int Daemon_NetBufLen; // room for the packet
extern int Daemon_BufferLen; // Daemon_NetBufLen + sizeof(UPS_CLIADDR)

// The parts of the buffer; null while there is no buffer.
UPS_CLIADDR *daemon_cliaddr(void);
UPS_PACKET_HEAD *daemon_head(void);
char *daemon_data(void);

// Makes room for a packet of len bytes.  Returns 0 when there is; -1 when
// len is negative or beyond DAEMON_MAXBUF, or when memory for more than
// 32767 bytes cannot be had (the old buffer and capacity stay).  Memory for
// less cannot be missing in a working daemon: that ends it (net_netexit).
// The contents so far are kept.
int daemon_reallocbuf(int len);

// Addresses the buffer to the current client agnet.cnc and writes a reply
// header: Version 1.10, Prototype the low byte of the UPS protocol, kind and
// length.  The buffer must hold length bytes.
void daemon_replyhead(AGENT *ap, uint8_t kind, uint32_t length);

// Names the client c as the origin of the packet in the buffer and as the
// current client agnet.cnc: its socket, address, rights, system and language.
void daemon_setclient(AGENT *ap, const NETCLI *c);

// ---------------------------------------------------------------------------
// Connected monitors.  The used slots are always a prefix of the table,
// chained from agnet.clilist through next; a free slot has sockfd -1.

extern NETCLI net_client_p[DAEMON_MAXCLIENTS];

// Marks every slot free and the chain empty.
void daemon_clearclients(NETINFO *anp);

// Takes a new connection into the first free slot with no rights, language
// or system kind yet.  Returns the slot, or -1 when the table is full (the
// caller closes the connection).
int daemon_addclient(NETINFO *anp, int sockfd, const struct sockaddr_in *addr);

// Removes the client with that socket (not closing it); the clients after
// it move down one slot, keeping their order.  Returns 0.
int free_client_sockfd(NETINFO *anp, int sockfd);

// The slot of the client with that socket, or -1.
int daemon_findclient(int sockfd);

// ---------------------------------------------------------------------------
// The UPS channel process

// Sends one command word on chna2u and, for UPSCMD_SHUTDOWN, UPSCMD_BATTDATE
// and UPSCMD_REFRESH (agent_ups.h), waits for its reply word, at most the
// longest poll of the UPS on a failing line and a margin.  Returns 0 when
// sent (and answered with success), -1 when the pipe is not writable in
// time, no reply came in time (one that comes later is logged by the loop)
// or the reply is not a success for this command.  With no UPS port (ComId
// top bit set) it sends nothing and returns 0.  A short write or read on the
// pipes ends the daemon (net_netexit).
int daemon_sendcmdtoups(AGENT *ap, int cmd);

// ---------------------------------------------------------------------------
// The loop

// Initialisation, then passes of one second each for ever; leaves the
// process through net_netexit, or exit when the engine cannot start.
void daemon_doagent(AGENT *ap);

// Initialisation of the loop: buffer, tables and the engine's request 1.
// Returns the engine's result (negative: the daemon cannot run).
int daemon_initagent(AGENT *ap);

// One pass: waits at most timeout_ms for a ready descriptor, serves what is
// ready, looks at the manager's request word and calls the engine's periodic
// request.  Returns 0 to go on, or -1 when the daemon must leave (the reason
// is logged; the caller calls net_netexit).
int daemon_pass(AGENT *ap, int timeout_ms);

// ---------------------------------------------------------------------------
// Requests (daemon_handlers.cpp)

// Serves the request in the buffer.  auth is the rights of the connection it
// came on (AUTH_NONE for a datagram), istcp 1 for a connection, 0 for a
// datagram.  Returns the handler's result, or -1 for an unknown kind, a
// refused request or a kind not served yet.
int daemon_procnetmsg(AGENT *ap, int auth, int istcp);

int daemon_ansgetupsinfo(AGENT *ap);      // 16
int daemon_recvsendosinfo(AGENT *ap);     // 17
int daemon_password(AGENT *ap);           // 23
int daemon_answernullcloseapp(AGENT *ap); // 24, sub-command 6

// Whether the request in the buffer comes from a version 1.10 monitor of
// another kind of system, or from a version 1.00 or 1.10 one: 1 or 0.
int beMonitorWin110(void);
int beMonitorWin110less(void);

// Turns a..z of s into A..Z in place; returns s.
char *UpStrings(char *s);

// ---------------------------------------------------------------------------
// Module state

typedef int (*daemon_engine_fn)(int cmd, UPS_EIN_DATA *in, int *outcmd, UPS_EOUT_DATA *out);

struct daemon_state {
    // The seams: the engine's entry and the user database lookups.  Tests
    // put their own here instead of loading an engine or touching the
    // host's user files.
    daemon_engine_fn engine;
    struct passwd *(*getpwnam)(const char *name);
    struct spwd *(*getspnam)(const char *name);

    // The self-pipe on which sigchild reports the death of the UPS channel
    // process; the read end is watched by the loop.  -1 when not open.
    int sigfd[2];

    // The seam for taking a connection (accept4); tests make it fail.
    int (*accept)(int fd, struct sockaddr *addr, socklen_t *len, int flags);

    // Bounded waits on the pipes to the UPS channel process, in ms.
    int cmdwait_ms;   // until the command pipe takes a word
    int replywait_ms; // until an awaited reply word arrives
    int latecmd;      // the command whose reply was given up, 0 when none
    int stopasked;    // a stop was asked for (manager or SIGTERM): no failure
    // A SIGTERM that came while the agent's own shutdown ran: the loop goes
    // on until the engine has told the UPS (and the process has become the
    // system's shutdown), or until this monotonic second.  0 when not.
    double finish_until;

    double listen_resume; // listeners are not watched before (sysclock_mono)
    double locked_since;  // when the lock word was first seen held; < 0 not held

    int pwfail[DAEMON_MAXCLIENTS]; // failed password requests, by slot
    int dropfd;                    // connection to close after this packet, or -1

    // Failed password requests by source address; the second that
    // cryptruns counts the password hashes of (daemon_auth.cpp).
    daemon_pwbudget pwbudget[DAEMON_PWADDRS];
    double cryptwindow;
    int cryptruns;

    unsigned long refused;  // requests refused for want of rights
    unsigned long unserved; // requests of a kind not served yet

    UPS_USERSINFO users; // the engine's view of agent.us
    AGENTEVENT agentevent;
    // The records a request hands the engine: they live until the next one.
    AGENTCMD command;
    UPS_AGENTDOWNINFO downinfo;
};

extern daemon_state daemon_st;

// Puts the module state back to its defaults: the real engine and user
// database, no self-pipe, the usual waits, nothing counted.
void daemon_stateinit(void);

#endif
