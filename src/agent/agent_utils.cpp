#include "agent/agent_utils.h"

#include "agent/agent.h"
#include "agent/agent_log.h"
#include "agent/sysroot.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

double realtime_now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The lock is held for microseconds; a few seconds is far beyond any real
// holder, even on a loaded machine.
constexpr double default_stale_after = 5.0;

void ensure_lckfile(const char *lck)
{
    if (access(lck, F_OK) == 0 || errno != ENOENT)
        return;
    int fd = open(lck, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        close(fd);
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

} // namespace

utils_lockstate utils_lock = {default_stale_after, realtime_now, 0};

void utils_lockinit(void)
{
    utils_lock = {default_stale_after, realtime_now, 0};
}

void utils_setatomlock(void)
{
    const char *lck = sysroot_path(SP_LCKFILE);
    const char *pipelock = sysroot_path(SP_PIPELOCK);
    for (;;) {
        ensure_lckfile(lck);
        if (link(lck, pipelock) == 0)
            break;
        if (errno == EEXIST) {
            break_if_stale(pipelock);
        } else if (errno != ENOENT) {
            // ENOENT is the ordinary race: another taker linked and removed
            // ".LCK" between our creating it and linking it.
            perror("utils_setatomlock: link");
        }
        struct timespec pause = {0, 500 * 1000};
        nanosleep(&pause, nullptr);
    }
    if (unlink(lck) != 0)
        perror("utils_setatomlock: unlink");
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
    utils_setatomlock();
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
    utils_setatomlock();
    if (attached())
        agent.aip->locked = 0;
    releaseatomlock();
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
