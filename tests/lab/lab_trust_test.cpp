// The running agent's trust boundaries, seen from a local user of its host:
// the shared record is root's alone, and a datagram from the host itself
// carries no rights.
#include "lab.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using lab::Fd;
using lab::LabHost;
using lab::LabNet;
using testutil::count_of;

constexpr uid_t nobody = 65534;

// A datagram socket of host h bound to its loopback address.
Fd loopback_socket(LabHost &h)
{
    Fd s(h.socket(AF_INET, SOCK_DGRAM));
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!s.valid() || bind(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0)
        return Fd();
    return s;
}

} // namespace

TEST(LabTrust, ALocalUserCanNeitherMapTheRecordNorControlByDatagram)
{
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &a = net->add_host("a");
    ASSERT_EQ(a.start_agent(), 0);
    ASSERT_TRUE(a.wait_agent_up(10000)) << a.debug_log();

    // Inside the host, as a user other than root.
    key_t key = a.key();
    std::string seen = a.run([key] {
        struct shmid_ds ds;
        int id = shmget(key, 0, 0);
        if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0)
            return std::string("no segment");
        std::string s = "mode " + std::to_string(ds.shm_perm.mode & 0777) + " creator " +
                        std::to_string(ds.shm_perm.cuid) + ";";
        pid_t pid = fork();
        if (pid == 0) {
            if (setgid(nobody) != 0 || setuid(nobody) != 0)
                _exit(2);
            bool rw = shmat(id, nullptr, 0) != reinterpret_cast<void *>(-1);
            bool ro = shmat(id, nullptr, SHM_RDONLY) != reinterpret_cast<void *>(-1);
            _exit(rw || ro ? 1 : 0);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        return s + (WIFEXITED(status) && WEXITSTATUS(status) == 0 ? " closed" : " open");
    });
    EXPECT_EQ(seen, "mode " + std::to_string(0600) + " creator 0; closed");

    // Datagrams from the host itself: only another agent's shutdown notice
    // and the protector's setting get past the rights rule (their handlers
    // then judge them); the event settings, the configuration and the UPS
    // commands are refused.
    Fd s = loopback_socket(a);
    ASSERT_TRUE(s.valid());
    const struct {
        uint8_t kind;
        size_t data;
        bool refused;
    } table[] = {
        {PK_EVENTSET, 13348, true},
        {PK_CONFIG, sizeof(UPS_PARAM), true},
        {PK_SELFTESTLOW, 0, true},
        {PK_SHUTDOWN, sizeof(UPS_AGENTDOWNINFO), false},
        {PK_PROTCFG, sizeof(PROTECTORCFG), false},
    };
    for (const auto &row : table)
        ASSERT_TRUE(lab::udp_send(s, "127.0.0.1", NET_PORT_AGENT_UDP,
                                  lab::packet(row.kind, std::string(row.data, '\0'))));
    // The datagrams are served in order: an inquiry answered comes after them.
    UPS_INQAGENT q{};
    q.cmd = eAdd;
    ASSERT_TRUE(lab::udp_send(s, "127.0.0.1", NET_PORT_AGENT_UDP,
                              lab::packet(PK_INQAGENT, lab::bytes_of(q))));
    std::optional<lab::Datagram> answer = lab::recv_datagram(s, 5000);
    ASSERT_TRUE(answer.has_value()) << "no answer to the inquiry";
    std::string log = a.debug_log();
    for (const auto &row : table)
        EXPECT_EQ(count_of(log, "kind " + std::to_string(row.kind) + " refused without rights"),
                  row.refused ? 1u : 0u)
            << int(row.kind) << "\n"
            << log;
    EXPECT_EQ(a.sanitizer_reports(), "");
}
