// What the agent trusts: the shared segment (private to root, a planted one
// replaced), the environment it passes to the programs it starts, the
// manager's choice of language, and a test run that cannot hide its skips.
#include "agent/agent_main.h"
#include "agent/agent_manage.h"
#include "agent/sysroot.h"

#include "netns.h"
#include "testutil.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr uid_t nobody = 65534;

// Runs body in a child process; its failures fail the test.
template <typename F> void in_child(F body)
{
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        body();
        fflush(nullptr);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "failures in the child, above";
}

// Runs fn as user nobody in a child; its result (0..255) is the exit status.
template <typename F> int as_nobody(F fn)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(nobody) != 0 || setuid(nobody) != 0)
            _exit(200);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 201;
}

bool segment_gone(int id)
{
    struct shmid_ds ds;
    return shmctl(id, IPC_STAT, &ds) != 0 || (ds.shm_perm.mode & SHM_DEST) != 0;
}

} // namespace

TEST(TrustSegment, PrivateToRootAndAPlantedOneIsReplaced)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to plant segments as another user";
    testutil::Sysroot root;
    testutil::write_file(root.at("/etc/.ZERURIDO"), "key\n");
    testutil::in_netns([&] {
        static AGENT a;
        a.key = ftok(root.at("/etc/.ZERURIDO").c_str(), 1029);
        ASSERT_NE(a.key, -1);
        // What is under the key before the agent starts, and whether the
        // agent may take it over.
        const struct {
            const char *what;
            bool planted;
            uid_t creator, owner;
            int mode;
            size_t size;
            bool reused;
        } table[] = {
            {"nothing", false, 0, 0, 0, 0, false},
            {"an earlier agent's", true, 0, 0, 0600, sizeof(AGINFO), true},
            {"open to everyone", true, 0, 0, 0666, sizeof(AGINFO), false},
            {"readable by everyone", true, 0, 0, 0644, sizeof(AGINFO), false},
            {"too small", true, 0, 0, 0600, sizeof(AGINFO) - 4, false},
            {"too large", true, 0, 0, 0600, sizeof(AGINFO) * 2, false},
            {"a user's", true, nobody, nobody, 0600, sizeof(AGINFO), false},
            {"a user's given to root", true, nobody, 0, 0600, sizeof(AGINFO), false},
        };
        for (const auto &row : table) {
            SCOPED_TRACE(row.what);
            int planted = -1;
            if (row.planted) {
                key_t key = a.key;
                auto plant = [&] { return shmget(key, row.size, IPC_CREAT | IPC_EXCL | row.mode); };
                if (row.creator == 0) {
                    planted = plant();
                } else {
                    ASSERT_EQ(as_nobody([&] { return plant() >= 0 ? 0 : 1; }), 0);
                    planted = shmget(key, 0, 0);
                }
                ASSERT_GE(planted, 0);
                struct shmid_ds ds;
                ASSERT_EQ(shmctl(planted, IPC_STAT, &ds), 0);
                ds.shm_perm.uid = row.owner;
                ASSERT_EQ(shmctl(planted, IPC_SET, &ds), 0);
                if (row.reused) {
                    void *p = shmat(planted, nullptr, 0);
                    ASSERT_NE(p, reinterpret_cast<void *>(-1));
                    static_cast<AGINFO *>(p)->isagentchg = -1;
                    shmdt(p);
                }
            }

            ASSERT_EQ(init_segment(&a), 0);
            EXPECT_EQ(a.shmid == planted, row.reused);
            if (row.planted) {
                EXPECT_EQ(segment_gone(planted), !row.reused);
            }
            EXPECT_EQ(a.aip->isagentchg, 0) << "the record starts cleared";
            EXPECT_EQ(a.aip->ups.ui.CommStatus, COMM_LOST);
            struct shmid_ds ds;
            ASSERT_EQ(shmctl(a.shmid, IPC_STAT, &ds), 0);
            EXPECT_EQ(ds.shm_perm.mode & 0777, 0600u);
            EXPECT_EQ(ds.shm_perm.cuid, 0u);
            EXPECT_EQ(ds.shm_segsz, sizeof(AGINFO));

            // Another user finds the key but can neither map, read nor
            // change the record.
            int id = a.shmid;
            EXPECT_EQ(as_nobody([&] {
                          struct shmid_ds d;
                          bool rw = shmat(id, nullptr, 0) != reinterpret_cast<void *>(-1);
                          bool ro = shmat(id, nullptr, SHM_RDONLY) != reinterpret_cast<void *>(-1);
                          bool stat = shmctl(id, IPC_STAT, &d) == 0;
                          return rw || ro || stat ? 1 : 0;
                      }),
                      0);
            shmdt(a.aip);
            shmctl(a.shmid, IPC_RMID, nullptr);
        }
    });
}

TEST(TrustEnvironment, OnlyTheLanguageRootAndSanitizerVariablesStay)
{
    testutil::Sysroot root;
    const std::string r = root.root();
    const struct {
        const char *sysroot;
        std::string path;
    } table[] = {
        {"", "/usr/sbin:/usr/bin:/sbin:/bin"},
        {r.c_str(), r + "/usr/sbin:" + r + "/usr/bin:" + r + "/sbin:" + r +
                        "/bin:/usr/sbin:/usr/bin:/sbin:/bin"},
    };
    for (const auto &row : table) {
        in_child([&] {
            setenv("VOLTMIRA_SYSROOT", row.sysroot, 1);
            ASSERT_EQ(sysroot_init(), 0);
            clearenv();
            setenv("VOLTMIRA_SYSROOT", row.sysroot, 1);
            for (const char *kept :
                 {"LANG=ja_JP.eucJP", "LC_TIME=C", "LC_ALL=C", "LANGUAGE=ja", "KDE_LANG=ja",
                  "TZ=Asia/Tokyo", "ASAN_OPTIONS=x=1", "UBSAN_OPTIONS=y=1"})
                putenv(const_cast<char *>(kept));
            for (const char *dropped :
                 {"PATH=/tmp/evil:/usr/bin", "LD_PRELOAD=/tmp/evil.so", "IFS=/", "ENV=/tmp/rc",
                  "BASH_ENV=/tmp/rc", "HOME=/tmp", "SHELL=/tmp/sh", "LANGX=1", "TZDIR=/tmp",
                  "MAIL=/tmp/m", "LOCPATH=/tmp"})
                putenv(const_cast<char *>(dropped));
            ASSERT_EQ(init_environment(), 0);
            std::string env;
            for (char **e = environ; *e != nullptr; e++)
                env += std::string(*e) + "\n";
            // What stays, in any order, and nothing else.
            for (const char *want :
                 {"LANG=ja_JP.eucJP\n", "LC_TIME=C\n", "LC_ALL=C\n", "LANGUAGE=ja\n",
                  "KDE_LANG=ja\n", "TZ=Asia/Tokyo\n", "ASAN_OPTIONS=x=1\n", "UBSAN_OPTIONS=y=1\n"})
                EXPECT_NE(env.find(want), std::string::npos) << want << env;
            EXPECT_NE(env.find("VOLTMIRA_SYSROOT=" + std::string(row.sysroot) + "\n"),
                      std::string::npos);
            EXPECT_NE(env.find("\nPATH=" + row.path + "\n"), std::string::npos) << env;
            EXPECT_EQ(testutil::count_of(env, "\n"), 10u) << env;
        });
    }
    // The agent does so first of all: even a start that fails at once (no
    // key file staged) has left nothing else behind.
    in_child([&] {
        clearenv();
        setenv("VOLTMIRA_SYSROOT", r.c_str(), 1);
        putenv(const_cast<char *>("LD_PRELOAD=/tmp/evil.so"));
        putenv(const_cast<char *>("PATH=/tmp/evil"));
        char arg0[] = "voltmirad";
        char *argv[] = {arg0, nullptr};
        ASSERT_EQ(sysroot_init(), 0);
        ASSERT_FALSE(testutil::file_exists(sysroot_path(SP_KEYFILE)));
        EXPECT_EQ(agent_main(1, argv), -1);
        EXPECT_EQ(getenv("LD_PRELOAD"), nullptr);
        EXPECT_EQ(std::string(getenv("PATH")), table[1].path);
    });
}

TEST(TrustManager, TheFirstLanguageVariableThatIsSetDecidesEvenWhenEmpty)
{
    const struct {
        std::vector<const char *> env;
        const char *language, *lc_all;
    } table[] = {
        {{}, "C", "C"},
        {{"LANG=ja_JP.UTF-8"}, "ja", "ja_JP.UTF-8"},
        {{"LANG=", "LC_ALL=ja_JP.UTF-8"}, "C", "ja_JP.UTF-8"},
        {{"LC_ALL=", "LC_CTYPE=ja_JP.UTF-8"}, "C", ""},
        {{"LC_CTYPE=zh_CN.UTF-8"}, "zh", "C"},
        {{"LANGUAGE=", "KDE_LANG=ja"}, "C", "C"},
        {{"KDE_LANG=ja"}, "ja", "C"},
    };
    testutil::Sysroot root;
    for (const auto &row : table) {
        in_child([&] {
            clearenv();
            setenv("VOLTMIRA_SYSROOT", root.root().c_str(), 1);
            for (const char *e : row.env)
                putenv(const_cast<char *>(e));
            manage_setlang();
            std::string env = row.env.empty() ? "" : row.env[0];
            EXPECT_STREQ(getenv("LANGUAGE"), row.language) << env;
            EXPECT_STREQ(getenv("KDE_LANG"), row.language) << env;
            EXPECT_STREQ(getenv("LC_ALL"), row.lc_all) << env;
        });
    }
}

// ctest must count a test that skipped itself (the lab without root) as
// skipped, not as passed: ask it how it reads this very test's output.
TEST(TrustCtest, ASkippedTestIsReportedAsSkipped)
{
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        if (chdir(VOLTMIRA_BUILD_DIR) != 0)
            _exit(127);
        execl(VOLTMIRA_CTEST_PATH, "ctest", "--show-only=json-v1", "-R",
              "^TrustCtest\\.ASkippedTestIsReportedAsSkipped$", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string json = testutil::read_all(out[0]);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << json;

    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        json, m,
        std::regex(R"re("name" : "SKIP_REGULAR_EXPRESSION",\s*"value" :\s*\[\s*"([^"]*)")re")))
        << json;
    std::string expr = std::regex_replace(m[1].str(), std::regex(R"(\\\\)"), "\\");
    std::regex skipped(expr);
    EXPECT_TRUE(std::regex_search("[  SKIPPED ] LabTrust.Something (3 ms)", skipped)) << expr;
    for (const char *line : {"[       OK ] LabTrust.Something (3 ms)", "[  PASSED  ] 1 test.",
                             "[  FAILED  ] LabTrust.Something (3 ms)"})
        EXPECT_FALSE(std::regex_search(line, skipped)) << line;
}
