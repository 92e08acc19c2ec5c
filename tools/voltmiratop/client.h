// The monitor's sockets: finding agents with the inquiry, the TCP
// connection to one agent, and the announcements agents broadcast.  Every
// failure comes back as a sentence a user can act on.
#ifndef VOLTMIRA_TOOLS_VOLTMIRATOP_CLIENT_H
#define VOLTMIRA_TOOLS_VOLTMIRATOP_CLIENT_H

#include <netinet/in.h>
#include <string>
#include <vector>

#include "protocol.h"

namespace vtop
{

struct Endpoint {
    struct sockaddr_in addr {
    };
    std::string host; // dotted address
    int port = 0;
    std::string text() const { return host + ":" + std::to_string(port); }
};

// "HOST" or "HOST:PORT" (an IPv4 address or a name) with default_port when
// none is given.
bool resolve(const std::string &where, int default_port, Endpoint &out, std::string &err);

// Seconds on a monotonic clock.
double now_s();

// Asks for agents: the inquiry goes to target (port 4114) when it is given,
// else to the limited broadcast and to the broadcast address of every
// interface.  Answers come to the sending port; announcements to port 4113
// are taken as well while waiting.  Waits up to timeout seconds, or until
// the first answer from a given target, or one second after the first
// answer to a broadcast.  Each agent appears once.  False only when the
// inquiry could not be sent at all.
bool discover(const Endpoint *target, double timeout, const std::string &monitor,
              std::vector<AgentAnswer> &found, std::string &err);

// A UDP socket on port 4113 for the agents' announcements; -1 (with err)
// when the port cannot be had, which costs only the announcements.
int open_announcements(std::string &err);
// One datagram from that socket decoded, with the sender's address.
bool read_announcement(int fd, AgentAnswer &a);

// The TCP connection to one agent.  Connecting does not block: start(),
// then wait for the descriptor to be writable and call finish().
class Connection
{
  public:
    ~Connection() { close(); }
    // False (with err) when the attempt failed at once.
    bool start(const Endpoint &to, std::string &err);
    bool connecting() const { return fd_ >= 0 && connecting_; }
    bool connected() const { return fd_ >= 0 && !connecting_; }
    // After the descriptor became writable: false (with err) when the
    // connection was refused or failed.
    bool finish(std::string &err);
    // Blocking connect with a time limit, for one-shot use.
    bool open(const Endpoint &to, double timeout, std::string &err);
    bool send(const std::vector<uint8_t> &packet, std::string &err);
    // Reads what has arrived into the framer.  False (with err) when the
    // agent closed the connection or it broke.
    bool receive(std::string &err);
    // The next whole packet: 1, 0 (none yet) or -1 (stream broken; err).
    int next(Packet &p, std::string &err);
    void close();
    int fd() const { return fd_; }
    const Endpoint &peer() const { return peer_; }

  private:
    int fd_ = -1;
    bool connecting_ = false;
    Endpoint peer_;
    Framer framer_;
    size_t packets_ = 0; // taken on this connection
};

} // namespace vtop

#endif
