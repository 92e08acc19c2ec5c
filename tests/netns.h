// Running part of a test inside network, IPC and UTS namespaces of its own,
// so that sockets, broadcasts and shared segments of the code under test
// never reach the machine's own.
#ifndef VOLTMIRA_TESTS_NETNS_H
#define VOLTMIRA_TESTS_NETNS_H

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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

} // namespace testutil

#endif
