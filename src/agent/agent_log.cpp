#include "agent/agent_log.h"

#include "agent/sysroot.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace
{

// Past this many 512-byte blocks the log starts over, so a chatty fault
// cannot fill the root file system.
constexpr blkcnt_t max_blocks = 1024;

const char dashes[] = "-------------------------------\n";

int open_log(const char *path)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        // Root and group 1 own it; an unprivileged test run cannot give it
        // away and keeps its own ownership.
        if (fchown(fd, 0, 1) != 0) {
        }
        return fd;
    }
    if (errno != EEXIST)
        return -1;
    // Without waiting, and only into a regular file: a FIFO in its place
    // would hold every process that logs until something read from it.
    fd = open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat sb;
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode) ||
        (sb.st_blocks > max_blocks && ftruncate(fd, 0) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Both processes append to the same file; one O_APPEND write per message
// keeps it whole even when the other process writes at the same moment.
int write_all(int fd, struct iovec *iov, int cnt)
{
    while (cnt > 0) {
        ssize_t w = writev(fd, iov, cnt);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        while (cnt > 0 && static_cast<size_t>(w) >= iov->iov_len) {
            w -= static_cast<ssize_t>(iov->iov_len);
            iov++;
            cnt--;
        }
        if (cnt > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + w;
            iov->iov_len -= static_cast<size_t>(w);
        }
    }
    return 0;
}

// Callers may log from any state of errno; the log never changes it.
int append(struct iovec *iov, int cnt)
{
    int saved = errno;
    int fd = open_log(sysroot_path(SP_DEBUGLOG));
    int rc = -1;
    if (fd >= 0) {
        rc = write_all(fd, iov, cnt);
        close(fd);
    }
    errno = saved;
    return rc;
}

struct iovec text(const char *s)
{
    return {const_cast<char *>(s), strlen(s)};
}

} // namespace

int user_printf(const char *msg, int level)
{
    (void)level;
    if (msg == nullptr)
        return 0;
    struct iovec iov[1] = {text(msg)};
    return append(iov, 1);
}

void printf0(const char *msg)
{
    user_printf(msg, 1);
}

void printf1(const char *msg)
{
    struct iovec iov[3] = {text(dashes), text(msg ? msg : ""), text(dashes)};
    append(iov, 3);
}
