// Running part of a test inside network, IPC and UTS namespaces of its own,
// so that sockets, broadcasts and shared segments of the code under test
// never reach the machine's own.
#ifndef VOLTMIRA_TESTS_NETNS_H
#define VOLTMIRA_TESTS_NETNS_H

#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace testutil
{

// Runs body in a child in namespaces of its own with the loopback interface
// up; the child's failures fail the test, and a machine without namespaces
// skips it.
template <typename F> void in_netns(F body)
{
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int s = -1;
        struct ifreq ifr = {};
        strcpy(ifr.ifr_name, "lo");
        if (unshare(CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS) != 0 ||
            (s = socket(AF_INET, SOCK_DGRAM, 0)) < 0 || ioctl(s, SIOCGIFFLAGS, &ifr) != 0)
            _exit(77);
        ifr.ifr_flags |= IFF_UP;
        if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0)
            _exit(77);
        close(s);
        body();
        fflush(nullptr);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no network namespace for the test";
    ASSERT_TRUE(WIFEXITED(status)) << "the namespace child died";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failures in the namespace child, above";
}

// A UDP socket that may broadcast, bound to addr at port (0: any); its
// port in *bound.  -1 when it cannot be bound.
inline int udp_socket(uint16_t port, uint16_t *bound = nullptr, in_addr_t addr = INADDR_LOOPBACK)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(addr);
    if (bind(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<struct sockaddr *>(&a), &len);
    if (bound != nullptr)
        *bound = ntohs(a.sin_port);
    return s;
}

// Every datagram waiting on s, in order.  Loopback delivery is complete
// when sendto returns, so nothing is waited for.
inline std::vector<std::string> datagrams(int s)
{
    std::vector<std::string> got;
    char buf[4096];
    ssize_t r;
    while ((r = recv(s, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
        got.emplace_back(buf, static_cast<size_t>(r));
    return got;
}

} // namespace testutil

#endif
