#include "agent/proclist.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The namespace a process's IPC objects live in, told apart by the inode of
// its /proc entry.
struct ipc_ns {
    int known;
    dev_t dev;
    ino_t ino;
};

int name_ok(const char *name)
{
    if (name == nullptr || name[0] == '\0')
        return 0;
    return strnlen(name, PROC_NAME_MAX + 1) <= static_cast<size_t>(PROC_NAME_MAX);
}

// The whole of a /proc file into a malloc'd, NUL-terminated buffer (the
// caller frees).  Its length, or -1 when it cannot be read.  /proc files
// report no size, so the buffer grows until a read returns nothing.
ssize_t read_whole(const char *path, char **out)
{
    *out = nullptr;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t cap = 512, len = 0;
    char *buf = static_cast<char *>(malloc(cap));
    if (buf == nullptr) {
        close(fd);
        return -1;
    }
    for (;;) {
        if (cap - len < 2) {
            char *grown = static_cast<char *>(realloc(buf, cap * 2));
            if (grown == nullptr) {
                free(buf);
                close(fd);
                return -1;
            }
            buf = grown;
            cap *= 2;
        }
        ssize_t n = read(fd, buf + len, cap - len - 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            free(buf);
            close(fd);
            return -1;
        }
        if (n == 0)
            break;
        len += static_cast<size_t>(n);
    }
    close(fd);
    buf[len] = '\0';
    *out = buf;
    return static_cast<ssize_t>(len);
}

// State letter and command name from /proc/<pid>/stat; false when the
// process is gone.  The name stands in parentheses and may itself hold
// blanks and parentheses, so the last ')' ends it.
bool read_stat(pid_t pid, char *state, char *comm, size_t commlen)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    char *text = nullptr;
    if (read_whole(path, &text) < 0)
        return false;
    char *open_paren = strchr(text, '(');
    char *close_paren = strrchr(text, ')');
    bool ok = open_paren != nullptr && close_paren != nullptr && close_paren > open_paren &&
              close_paren[1] == ' ' && close_paren[2] != '\0';
    if (ok) {
        size_t n = static_cast<size_t>(close_paren - open_paren - 1);
        if (n >= commlen)
            n = commlen - 1;
        memcpy(comm, open_paren + 1, n);
        comm[n] = '\0';
        *state = close_paren[2];
    }
    free(text);
    return ok;
}

// The effective user of a process, from the "Uid:" line of its status
// (real, effective, saved, file system); false when unknown.
bool read_euid(pid_t pid, uid_t *euid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    char *text = nullptr;
    if (read_whole(path, &text) < 0)
        return false;
    bool ok = false;
    for (char *line = text; line != nullptr && *line != '\0';) {
        char *nl = strchr(line, '\n');
        if (strncmp(line, "Uid:", 4) == 0) {
            unsigned long r, e;
            ok = sscanf(line + 4, "%lu %lu", &r, &e) == 2;
            if (ok)
                *euid = static_cast<uid_t>(e);
            break;
        }
        line = nl != nullptr ? nl + 1 : nullptr;
    }
    free(text);
    return ok;
}

ipc_ns ipc_ns_of(const char *nspath)
{
    ipc_ns ns = {0, 0, 0};
    struct stat sb;
    if (stat(nspath, &sb) == 0) {
        ns.known = 1;
        ns.dev = sb.st_dev;
        ns.ino = sb.st_ino;
    }
    return ns;
}

// Whether pid shares the caller's IPC namespace.  A namespace that cannot
// be read is taken as shared: without the means to tell, the process is
// counted as ps would count it.
bool same_ipc(pid_t pid, const ipc_ns &self)
{
    if (!self.known)
        return true;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/ns/ipc", static_cast<int>(pid));
    ipc_ns other = ipc_ns_of(path);
    if (!other.known)
        return errno != ENOENT;
    return other.dev == self.dev && other.ino == self.ino;
}

// The command line as ps shows it: the arguments joined by blanks, or the
// command name in brackets when there are none (kernel threads).  A
// malloc'd string (the caller frees), or null when the process is gone.
char *command_text(pid_t pid, const char *comm)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(pid));
    char *text = nullptr;
    ssize_t len = read_whole(path, &text);
    if (len < 0)
        return nullptr;
    while (len > 0 && text[len - 1] == '\0')
        len--;
    if (len == 0) {
        free(text);
        size_t n = strlen(comm) + 3;
        text = static_cast<char *>(malloc(n));
        if (text != nullptr)
            snprintf(text, n, "[%s]", comm);
        return text;
    }
    for (ssize_t i = 0; i < len; i++)
        if (text[i] == '\0')
            text[i] = ' ';
    text[len] = '\0';
    return text;
}

bool matches(pid_t pid, const char *name, uid_t euid, const ipc_ns &self)
{
    char state = 0;
    char comm[64];
    if (!read_stat(pid, &state, comm, sizeof comm) || state == 'Z' || state == 'X')
        return false;
    uid_t owner;
    if (!read_euid(pid, &owner) || owner != euid)
        return false;
    char *cmd = command_text(pid, comm);
    if (cmd == nullptr)
        return false;
    bool found = strstr(cmd, name) != nullptr && strstr(cmd, "grep") == nullptr;
    free(cmd);
    return found && same_ipc(pid, self);
}

int by_id(const void *a, const void *b)
{
    pid_t x = *static_cast<const pid_t *>(a), y = *static_cast<const pid_t *>(b);
    return x < y ? -1 : x > y;
}

// Every matching process: their number, and when pids is not null, the
// lowest max ids in ascending order.
int scan(const char *name, pid_t *pids, int max)
{
    if (!name_ok(name) || max < 0)
        return -1;
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return -1;
    uid_t euid = geteuid();
    ipc_ns self = ipc_ns_of("/proc/self/ns/ipc");
    pid_t *found = nullptr;
    size_t nfound = 0, cap = 0;
    int count = 0;
    while (struct dirent *e = readdir(d)) {
        char *end = nullptr;
        long v = strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || v <= 0 || v > INT_MAX)
            continue;
        pid_t pid = static_cast<pid_t>(v);
        if (!matches(pid, name, euid, self))
            continue;
        if (count < INT_MAX)
            count++;
        if (pids == nullptr)
            continue;
        if (nfound == cap) {
            size_t ncap = cap == 0 ? 32 : cap * 2;
            pid_t *grown = static_cast<pid_t *>(realloc(found, ncap * sizeof *found));
            if (grown == nullptr) {
                free(found);
                closedir(d);
                return -1;
            }
            found = grown;
            cap = ncap;
        }
        found[nfound++] = pid;
    }
    closedir(d);
    if (pids == nullptr)
        return count;
    if (nfound > 0)
        qsort(found, nfound, sizeof *found, by_id);
    int stored = nfound < static_cast<size_t>(max) ? static_cast<int>(nfound) : max;
    if (stored > 0)
        memcpy(pids, found, static_cast<size_t>(stored) * sizeof *pids);
    free(found);
    return stored;
}

} // namespace

int proc_list(const char *name, pid_t *pids, int max)
{
    if (pids == nullptr && max > 0)
        return -1;
    pid_t none;
    return scan(name, pids != nullptr ? pids : &none, max);
}

int proc_count(const char *name)
{
    return scan(name, nullptr, 0);
}

int proc_matches(pid_t pid, const char *name)
{
    if (!name_ok(name))
        return -1;
    if (pid <= 0)
        return 0;
    return matches(pid, name, geteuid(), ipc_ns_of("/proc/self/ns/ipc")) ? 1 : 0;
}
