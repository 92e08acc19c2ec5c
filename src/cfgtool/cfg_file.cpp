// The key get and set of the configuration helper.  A set rewrites the
// whole file into a private work file beside it and renames that over the
// file, all under the configuration lock the agent's own writes take: the
// file is root's, the agent trusts it for the commands it runs, and front
// ends may well start several sets at once.
#include "cfgtool/cfg_file.h"

#include "agent/agent_utils.h"
#include "agent/fdutil.h"
#include "agent/strings.h"
#include "agent/sysroot.h"
#include "ea/filehandle.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

void report_open_error()
{
    fputs("open file error\n", stderr);
}

// A template for a private work file beside the configuration file, named
// after the helper's traditional work file so that a stray one left by a
// crash is recognised.
int work_template(char *tmpl, size_t tmpllen)
{
    const char *cfg = sysroot_path(SP_CONFIG);
    const char *work = strrchr(sysroot_path(SP_CFGWORK), '/');
    const char *slash = strrchr(cfg, '/');
    if (slash == nullptr || work == nullptr)
        return -1;
    int m = snprintf(tmpl, tmpllen, "%.*s%s.XXXXXX", static_cast<int>(slash - cfg), cfg, work);
    return m < 0 || static_cast<size_t>(m) >= tmpllen ? -1 : 0;
}

// Writes the edited file to dst; src is null when there is no file yet.
// Front ends rely on the helper's own line tests, so they stay as they
// always were, except that a key is found after leading blanks; every line
// not replaced goes through byte for byte.
int edit(FILE *src, FILE *dst, const char *section, const char *key, const char *value)
{
    if (src == nullptr) {
        fprintf(dst, "\n%s\n", section);
        fprintf(dst, "\n%s = %s\n", key, value);
        return ferror(dst) ? -1 : 0;
    }
    enum { BEFORE, IN, DONE } state = BEFORE;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, src)) > 0) {
        if (state == IN) {
            if (key_exist(key, line) != nullptr) {
                fprintf(dst, "%s = %s\n", key, value);
                state = DONE;
                continue;
            }
            // Only a head written with a blank after '[' ends the section
            // here, as the agent writes heads.
            if (xbe_exist("[", line)) {
                fprintf(dst, "\n%s = %s\n", key, value);
                state = DONE;
            }
        } else if (state == BEFORE && be_exist(section, line)) {
            state = IN;
        }
        fwrite(line, 1, static_cast<size_t>(n), dst);
    }
    free(line);
    if (ferror(src))
        return -1;
    if (state == BEFORE)
        fprintf(dst, "\n%s\n", section);
    if (state != DONE)
        fprintf(dst, "\n%s = %s\n", key, value);
    return ferror(dst) ? -1 : 0;
}

// Writes the new file into a work file of tmpl and renames it over the
// configuration file.  old: the file's status, null when there was none.
int replace_file(FILE *src, const struct stat *old, char *tmpl, const char *section,
                 const char *key, const char *value)
{
    int fd = mkostemp(tmpl, O_CLOEXEC);
    if (fd < 0)
        return -1;
    // The old owner and mode, set before anything is written; chmod after
    // chown, which may clear set-id bits.  A first file is not writable by
    // others, since whoever edits it chooses what root runs.
    bool ok = true;
    if (old != nullptr)
        ok = fchown(fd, old->st_uid, old->st_gid) == 0;
    if (ok)
        ok = fchmod(fd, old != nullptr ? old->st_mode & 07777 : 0644) == 0;
    FILE *dst = ok ? fdopen(fd, "w") : nullptr;
    if (dst == nullptr) {
        close(fd);
        unlink(tmpl);
        return -1;
    }
    ok = edit(src, dst, section, key, value) == 0;
    ok = fflush(dst) == 0 && ok;
    ok = fsync(fileno(dst)) == 0 && ok;
    ok = fclose(dst) == 0 && ok;
    if (!ok || rename(tmpl, sysroot_path(SP_CONFIG)) != 0) {
        unlink(tmpl);
        return -1;
    }
    return 0;
}

// The configuration file for reading (its status into *sb), or null with
// errno set.  Opened without waiting, and only a regular file: a FIFO in its
// place would hold the helper (and, during a set, the configuration lock the
// agent waits on) until something wrote to it.
FILE *open_config(struct stat *sb)
{
    int fd = fd_openregular(sysroot_path(SP_CONFIG), O_RDONLY, sb);
    if (fd < 0)
        return nullptr;
    FILE *fp = fdopen(fd, "r");
    if (fp == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return fp;
}

} // namespace

int be_exist(const char *str, const char *line)
{
    if (str == nullptr || line == nullptr)
        return 0;
    return strncmp(line, str, strlen(str)) == 0;
}

int xbe_exist(const char *str, const char *line)
{
    return be_exist(str, line) && line[strlen(str)] == ' ';
}

const char *key_exist(const char *key, const char *line)
{
    if (key == nullptr || line == nullptr)
        return nullptr;
    while (*line == ' ')
        line++;
    return xbe_exist(key, line) ? line + strlen(key) : nullptr;
}

int get_config_key(const char *section, const char *key, FILE *out)
{
    struct stat sb;
    FILE *fp = open_config(&sb);
    if (fp == nullptr) {
        if (errno != ENOENT)
            report_open_error();
        return -1;
    }
    // Keys such as the users' "Name" repeat in every section: a section
    // that heads a part of the file narrows the search to that part, as a
    // set there would change it.  Any other text leaves the whole file, as
    // callers have always had it.
    enum { ANYWHERE, BEFORE, IN } state = wp_isnull(section) ? ANYWHERE : BEFORE;
    char *line = nullptr;
    char *first = nullptr; // the first entry anywhere, while no head matched
    size_t cap = 0;
    ssize_t n;
    int rc = -1;
    while ((n = getline(&line, &cap, fp)) > 0) {
        if (state == BEFORE && line[0] == '[' && be_exist(section, line)) {
            state = IN;
            continue;
        }
        // The end of the section as the set form sees it.
        if (state == IN && xbe_exist("[", line))
            break;
        const char *k = key_exist(key, line);
        if (k == nullptr || (state == BEFORE && first != nullptr))
            continue;
        // The value starts past " = "; a shorter line has none.
        const char *end = line + n;
        const char *v = end - k > 3 ? k + 3 : end;
        if (state == BEFORE) {
            first = strndup(v, static_cast<size_t>(end - v));
            if (first == nullptr)
                break;
            continue;
        }
        fwrite(v, 1, static_cast<size_t>(end - v), out);
        rc = 0;
        break;
    }
    bool failed = ferror(fp) != 0;
    if (rc != 0 && state == BEFORE && first != nullptr && !failed) {
        fputs(first, out);
        rc = 0;
    }
    if (rc != 0 && failed)
        report_open_error();
    free(first);
    free(line);
    fclose(fp);
    return rc;
}

int set_config_file(const char *section, const char *key, const char *value)
{
    if (wp_isnull(section) || wp_isnull(key) || value == nullptr)
        return -1;
    // A line feed would start lines of the caller's choosing, such as a
    // command entry, in a file the root daemon trusts.
    if (strchr(section, '\n') != nullptr || strchr(key, '\n') != nullptr ||
        strchr(value, '\n') != nullptr)
        return -1;
    // Every line written must read back whole through the agent's line
    // buffer, line feed included.
    const size_t fits = FILEHANDLE_LINE_MAX - 1;
    if (strlen(section) + 1 > fits || strlen(key) + strlen(value) + 4 > fits)
        return -1;

    char tmpl[PATH_MAX];
    int lockfd = -1;
    if (work_template(tmpl, sizeof tmpl) != 0 || (lockfd = utils_cfglock()) < 0) {
        report_open_error();
        return -1;
    }
    // Read only under the lock: a run that read before another's rename
    // would write that run's change away.
    int rc = -1;
    struct stat sb;
    FILE *src = open_config(&sb);
    if (src == nullptr && errno == ENOENT)
        rc = replace_file(nullptr, nullptr, tmpl, section, key, value);
    else if (src != nullptr)
        rc = replace_file(src, &sb, tmpl, section, key, value);
    if (src != nullptr)
        fclose(src);
    // Until the directory is on disk, a power cut may bring the old file back.
    if (rc == 0 && fd_syncdirof(sysroot_path(SP_CONFIG)) != 0)
        rc = -1;
    close(lockfd);
    if (rc != 0)
        report_open_error();
    return rc;
}
