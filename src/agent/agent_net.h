// The daemon's side of the network: reading one packet from a monitor's
// connection, sending a reply where the request came from, sending to every
// connected monitor, broadcasting over the interfaces, answering the
// monitors' inquiry, telling monitors and agents that this agent goes down,
// and leaving the program.  Everything works on the daemon's packet buffer.
#ifndef VOLTMIRA_AGENT_AGENT_NET_H
#define VOLTMIRA_AGENT_AGENT_NET_H

#include "agent/agent.h"
#include "agent/net.h"

#include <netinet/in.h>

// 0 when a packet read from a connection may be served: Prototype 0 or 1 and
// a kind a monitor sends over TCP.  Else -1.
int net_checkisvalidpacket(const UPS_PACKET_HEAD *php);

// Reads what has arrived of the next packet on the connection of cncp,
// without waiting: a packet that is not complete yet is kept for the next
// call.  A complete packet goes into the buffer, naming cncp as its origin
// and as the current client agnet.cnc.  Returns -1 when the connection is
// finished or broken (end of file, an error, a Length below 8 or above
// DAEMON_MAXREQUEST, a header that came in pieces without Prototype 1); 0
// when nothing is to be served yet, or for a packet that is not served (its
// data is skipped); 1 for a keep-alive byte; otherwise Length + 28, also
// stored in *len.
int net_readpacketfromtcpsocket(NETCLI *cncp, int *len);

// Forgets the part of a packet and the output kept for the connection fd
// (it was closed).
void net_forget(int fd);

// Seconds a connection may hold an incomplete packet.
inline constexpr double NET_PARTIAL_MAX_S = 30;

// 1 when the connection fd has held an incomplete packet for
// NET_PARTIAL_MAX_S or longer (the caller closes it), else 0.
int net_stalled(int fd);

// Sends the packet in the buffer to its UPS_CLIADDR: by the UDP socket only
// the kinds that travel as datagrams (240, 242, 18, 194, 198), to the
// requester (240, 242 and 18 over every interface's broadcast address when
// that fails), other kinds nowhere (0); kind 79 to every connected monitor;
// anything else down the connection, through its output queue (a
// connection that is broken or whose queue passes its bound is given up).
// Never waits.  0 or -1.
int net_sendpacketout(AGENT *ap);

// Sends the packet in the buffer to every connected monitor, through their
// output queues.  -1 when a connection was given up on the way, else 0.
int net_broadcastmsg2monitor(AGENT *ap);

// The same for the monitors whose language takes a message of language lang.
int broadcastmsg2monitor(AGENT *ap, int lang);

// A message packet (kind 79) in the buffer goes to the monitors of language
// lang; any other kind: nothing, 0.
int sendpacketout_msg(AGENT *ap, int lang);

// Sends len bytes to the broadcast address of every broadcast-capable
// interface, at the port of *addrp (whose address is overwritten).  -1 when
// the interface list cannot be had, else 0.
int net_sendbrdmsgovereachinterface(int fd, const void *bufp, int len, struct sockaddr_in *addrp);

// Writes a packet header into the buffer: Version 1.10, Prototype the low
// byte of the UPS protocol, kind and length.
void net_packethead(AGENT *ap, uint8_t kind, uint32_t length);

// What net_agentanswer puts in the model and the group.
enum {
    NET_ANS_NOMODEL = 0,  // no model, the group
    NET_ANS_MODEL = 1,    // the upper-cased model (empty when "UNKNOWN"), the group
    NET_ANS_ANNOUNCE = 2, // the model as read when its upper-cased form begins with
                          // 'Q' and is not "UNKNOWN", else ten spaces; no group
                          // from an agent of type 2
};

// Fills *a with this agent's record for monitors: cmd, the agent and group
// names converted with conversion kind kind (2: unconverted), the model as
// form (NET_ANS_*) says, the UPS states with CommStatus comm, the agent type
// and bIgnore.
void net_agentanswer(AGENT *ap, UPS_ANSAGENT *a, int32_t cmd, int kind, int form, int32_t comm);

// Fills *a with this protector's record: cmd, NT nt, its agent and the node
// name (cut at its first dot when cut is 1), at most 15 characters.  0, or
// -1 when the node name cannot be had.
int net_protanswer(AGENT *ap, UPS_ANSPROT *a, int32_t cmd, int32_t nt, int cut);

// Addresses the buffer to 255.255.255.255 at port by the UDP socket.
void net_addressbroadcast(AGENT *ap, uint16_t port);

// Puts the record of size bytes behind a header of kind into the buffer
// (already addressed) and sends it with net_sendpacketout.  0 or -1.
int net_sendrecord(AGENT *ap, uint8_t kind, const void *rec, size_t size);

// Answers the inquiry (kind 241) in the buffer.  0 when answered or when
// this agent answers no inquiry; -1 for a bad request or a failed send.
int net_answermonitorinq(AGENT *ap);

// Tells the monitors (broadcast to port 4113) that this agent goes down.
int net_broadcastdown2monitor(AGENT *ap);

// Tells the other agents (broadcast to port 4114) to shut down.
int net_broadcastdown2agent(AGENT *ap);

// Three times both of the above (the agents only from types above 2).
int net_broadcastdown(AGENT *ap);

// Tells the monitors, lets the engine log the stop, removes the shared
// segment and exits with errno as the status; entered again on the way out,
// only removes the segment and exits.  Does not return.
[[noreturn]] void net_netexit(AGENT *ap);

// Conversion kind of the texts in a reply: 2 when the request's Version & 5
// is 5, else 1.
int net_convkind(int16_t version);

// Copies the text of src (at most srcsize bytes; need not be terminated)
// converted for the network with conversion kind kind into dst, cut at a
// character boundary to dstsize - 1 bytes, terminated and padded with NULs.
// Returns dst.
char *net_textout(char *dst, size_t dstsize, const char *src, size_t srcsize, int kind);

// The same from the network's code into the agent's.
char *net_textin(char *dst, size_t dstsize, const char *src, size_t srcsize, int kind);

struct net_state {
    bool leaving; // net_netexit has been entered
};

extern net_state net_st;

// Not leaving, and no packet or output kept for any connection.
void net_stateinit(void);

#endif
