// Small owners and helpers for file descriptors, shared by the modules that
// write files whole (the configuration store, the logs).
#ifndef VOLTMIRA_AGENT_FDUTIL_H
#define VOLTMIRA_AGENT_FDUTIL_H

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// Owns one descriptor (negative: none) and closes it when it goes.
class Fd
{
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    // Closes now, reporting what close says (a late write error shows there).
    int close_now()
    {
        int rc = close(fd_);
        fd_ = -1;
        return rc;
    }
    // Hands the descriptor over to a longer-lived owner.
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// Opens an existing path with flags, without waiting and close-on-exec, and
// only when it is a regular file (its status into *sb): a FIFO put in its
// place would otherwise hold the daemon, and a device could feed it without
// end.  The descriptor, or -1 (errno EINVAL for a file of another kind).
inline int fd_openregular(const char *path, int flags, struct stat *sb)
{
    int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, sb) != 0 || !S_ISREG(sb->st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// Syncs the directory that holds path, so that a rename into it outlives a
// power cut.  0 (also where directories cannot be synced), or -1.
inline int fd_syncdirof(const char *path)
{
    std::string dir(path);
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos)
        dir = ".";
    else
        dir.resize(slash == 0 ? 1 : slash);
    Fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || (fsync(fd.get()) != 0 && errno != EINVAL))
        return -1;
    return 0;
}

// Writes all n bytes, going on after interruptions; 0, or -1 on a failure
// or a write that takes nothing.
inline int fd_writeall(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return -1;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

#endif
