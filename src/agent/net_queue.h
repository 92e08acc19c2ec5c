// What the daemon has to say to its monitors, waiting until their sockets
// take it.  A send never waits: what a socket does not take at once is
// queued for its connection and sent from the main loop when the socket is
// writable, so a monitor that reads slowly (or not at all) holds up no one
// but itself.  Each queue is bounded; a connection whose queue would pass
// the bound has stopped reading and is given up by the caller.
#ifndef VOLTMIRA_AGENT_NET_QUEUE_H
#define VOLTMIRA_AGENT_NET_QUEUE_H

#include <cstddef>

// Queues at once, one per connection: the monitor table's size, twice (a
// connection given up keeps its slot until the loop has closed it).
inline constexpr int NETQ_SLOTS = 128;

// The default bound: the largest reply the daemon builds (4 MiB) and room
// for the messages that may come behind it.
inline constexpr size_t NETQ_DEFAULT_MAX = (4u << 20) + (64u << 10);

// Sends n bytes of buf on the connection fd behind what is queued for it;
// what the socket does not take now is queued.  0, or -1 when the connection
// is broken, its queue would pass the bound or no queue is free (whatever
// was queued for fd is dropped then).
int netq_send(int fd, const char *buf, size_t n);

// Sends what is queued for fd as far as the socket takes it now.  0, or -1
// when the connection is broken (its queue is dropped).
int netq_flush(int fd);

// Bytes queued for fd (0 when none).
size_t netq_pending(int fd);

// Drops what is queued for fd (its connection is closed or given up).
void netq_forget(int fd);

struct netq_state {
    size_t max; // bound of one queue, in bytes
};

extern netq_state netq_st;

// Drops every queue and puts the bound back to its default.
void netq_init(void);

#endif
