#include "agent/agent_log.h"
#include "agent/sysroot.h"

#include "testutil.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
class DebugLog : public testing::Test
{
  protected:
    testutil::Sysroot root_;
    std::string path() const { return sysroot_path(SP_DEBUGLOG); }
};
} // namespace

TEST_F(DebugLog, CreatedPrivateAndAppended)
{
    ASSERT_FALSE(testutil::file_exists(path()));
    printf0("first\n");
    struct stat sb;
    ASSERT_EQ(stat(path().c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0600u);
    if (geteuid() == 0) {
        EXPECT_EQ(sb.st_uid, 0u);
        EXPECT_EQ(sb.st_gid, 1u);
    }
    printf0("second");
    printf0(nullptr);
    printf0("\n");
    EXPECT_EQ(testutil::read_file(path()), "first\nsecond\n");
}

TEST_F(DebugLog, FramedMessageIsThreeLines)
{
    printf1("agent out, kill everyone\n");
    const std::string dashes = "-------------------------------\n";
    EXPECT_EQ(testutil::read_file(path()), dashes + "agent out, kill everyone\n" + dashes);
}

TEST_F(DebugLog, StartsOverPastHalfAMegabyte)
{
    // 600 KiB of real data: more than 1024 blocks of 512 bytes.
    testutil::write_file(path(), std::string(600 * 1024, 'x'));
    printf0("after the limit\n");
    EXPECT_EQ(testutil::read_file(path()), "after the limit\n");

    // Just under the limit nothing is lost.
    testutil::write_file(path(), std::string(400 * 1024, 'y'));
    printf0("z");
    std::string s = testutil::read_file(path());
    EXPECT_EQ(s.size(), 400u * 1024 + 1);
    EXPECT_EQ(s.back(), 'z');
}

TEST_F(DebugLog, LostMessageLeavesTheCallerUndisturbed)
{
    // A directory where the log should be: the message is dropped, errno
    // keeps what the caller had.
    ASSERT_EQ(mkdir(path().c_str(), 0700), 0);
    errno = ENOSPC;
    EXPECT_EQ(user_printf("lost\n", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    rmdir(path().c_str());
}

TEST_F(DebugLog, FifoInPlaceOfTheLogDropsTheMessageWithoutWaiting)
{
    // Opening a FIFO for writing waits for a reader; the message is tried in
    // a child so that a hang fails the test.
    ASSERT_EQ(mkfifo(path().c_str(), 0600), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(5);
        _exit(user_printf("lost\n", 1) == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
