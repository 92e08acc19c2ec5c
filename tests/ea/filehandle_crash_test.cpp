// A writer killed at any moment must leave the configuration file whole: the
// old file or the new one, never a cut or empty one, and never a work file in
// its place.  Readers looking while the writer runs must see the same.
#include "ea/filehandle.h"

#include "agent/sysroot.h"
#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

constexpr int kills = 300;
constexpr int max_delay_us = 2000;
constexpr int max_slow_delay_us = 40000;

const char section[] = "Event";
const char key[] = "Command7";
const char old_value[] = "/usr/lib/voltmira/notify.sh low";
const char new_value[] = "/usr/lib/voltmira/notify.sh --battery-low --mail root --wall --delay 30";

// Several sections of the size a configured agent has, with the changed key
// in the middle so that a write shifts everything after it.
void write_realistic_config()
{
    char k[32], v[96];
    for (int i = 0; i < 12; i++) {
        snprintf(k, sizeof k, "Agent%d", i);
        snprintf(v, sizeof v, "value %d of the agent section", i);
        ASSERT_EQ(writeparam("Agent", k, v), 0);
    }
    for (int i = 0; i < 54; i++) {
        snprintf(k, sizeof k, "Command%d", i);
        snprintf(v, sizeof v, "/usr/lib/voltmira/notify.sh event %d", i);
        ASSERT_EQ(writeparam(section, k, i == 7 ? old_value : v), 0);
    }
    for (int i = 0; i < 20; i++) {
        snprintf(k, sizeof k, "Week%d", i);
        ASSERT_EQ(writeparam("Schedule", k, "0 00:00 23:59 on"), 0);
    }
}

// The file's bytes, or "<missing>"; never throws, so a child is always killed.
std::string snapshot(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "<missing>";
    std::string s = testutil::read_all(fd);
    close(fd);
    return s;
}

// Removes whatever besides the configuration file (and the lock file, which
// stays by design) a killed writer left in its directory, and says how many
// there were.
int remove_leftovers()
{
    int count = 0;
    std::string dir = sysroot_path(SP_LIBDIR);
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == ".." || n == "config" || n == ".cfglock")
                continue;
            unlink((dir + n).c_str());
            count++;
        }
        closedir(d);
    }
    return count;
}

// Loops writes of the two values until killed.
[[noreturn]] void writer(int ready_fd)
{
    if (write(ready_fd, "r", 1) != 1)
        _exit(2);
    close(ready_fd);
    for (;;) {
        if (writeparam(section, key, new_value) != 0 || writeparam(section, key, old_value) != 0)
            _exit(1);
    }
}

} // namespace

TEST(FileHandleCrash, KilledWriterLeavesOldOrNewFile)
{
    testutil::Sysroot root;
    filehandle_init();
    const std::string cfg = sysroot_path(SP_CONFIG);

    write_realistic_config();
    ASSERT_EQ(chmod(cfg.c_str(), 0640), 0);
    const std::string old_file = testutil::read_file(cfg);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(writeparam(section, key, new_value), 0);
    auto one_write = std::chrono::steady_clock::now() - t0;
    const std::string new_file = testutil::read_file(cfg);
    ASSERT_EQ(writeparam(section, key, old_value), 0);
    ASSERT_EQ(testutil::read_file(cfg), old_file);
    ASSERT_GT(old_file.size(), 3000u);
    ASSERT_NE(old_file.size(), new_file.size());

    unsigned seed = std::random_device{}();
    if (const char *s = getenv("FILEHANDLE_CRASH_SEED"))
        seed = static_cast<unsigned>(strtoul(s, nullptr, 10));
    printf("FileHandleCrash seed %u (set FILEHANDLE_CRASH_SEED to repeat)\n", seed);
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 rng(seed);
    // On a disk whose sync is slower than the window, no write would ever
    // finish before the kill; widen it to a few writes, within reason.
    int window_us = static_cast<int>(
        std::chrono::duration_cast<std::chrono::microseconds>(3 * one_write).count());
    window_us = std::min(std::max(window_us, max_delay_us), max_slow_delay_us);
    std::uniform_int_distribution<int> delay_us(0, window_us);

    int seen_old = 0, seen_new = 0, leftovers = 0, bad_reads = 0;
    for (int i = 0; i < kills; i++) {
        int pipefd[2];
        ASSERT_EQ(pipe(pipefd), 0);
        fflush(nullptr);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(pipefd[0]);
            writer(pipefd[1]);
        }
        close(pipefd[1]);
        char c;
        ssize_t r;
        while ((r = read(pipefd[0], &c, 1)) < 0 && errno == EINTR)
            ;
        close(pipefd[0]);

        // Look at the file the whole time the writer runs, as a reader would.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(delay_us(rng));
        while (std::chrono::steady_clock::now() < deadline) {
            std::string s = snapshot(cfg);
            if (s != old_file && s != new_file)
                bad_reads++;
        }
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_EQ(r, 1);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the writer ended by itself: status " << status;

        std::string s = snapshot(cfg);
        ASSERT_TRUE(s == old_file || s == new_file)
            << "kill " << i << " left " << s.size() << " bytes: " << s.substr(0, 200);
        (s == old_file ? seen_old : seen_new)++;
        // A work file renamed in before it got the old file's mode shows here.
        struct stat sb;
        ASSERT_EQ(lstat(cfg.c_str(), &sb), 0);
        ASSERT_TRUE(S_ISREG(sb.st_mode));
        ASSERT_EQ(sb.st_mode & 07777, 0640u) << "kill " << i;
        leftovers += remove_leftovers();
    }
    EXPECT_EQ(bad_reads, 0);
    printf("FileHandleCrash: %d kills within %d us, old file %d, new file %d, work files left "
           "%d\n",
           kills, window_us, seen_old, seen_new, leftovers);
    // Both outcomes, or the kills never fell between two writes.
    EXPECT_GT(seen_old, 0);
    EXPECT_GT(seen_new, 0);

    // The store still works after all that.
    EXPECT_EQ(writeparam(section, key, new_value), 0);
    EXPECT_EQ(testutil::read_file(cfg), new_file);
    filehandle_fini();
}
