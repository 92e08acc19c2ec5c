#include "agent/sysroot.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The real locations.  SP_WHO has no absolute path on the real system: the
// notification code has always found "who" through the search path.
const char *const real_paths[SP_COUNT] = {
    "/usr/lib/voltmira/",
    "/usr/lib/voltmira/config",
    "/usr/lib/voltmira/events.log",
    "/usr/lib/voltmira/data.log",
    "/usr/lib/voltmira/errorlog",
    "/usr/lib/voltmira/locale",
    "/usr/lib/voltmira/.LCK",
    "/usr/lib/voltmira/.pipelock",
    "/usr/lib/voltmira/tmp_file_vm",
    "/usr/lib/voltmira/voltmirad",
    "/usr/lib/voltmira/voltmiractl",
    "/etc/.ZERURIDO",
    "/.erra",
    "/dev/ttyS0",
    "/dev/ttyS1",
    "/dev/ttyS2",
    "/dev/ttyS3",
    "/dev/console",
    "/sbin/shutdown",
    "/usr/bin/wall",
    "/usr/bin/write",
    "/usr/bin/mesg",
    "/bin/mail",
    "who",
    "/bin/ps",
    "/bin/grep",
    "/tmp/",
    "/dev/log",
};

const char who_staged[] = "/usr/bin/who";

// A prefix long enough to overflow the 260-byte path fields is refused, so
// every mapped path still fits where the records keep paths.
constexpr size_t max_prefix = 160;

struct sysroot_state {
    int inited;
    char prefix[max_prefix + 1];
    char paths[SP_COUNT][max_prefix + 64];
};

sysroot_state st;

void fix_paths()
{
    for (int i = 0; i < SP_COUNT; i++) {
        const char *p = real_paths[i];
        if (i == SP_WHO && st.prefix[0] != '\0')
            p = who_staged;
        snprintf(st.paths[i], sizeof st.paths[i], "%s%s", st.prefix, p);
    }
}

int join(const char *dir, const char *name, char *buf, size_t len)
{
    if (name == nullptr || buf == nullptr || name[0] == '/' || strstr(name, "..") != nullptr)
        return -1;
    int n = snprintf(buf, len, "%s%s", dir, name);
    if (n < 0 || static_cast<size_t>(n) >= len)
        return -1;
    return 0;
}

} // namespace

int sysroot_init(void)
{
    st = sysroot_state{};
    // Never taken from the caller of a program that gained rights.
    const char *v = secure_getenv("VOLTMIRA_SYSROOT");
    if (v != nullptr && v[0] != '\0') {
        struct stat sb;
        if (v[0] != '/') {
            fprintf(stderr, "VOLTMIRA_SYSROOT must be an absolute path: %.200s\n", v);
            return -1;
        }
        if (stat(v, &sb) != 0 || !S_ISDIR(sb.st_mode)) {
            fprintf(stderr, "VOLTMIRA_SYSROOT is not a directory: %.200s\n", v);
            return -1;
        }
        // Root reads its configuration and runs programs from here: the
        // directory must be root's alone, or any user could stage them.
        if (geteuid() == 0 && (sb.st_uid != 0 || (sb.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
            fprintf(stderr, "VOLTMIRA_SYSROOT is not root's alone: %.200s\n", v);
            return -1;
        }
        size_t n = strlen(v);
        while (n > 1 && v[n - 1] == '/')
            n--;
        if (n > max_prefix) {
            fprintf(stderr, "VOLTMIRA_SYSROOT is longer than %zu characters\n", max_prefix);
            return -1;
        }
        // "/" itself stages nothing: it is the real system.
        if (!(n == 1 && v[0] == '/'))
            memcpy(st.prefix, v, n);
    }
    fix_paths();
    st.inited = 1;
    return 0;
}

const char *sysroot_prefix(void)
{
    if (!st.inited && sysroot_init() != 0)
        abort();
    return st.prefix;
}

const char *sysroot_path(sysroot_path_id id)
{
    if (!st.inited && sysroot_init() != 0)
        abort();
    if (id < 0 || id >= SP_COUNT)
        abort();
    return st.paths[id];
}

const char *sysroot_ttypath(int n)
{
    if (n < 0 || n > 3)
        return nullptr;
    return sysroot_path(static_cast<sysroot_path_id>(SP_TTYS0 + n));
}

int sysroot_libfile(const char *name, char *buf, size_t len)
{
    return join(sysroot_path(SP_LIBDIR), name, buf, len);
}

int sysroot_tmpfile(const char *name, char *buf, size_t len)
{
    return join(sysroot_path(SP_TMPDIR), name, buf, len);
}
