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

// Forgets the part of a packet kept for the connection fd (it was closed).
void net_forget(int fd);

// Sends the packet in the buffer to its UPS_CLIADDR: a datagram to the
// requester when the socket is the UDP socket (for kinds 240, 242 and 18
// over every interface's broadcast address when that fails), kind 79 to
// every connected monitor, anything else down the connection (which is
// given up when it does not take it).  0 or -1.
int net_sendpacketout(AGENT *ap);

// Sends the packet in the buffer to every connected monitor that can take
// it at once (those that cannot are skipped for this packet).  -1 when a
// send was short (that connection is given up), else 0.
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

// Answers the inquiry (kind 241) in the buffer.  0 when answered or when
// this agent answers no inquiry; -1 for a bad request or a failed send.
int net_answermonitorinq(AGENT *ap);

// Tells the monitors (broadcast to port 4113) that this agent goes down.
int net_broadcastdown2monitor(AGENT *ap);

// Tells the other agents (broadcast to port 4114) to shut down.
int net_broadcastdown2agent(AGENT *ap);

// Three times both of the above (the agents only from types above 2).
int net_broadcastdown(AGENT *ap);

// Reports the agent's stop to the engine; its result.
int daemon_logagentstop(void);

// Tells the monitors, lets the engine log the stop, removes the shared
// segment and exits with errno as the status.  Does not return.
[[noreturn]] void net_netexit(AGENT *ap);

// Conversion kind of the texts in a reply: 2 when the request's Version & 5
// is 5, else 1.
int net_convkind(int16_t version);

// Copies the text of src (at most srcsize bytes; need not be terminated)
// converted for the network with conversion kind kind into dst, cut to
// dstsize - 1 bytes and terminated.  Returns dst.
char *net_textout(char *dst, size_t dstsize, const char *src, size_t srcsize, int kind);

struct net_state {
    // A connection whose socket takes nothing of a reply for this long (ms)
    // is given up: shut down, and removed by the loop's next read.
    int sendwait_ms;
};

extern net_state net_st;

// Defaults, and no packet kept for any connection.
void net_stateinit(void);

#endif
