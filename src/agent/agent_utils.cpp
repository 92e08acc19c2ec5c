#include "agent/agent_utils.h"

#include "agent/agent.h"
#include "agent/agent_log.h"
#include "agent/sysroot.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

double clock_now(clockid_t id)
{
    struct timespec ts;
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double realtime_now(void)
{
    return clock_now(CLOCK_REALTIME);
}

double monotonic_now(void)
{
    return clock_now(CLOCK_MONOTONIC);
}

// The lock is held for microseconds; a few seconds is far beyond any real
// holder, even on a loaded machine.
constexpr double default_stale_after = 5.0;
// A taker that may not create or link in the directory (a manager run by
// another user, a read-only file system) would otherwise retry for ever.
constexpr double default_giveup_after = 2.0;
// Every holder of the configuration lock is a short rewrite of the file.
constexpr double default_cfg_wait = 2.0;
constexpr long cfg_retry_ns = 10 * 1000 * 1000;

const utils_lockstate lock_defaults = {
    default_stale_after, default_giveup_after, default_cfg_wait, realtime_now, -1.0, 0};

// 0 when ".LCK" is there to be linked, else the error that keeps it away.
int ensure_lckfile(const char *lck)
{
    if (access(lck, F_OK) == 0)
        return 0;
    if (errno != ENOENT)
        return errno;
    int fd = open(lck, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

// Counts a failure of the taker's own (not a busy lock); true once failures
// have gone on for giveup_after seconds since the lock was last taken, so
// that a caller who tries again and again gives up at once after the first
// long wait.
bool give_up(int err, const char *step)
{
    double t = monotonic_now();
    if (utils_lock.failing_since < 0) {
        utils_lock.failing_since = t;
        errno = err;
        perror(step);
    }
    return t - utils_lock.failing_since >= utils_lock.giveup_after;
}

// A holder that died leaves ".pipelock" behind and every later taker would
// wait for ever.  The link count change when the lock was taken set the
// inode's change time, so that time is when the lock was taken.
void break_if_stale(const char *pipelock)
{
    struct stat sb;
    if (lstat(pipelock, &sb) != 0)
        return;
    double taken =
        static_cast<double>(sb.st_ctim.tv_sec) + static_cast<double>(sb.st_ctim.tv_nsec) / 1e9;
    if (utils_lock.now() - taken < utils_lock.stale_after)
        return;

    // Move it aside under a private name first: of two takers that both saw
    // the stale lock, only one can move it, and the other cannot remove a
    // fresh lock taken in between by mistake.
    char aside[PATH_MAX];
    char name[64];
    snprintf(name, sizeof name, ".pipelock.stale.%ld", static_cast<long>(getpid()));
    if (sysroot_libfile(name, aside, sizeof aside) != 0 || rename(pipelock, aside) != 0)
        return;
    struct stat ab;
    if (lstat(aside, &ab) == 0 && ab.st_ino == sb.st_ino && ab.st_dev == sb.st_dev) {
        unlink(aside);
        utils_lock.broken++;
        printf0("utils_setatomlock: stale lock removed\n");
        return;
    }
    // Someone took the lock between our look and the move: give it back.
    if (link(aside, pipelock) != 0)
        perror("utils_setatomlock: restore");
    unlink(aside);
}

const char cfglock_name[] = ".cfglock";

// Opens the configuration lock file, making it when missing: the
// descriptor, -1 when that cannot be done, or -2 after removing a file that
// will not do (the caller then tries again).  Only a regular file of this
// user that no one else can open will do: anyone who can open a file can
// flock it, and hold it for ever.
int open_cfglock(const char *path, int *repairs)
{
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat sb;
    if (fd >= 0 && fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_uid == geteuid() &&
        (sb.st_mode & 077) == 0)
        return fd;
    // A symbolic link, or a file as above, goes: whoever holds it open keeps
    // a lock on a file that no longer counts.
    bool unsafe = fd >= 0 || errno == ELOOP;
    if (fd >= 0)
        close(fd);
    if (!unsafe || ++*repairs > 3 || unlink(path) != 0) {
        printf0("utils_cfglock: cannot open the configuration lock\n");
        return -1;
    }
    printf0("utils_cfglock: unsafe configuration lock file replaced\n");
    return -2;
}

} // namespace

utils_lockstate utils_lock = lock_defaults;

void utils_lockinit(void)
{
    utils_lock = lock_defaults;
}

int utils_setatomlock(void)
{
    const char *lck = sysroot_path(SP_LCKFILE);
    const char *pipelock = sysroot_path(SP_PIPELOCK);
    for (;;) {
        int made = ensure_lckfile(lck);
        if (link(lck, pipelock) == 0)
            break;
        int err = errno;
        if (err == EEXIST) {
            break_if_stale(pipelock);
        } else if (err != ENOENT || made != 0) {
            // ENOENT alone is the ordinary race: another taker linked and
            // removed ".LCK" between our making it and linking it.  After
            // our own making failed it is no race, and never ends.
            if (give_up(made != 0 ? made : err,
                        made != 0 ? "utils_setatomlock: create" : "utils_setatomlock: link"))
                return -1;
        }
        struct timespec pause = {0, 500 * 1000};
        nanosleep(&pause, nullptr);
    }
    utils_lock.failing_since = -1;
    if (unlink(lck) != 0)
        perror("utils_setatomlock: unlink");
    return 0;
}

void releaseatomlock(void)
{
    if (unlink(sysroot_path(SP_PIPELOCK)) != 0)
        perror("net_releaselock: unlink");
}

static bool attached(void)
{
    return agent.aip != nullptr && agent.aip != (AGINFOP)-1;
}

int net_testandsetlock(void)
{
    if (utils_setatomlock() != 0)
        return -1;
    if (attached()) {
        if (agent.aip->locked) {
            releaseatomlock();
            return -1;
        }
        agent.aip->locked = 1;
    }
    releaseatomlock();
    return 0;
}

void net_clearlock(void)
{
    // The caller holds the flag, so no one else writes it meanwhile; left
    // set, it would shut the other side out for good.
    bool locked = utils_setatomlock() == 0;
    if (attached())
        agent.aip->locked = 0;
    if (locked)
        releaseatomlock();
}

int utils_cfglock(void)
{
    char path[PATH_MAX];
    if (sysroot_libfile(cfglock_name, path, sizeof path) != 0)
        return -1;
    double deadline = monotonic_now() + utils_lock.cfg_wait;
    int repairs = 0;
    for (;;) {
        int fd = open_cfglock(path, &repairs);
        if (fd == -1)
            return -1;
        if (fd >= 0) {
            if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
                // Locked, but a repair by another taker may have put a new
                // file in its place meanwhile: only the file under the name
                // excludes the others.
                struct stat held, named;
                if (fstat(fd, &held) == 0 && lstat(path, &named) == 0 &&
                    held.st_dev == named.st_dev && held.st_ino == named.st_ino)
                    return fd;
                close(fd);
                continue;
            }
            int err = errno;
            close(fd);
            if (err != EWOULDBLOCK && err != EINTR)
                return -1;
        }
        if (monotonic_now() >= deadline) {
            printf0("utils_cfglock: configuration lock busy, giving up\n");
            return -1;
        }
        struct timespec pause = {0, cfg_retry_ns};
        nanosleep(&pause, nullptr);
    }
}

int utils_findmultihome(int fd, struct ifconf *ifc)
{
    // Entries are struct ifreq as this system lays them out.
    const size_t entry = sizeof(struct ifreq);
    size_t count = 30;
    for (;;) {
        size_t size = count * entry;
        void *grown = realloc(ifc->ifc_buf, size);
        if (grown == nullptr) {
            perror("error in realloc");
            free(ifc->ifc_buf);
            ifc->ifc_buf = nullptr;
            ifc->ifc_len = 0;
            return -1;
        }
        ifc->ifc_buf = static_cast<char *>(grown);
        ifc->ifc_len = static_cast<int>(size);
        if (ioctl(fd, SIOCGIFCONF, ifc) < 0) {
            perror("SIOCGIFCONF");
            free(ifc->ifc_buf);
            ifc->ifc_buf = nullptr;
            ifc->ifc_len = 0;
            return -1;
        }
        // A full buffer may mean the list was cut: ask again with more room.
        if (static_cast<size_t>(ifc->ifc_len) < size)
            return static_cast<int>(static_cast<size_t>(ifc->ifc_len) / entry);
        count += 10;
    }
}
