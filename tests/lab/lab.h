// A lab of small virtual hosts for running the real agent end to end.
//
// The agent broadcasts to 255.255.255.255, listens on every interface
// address, creates a System V segment under a fixed key, runs shell
// commands and finally the system's shutdown.  None of that may reach the
// machine the tests run on, so every agent runs in a host of its own:
//
//   - a network namespace (made with "ip netns add", named
//     vmlab-<test pid>-<serial>-<host>), joined to the other hosts of the
//     same LabNet by a veth pair to a bridge in a "switch" namespace, with an
//     address 10.77.0.x/24 and a default route, so that limited broadcasts
//     go out on the lab wire and nowhere else;
//   - an IPC namespace (its shared segment is private), a UTS namespace (its
//     own node name, which becomes the agent's name) and a mount namespace
//     with private propagation in which /etc/passwd and /etc/shadow are
//     replaced by bind mounts of files the lab writes (the password check
//     sees only the lab's users; the machine's files are never touched);
//   - a staged system root (VOLTMIRA_SYSROOT) with the installation
//     directory, the segment's key file, a console that is a plain file, the
//     serial ports, and recording stand-ins for shutdown, wall, write, mesg,
//     mail and who.
//
// The test UPS (tools/upssim) runs in the test's own namespaces: a
// pseudo-terminal does not care about network namespaces, and the agent
// finds it through the link at <root>/dev/ttyS<n>.
//
// Everything is torn down by the destructors, also when a test fails: agent
// processes are killed by process id and reaped, namespaces deleted by name.
// A LabNet also removes what a crashed earlier run left behind: namespaces of
// this naming scheme whose owning test process no longer exists.
//
//   lab::LabNet net;                        // throws lab::Unavailable
//   lab::LabHost &a = net.add_host("a");    // 10.77.0.11
//   lab::LabHost &m = net.add_host("m");    // a monitor's host
//   a.attach_ups();                         // test UPS on <root>/dev/ttyS0
//   a.start_agent();
//   a.wait_agent_up(5000);
//   lab::Fd c = lab::tcp_connect(m, a.addr(), NET_PORT_AGENT_TCP);
//   lab::send_all(c, lab::packet(PK_GETUPSINFO));
//   std::string answer = lab::read_packet(c, 2000);
#ifndef VOLTMIRA_TESTS_LAB_LAB_H
#define VOLTMIRA_TESTS_LAB_LAB_H

#include "../testutil.h"
#include "../upssim_harness.h"

#include "agent/agent.h"
#include "agent/net.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

namespace lab
{

// The machine cannot make the lab (not root, no iproute2, namespaces
// refused).  Tests skip on it; anything else that goes wrong is an error.
class Unavailable : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

// In a test's body: runs stmt, the making of the test's lab, and skips the
// test, saying why, when the machine cannot make one.
#define LAB_OR_SKIP(stmt)                                                                          \
    try {                                                                                          \
        stmt;                                                                                      \
    } catch (const lab::Unavailable &e) {                                                          \
        GTEST_SKIP() << "no lab here: " << e.what();                                               \
    }

// An owned descriptor, closed with the object.
class Fd
{
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    Fd &operator=(Fd &&o) noexcept
    {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    operator int() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// A login the lab host's private user database knows.  An empty password
// leaves the shadow entry's hash empty.
struct User {
    std::string name;
    uid_t uid = 0;
    std::string password;
};

struct HostOptions {
    bool wire = true;         // joined to the lab's bridge
    std::string config;       // text of <root>/usr/lib/voltmira/config
    std::vector<User> users;  // besides root
    std::string config_owner; // a user of users: owns the configuration file
};

// What a command run inside a host printed and how it ended.
struct CommandResult {
    int status = -1; // exit status, or 128 + signal
    std::string output;
};

class LabNet;

class LabHost
{
  public:
    ~LabHost();
    LabHost(const LabHost &) = delete;
    LabHost &operator=(const LabHost &) = delete;

    const std::string &name() const { return name_; }
    const std::string &netns() const { return netns_; }
    const std::string &hostname() const { return hostname_; }
    // The wire address (dotted), "" for a host without a wire.
    const std::string &addr() const { return addr_; }
    // The staged system root, and a fixed path p inside it.
    const std::string &root() const { return root_; }
    std::string at(const std::string &p) const { return root_ + p; }

    // --- the test UPS ---------------------------------------------------
    // Starts the test UPS linked at <root>/dev/ttyS<port> (opt.link is
    // filled in).  One per host.
    testutil::UpsSim &attach_ups(testutil::UpsSim::Options opt = {}, int port = 0);
    testutil::UpsSim *ups() { return ups_.get(); }
    void detach_ups() { ups_.reset(); }

    // --- the agent ------------------------------------------------------
    // Runs the built agent inside the host.  Returns once the started
    // process has detached (its first process ended), with its exit status;
    // the agent itself goes on in the background.
    int start_agent();

    // How else an agent may be started.
    struct AgentStart {
        std::string program;          // "": the built agent; else an absolute path
        std::vector<std::string> env; // NAME=VALUE added to the agent's environment
        // As a service manager starts it: the agent's parent is process 1
        // (the init of a PID namespace of its own, which ends with the
        // agent), so it stays in the foreground.  start_agent then returns
        // 0 at once; wait_foreground tells how the agent ended.
        bool under_init = false;
    };
    int start_agent(const AgentStart &how);

    // For an agent started under_init: waits until it has ended and gives
    // its exit status (128 + signal when a signal ended it), or -1 on
    // time-out (the agent goes on).
    int wait_foreground(int timeout_ms);
    // CLOCK_MONOTONIC (ns) just before the last start.
    int64_t started_ns() const { return started_ns_; }
    // Waits until both agent processes exist and the daemon has recorded
    // the UPS channel process in the segment.  false on time-out.
    bool wait_agent_up(int timeout_ms);
    // Agent processes of this host: the program's image and this host's
    // network namespace, without a program the agent is about to start.
    // Sorted by process id.
    std::vector<pid_t> agent_pids() const;
    // The daemon process (the parent of the pair) and the UPS channel
    // process; -1 when not found.
    pid_t daemon_pid() const;
    pid_t ups_pid() const;
    // Waits until no agent process of this host is left (reaping them).
    bool wait_agent_gone(int timeout_ms);
    // Waits until process pid has ended (reaping it when it is ours).
    bool wait_pid_gone(pid_t pid, int timeout_ms);
    // SIGKILL to every agent process of this host, by id, and reap.
    void kill_agent();

    // --- the shared segment --------------------------------------------
    key_t key() const;
    // The segment id as the host sees it, or -1 when there is none.
    int segment_id();
    // The segment mapped into the test (attached from inside the host's IPC
    // namespace; re-attached when the id changed).  Null when there is none.
    AGINFO *aginfo();
    void detach_segment();
    // The agent manager's stop request: AGINFO.isagentchg = -1 written
    // while holding the lock word under the lock file.  false when there is
    // no segment or the lock could not be had.
    bool request_stop();
    // The same protocol for any request word (1: settings changed).
    bool write_request(int32_t word);

    // --- running things inside the host --------------------------------
    // A socket of the host's network namespace, made in this process.
    int socket(int domain, int type, int protocol = 0);
    // Runs fn in a child process that has entered all of the host's
    // namespaces, and returns what it returned.  On time-out the child is
    // killed and "" comes back.
    std::string run(const std::function<std::string()> &fn, int timeout_ms = 10000);
    // Runs a program (argv[0] a path) inside the host, with its output.
    CommandResult run_command(const std::vector<std::string> &argv, int timeout_ms = 10000);
    // A file of /proc/<self>/net ("tcp", "udp", ...) as the host sees it.
    std::string proc_net(const std::string &file);
    // "addr:port" of every listening TCP socket, and of every bound UDP
    // socket, of the host.
    std::vector<std::string> tcp_listeners();
    std::vector<std::string> udp_bound();

    // --- what the agent left -------------------------------------------
    std::string debug_log() const;   // <root>/.erra
    std::string console() const;     // <root>/dev/console
    std::string fake_record() const; // calls of the recording stand-ins
    // The event ids of the agent's event log, in order; none without a log.
    std::vector<int> event_ids() const;
    // Lines of a sanitizer build's reports in the console and the start-up
    // output: the agent's own processes report nowhere else.
    std::string sanitizer_reports() const;
    void write_config(const std::string &text);

  private:
    friend class LabNet;
    LabHost(LabNet &net, const std::string &name, int index);
    void setup(const HostOptions &opt);
    void teardown();
    void stage_root(const HostOptions &opt);
    void make_namespaces(const HostOptions &opt);
    void remember_agent_pids();
    // The processes of this host running the agent's image, as they are now.
    std::vector<pid_t> scan_agent_pids() const;
    int attach_fresh();

    LabNet &net_;
    std::string name_;
    int index_;
    std::string netns_;
    std::string hostname_;
    std::string addr_;
    std::string root_;
    Fd netfd_, ipcfd_, utsfd_, mntfd_;
    ino_t net_ino_ = 0;
    std::unique_ptr<testutil::UpsSim> ups_;
    std::vector<pid_t> known_pids_; // agent processes seen, for the teardown
    std::string image_;             // the program the agent processes run
    pid_t launcher_ = -1;           // the child holding an under_init agent
    int64_t started_ns_ = 0;
    AGINFO *seg_ = nullptr;
    int seg_id_ = -1;
};

class LabNet
{
  public:
    // Makes the switch (a namespace with a bridge).  Throws Unavailable when
    // the machine cannot.
    LabNet();
    ~LabNet();
    LabNet(const LabNet &) = delete;
    LabNet &operator=(const LabNet &) = delete;

    // A new host; the n-th gets 10.77.0.(10 + n), n counting from 1.
    LabHost &add_host(const std::string &name, const HostOptions &opt = {});
    LabHost &host(const std::string &name);
    // Where the hosts' roots live; the test process's VOLTMIRA_SYSROOT
    // while the LabNet exists (the test UPS insists on a staged root).
    const std::string &dir() const { return dir_->path(); }
    const std::string &prefix() const { return prefix_; }

    // The lab's broadcast address.
    static const char *broadcast() { return "10.77.0.255"; }

  private:
    friend class LabHost;
    void cleanup();

    std::string prefix_; // vmlab-<pid>-<serial>-
    std::string switch_ns_;
    std::unique_ptr<testutil::TempDir> dir_;
    std::vector<std::unique_ptr<LabHost>> hosts_;
    std::string saved_sysroot_;
    bool had_sysroot_ = false;
    int saved_subreaper_ = 0;
    bool switch_made_ = false;
};

// Removes namespaces that an earlier, crashed run of this fixture left
// (named vmlab-<pid>-..., where no process <pid> exists any more), after
// killing by id the processes still inside them.  Returns how many.
int remove_leftovers();

// --- packets ---------------------------------------------------------------

// A packet: header (Length = 8 + data size) and data.
std::string packet(uint8_t kind, const std::string &data = "", int16_t version = NET_VERSION_110,
                   int8_t prototype = 0);
// The bytes of a record.
template <class T> std::string bytes_of(const T &v)
{
    return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}
// The record at offset off of s (zero-filled past the end).
template <class T> T record_at(const std::string &s, size_t off = 0)
{
    T v{};
    if (off < s.size())
        s.copy(reinterpret_cast<char *>(&v), sizeof v < s.size() - off ? sizeof v : s.size() - off,
               off);
    return v;
}
// The header of a packet (zero-filled when shorter).
inline UPS_PACKET_HEAD head_of(const std::string &p)
{
    return record_at<UPS_PACKET_HEAD>(p);
}

// --- sockets (all created inside a host) -------------------------------------

// A TCP connection from host `from` to addr:port; invalid Fd on failure.
Fd tcp_connect(LabHost &from, const std::string &addr, uint16_t port, int timeout_ms = 3000);
// A UDP socket of host h bound to port (0: any), with SO_BROADCAST and
// SO_REUSEADDR set.
Fd udp_open(LabHost &h, uint16_t port = 0);
bool send_all(int fd, const std::string &bytes);
bool udp_send(int fd, const std::string &addr, uint16_t port, const std::string &bytes);

// One packet from a stream: its 8-byte header, then Length - 8 more bytes.
// "" on time-out; *closed tells whether the peer closed (or reset) first.
std::string read_packet(int fd, int timeout_ms, bool *closed = nullptr);
// The next packet that is not a message (kind 79): the agent sends its
// messages to every monitor whenever the UPS's state changes, between the
// answers.  Otherwise as read_packet, within the one time limit.
std::string read_answer(int fd, int timeout_ms, bool *closed = nullptr);
// A request on a connection and the one answer to it; "" when the request
// could not be sent or no answer came in time.
inline std::string ask(int fd, const std::string &request, int timeout_ms = 3000)
{
    return send_all(fd, request) ? read_answer(fd, timeout_ms) : std::string();
}
// Whether the peer closes the stream within the time (anything it sends
// first is read and dropped).
bool wait_closed(int fd, int timeout_ms);

struct Datagram {
    std::string bytes;
    std::string from; // dotted address of the sender
    uint16_t port = 0;
    int64_t ns = 0; // CLOCK_MONOTONIC at arrival
};
std::optional<Datagram> recv_datagram(int fd, int timeout_ms);

// The dotted text of an IPv4 address in network order.
std::string dotted(uint32_t addr_be);

} // namespace lab

#endif
