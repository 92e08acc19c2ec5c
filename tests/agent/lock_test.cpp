#include "agent/agent.h"
#include "agent/agent_utils.h"
#include "agent/sysroot.h"

#include "testutil.h"

#include <csignal>
#include <cstring>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

class Lock : public testing::Test
{
  protected:
    void SetUp() override
    {
        utils_lockinit();
        saved_aip_ = agent.aip;
    }
    void TearDown() override
    {
        agent.aip = saved_aip_;
        utils_lockinit();
    }
    testutil::Sysroot root_;
    AGINFOP saved_aip_ = nullptr;
};

double ctime_of(const char *path)
{
    struct stat sb;
    if (lstat(path, &sb) != 0)
        return -1;
    return static_cast<double>(sb.st_ctim.tv_sec) + static_cast<double>(sb.st_ctim.tv_nsec) / 1e9;
}

// A scripted clock for the stale-lock check: reads the lock's age as 1 s for
// the first few looks, then as 60 s.
struct ScriptedClock {
    static inline int calls;
    static inline double base;
    static double now()
    {
        calls++;
        return base + (calls <= 3 ? 1.0 : 60.0);
    }
};

} // namespace

TEST_F(Lock, TestAndSetReportsAFlagAlreadySet)
{
    AGINFO info;
    memset(&info, 0, sizeof info);
    agent.aip = &info;
    EXPECT_EQ(net_testandsetlock(), 0);
    EXPECT_EQ(info.locked, 1);
    EXPECT_EQ(net_testandsetlock(), -1);
    net_clearlock();
    EXPECT_EQ(info.locked, 0);
    EXPECT_EQ(net_testandsetlock(), 0);
    // The file lock is free after every call, and ".LCK" was used up by the
    // last taker.
    EXPECT_FALSE(testutil::file_exists(sysroot_path(SP_PIPELOCK)));

    // Without an attached record there is no flag to hold, and no crash.
    agent.aip = nullptr;
    EXPECT_EQ(net_testandsetlock(), 0);
    agent.aip = reinterpret_cast<AGINFOP>(-1);
    EXPECT_EQ(net_testandsetlock(), 0);
    net_clearlock();
}

TEST_F(Lock, ProcessesHammeringTheFlagLoseNoIncrement)
{
    struct Shared {
        AGINFO info;
        int counter;
    };
    void *mem =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    Shared *sh = static_cast<Shared *>(mem);
    memset(sh, 0, sizeof *sh);
    agent.aip = &sh->info;

    const int procs = 4, rounds = 250;
    pid_t pids[procs];
    for (int i = 0; i < procs; i++) {
        pids[i] = fork();
        ASSERT_GE(pids[i], 0);
        if (pids[i] == 0) {
            for (int done = 0; done < rounds;) {
                if (net_testandsetlock() != 0) {
                    sched_yield();
                    continue;
                }
                // Read, give the others a chance, write: two holders at once
                // would lose increments here.
                int v = sh->counter;
                sched_yield();
                sh->counter = v + 1;
                net_clearlock();
                done++;
            }
            _exit(0);
        }
    }
    for (pid_t p : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(p, &status, 0), p);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(sh->counter, procs * rounds);
    EXPECT_EQ(sh->info.locked, 0);
    munmap(mem, sizeof(Shared));
}

TEST_F(Lock, AFreshLockIsWaitedForAndAStaleOneBroken)
{
    // A lock left by someone else: ".pipelock" exists, linked just now.
    testutil::write_file(sysroot_path(SP_LCKFILE), "");
    ASSERT_EQ(link(sysroot_path(SP_LCKFILE), sysroot_path(SP_PIPELOCK)), 0);
    ASSERT_EQ(unlink(sysroot_path(SP_LCKFILE)), 0);
    ScriptedClock::calls = 0;
    ScriptedClock::base = ctime_of(sysroot_path(SP_PIPELOCK));
    utils_lock.now = ScriptedClock::now;

    utils_setatomlock();
    // It waited while the lock looked young and broke it only once old.
    EXPECT_EQ(ScriptedClock::calls, 4);
    EXPECT_EQ(utils_lock.broken, 1u);
    EXPECT_TRUE(testutil::file_exists(sysroot_path(SP_PIPELOCK)));
    EXPECT_FALSE(testutil::file_exists(sysroot_path(SP_LCKFILE)));
    releaseatomlock();
    EXPECT_FALSE(testutil::file_exists(sysroot_path(SP_PIPELOCK)));
    // Nothing of the breaking is left in the directory.
    EXPECT_FALSE(testutil::file_exists(sysroot_path(SP_LIBDIR) + std::string(".pipelock.stale.") +
                                       std::to_string(getpid())));
}

TEST_F(Lock, AHolderKilledWhileHoldingDoesNotBlockForEver)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        utils_setatomlock();
        raise(SIGKILL);
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_TRUE(testutil::file_exists(sysroot_path(SP_PIPELOCK)));

    // Real clock, short threshold: the taker recovers on its own.
    utils_lock.stale_after = 0.2;
    utils_setatomlock();
    EXPECT_EQ(utils_lock.broken, 1u);
    releaseatomlock();
}

namespace
{

double mono_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Runs body in a child as an unprivileged user; its exit status, or 128 +
// the signal.  The alarm turns an endless wait into a failure.
int as_other_user(const std::function<int()> &body)
{
    pid_t pid = fork();
    if (pid == 0) {
        alarm(30);
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            _exit(99);
        _exit(body());
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

} // namespace

TEST_F(Lock, TakersWithoutTheRightToLinkGiveUp)
{
    // A manager run by another user may neither make ".LCK" nor link it:
    // it gives up after a bounded time, and at once on the tries after that,
    // so a caller's loop of tries cannot multiply the wait.
    ASSERT_EQ(chmod(root_.root().c_str(), 0755), 0);
    for (bool lck_there : {false, true}) {
        SCOPED_TRACE(lck_there);
        if (lck_there)
            testutil::write_file(sysroot_path(SP_LCKFILE), "");
        int rc = as_other_user([] {
            utils_lock.giveup_after = 0.3;
            double t0 = mono_now();
            if (utils_setatomlock() != -1 || mono_now() - t0 < 0.3)
                return 1;
            double t1 = mono_now();
            for (int i = 0; i < 50; i++) {
                if (net_testandsetlock() != -1)
                    return 2;
            }
            return mono_now() - t1 < 0.25 ? 0 : 3;
        });
        EXPECT_EQ(rc, 0);
    }
    // Root, who can, takes the lock at once and starts afresh.
    EXPECT_EQ(utils_setatomlock(), 0);
    EXPECT_LT(utils_lock.failing_since, 0);
    releaseatomlock();
}

TEST_F(Lock, ConfigurationLockIsOnlyEverARootOnlyFile)
{
    ASSERT_EQ(chmod(root_.root().c_str(), 0755), 0);
    std::string path = sysroot_path(SP_LIBDIR) + std::string(".cfglock");
    std::string victim = root_.at("/etc/victim");
    // Whatever is found under the name, the lock ends up on a regular file
    // that only its owner can open, and nothing planted is followed.
    const std::vector<std::function<int()>> plants = {
        [] { return 0; },
        [&] {
            testutil::write_file(path, "");
            return chmod(path.c_str(), 0644);
        },
        [&] {
            testutil::write_file(victim, "keep");
            return symlink(victim.c_str(), path.c_str());
        },
        [&] { return mkfifo(path.c_str(), 0600); },
    };
    for (size_t i = 0; i < plants.size(); i++) {
        SCOPED_TRACE(i);
        unlink(path.c_str());
        ASSERT_EQ(plants[i](), 0);
        int fd = utils_cfglock();
        ASSERT_GE(fd, 0);
        struct stat sb;
        ASSERT_EQ(lstat(path.c_str(), &sb), 0);
        EXPECT_TRUE(S_ISREG(sb.st_mode));
        EXPECT_EQ(sb.st_mode & 0777, 0600u);
        EXPECT_EQ(sb.st_uid, geteuid());
        close(fd);
    }
    EXPECT_EQ(testutil::read_file(victim), "keep");
    EXPECT_EQ(as_other_user([] { return utils_cfglock() == -1 ? 0 : 1; }), 0);

    // Busy: tried again for the bounded time, then given up; free again
    // once the holder lets go.
    utils_lock.cfg_wait = 0.3;
    int held = utils_cfglock();
    ASSERT_GE(held, 0);
    double t0 = mono_now();
    EXPECT_EQ(utils_cfglock(), -1);
    EXPECT_GE(mono_now() - t0, 0.3);
    close(held);
    held = utils_cfglock();
    EXPECT_GE(held, 0);
    close(held);
}
