#include "ea/filehandle.h"

#include "agent/agent_utils.h"
#include "agent/fdutil.h"
#include "agent/strings.h"
#include "agent/sysroot.h"
#include "ea/ea_log.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The longest text one edit writes is a new entry whose line is as long as a
// line may be, with an empty line before and after it; twice the line buffer
// leaves room to format anything longer and see that it does not fit.
constexpr size_t text_max = 2 * FILEHANDLE_LINE_MAX;

struct filehandle_state {
    char rbuf[FILEHANDLE_LINE_MAX]; // readparam's results point here
    char line[FILEHANDLE_LINE_MAX]; // the editor's line being examined
    char text[text_max];            // the text the editor writes
    char *edit;                     // the editor's copy of the file
    size_t len;                     // bytes in edit
    size_t cap;                     // bytes allocated for edit
    size_t pos;                     // the editor's read position
    size_t line_start;              // where the editor's current line began
    size_t ins_at;                  // where the last insert put its text
    size_t ins_len;
    int holds;    // filehandle_hold calls not yet released
    bool snap_ok; // snap holds the file for the holds
    std::string snap;
    bool body_ok; // body_at is where body_of's body starts in snap
    std::string body_of;
    long body_at;
};

filehandle_state st;

void edit_free()
{
    free(st.edit);
    st.edit = nullptr;
    st.len = st.cap = st.pos = st.line_start = st.ins_at = st.ins_len = 0;
}

// Where the line starting at from ends in the editor's copy, cut where fgets
// into the line buffer would cut it, so that the editor and readparam agree
// on every line, long ones included.
size_t piece_end(size_t from)
{
    size_t i = from;
    while (i < st.len && i - from < FILEHANDLE_LINE_MAX - 1) {
        if (st.edit[i++] == '\n')
            break;
    }
    return i;
}

// The next line into buf: from fp for readparam, from the editor's copy when
// fp is null.  0 at the end.
int next_line(FILE *fp, char *buf)
{
    if (fp != nullptr)
        return fgets(buf, FILEHANDLE_LINE_MAX, fp) != nullptr;
    if (st.pos >= st.len)
        return 0;
    size_t end = piece_end(st.pos);
    memcpy(buf, st.edit + st.pos, end - st.pos);
    buf[end - st.pos] = '\0';
    st.line_start = st.pos;
    st.pos = end;
    return 1;
}

// The closing ']' of the first head of section, or null at the end.  The
// reader reports a cut head on the console, the editor to the sink; either
// way the search goes on.
char *find_section(FILE *fp, char *buf, const char *section)
{
    size_t n = wp_strlen(section);
    while (next_line(fp, buf)) {
        if (buf[0] != '[')
            continue;
        char *p = buf + 1;
        while (*p == ' ')
            p++;
        size_t l = strlen(p);
        if (l == 0 || p[l - 1] != '\n') {
            if (fp != nullptr) {
                fputs("\nErrNo.2 line too long\n", stdout);
                fflush(stdout);
            } else {
                Ea_log("writeparam:line too long");
            }
            continue;
        }
        p[l - 1] = '\0';
        if (n > 0 && strncmp(p, section, n) != 0)
            continue;
        p += n;
        while (*p == ' ')
            p++;
        if (*p == ']')
            return p;
    }
    return nullptr;
}

enum key_search { KEY_FOUND, KEY_AT_HEAD, KEY_AT_END };

// Searches the section body that follows the head just read for the first
// entry of key (not empty); on KEY_FOUND *value points at its value in buf.
key_search find_key(FILE *fp, char *buf, const char *key, char **value)
{
    size_t n = strlen(key);
    while (next_line(fp, buf)) {
        if (buf[0] == '[')
            return KEY_AT_HEAD;
        char *p = buf;
        while (*p == ' ')
            p++;
        size_t l = strlen(p);
        if (l == 0 || p[l - 1] != '\n')
            continue;
        p[l - 1] = '\0';
        if (strncmp(p, key, n) != 0)
            continue;
        p += n;
        bool eq = false;
        while (*p == ' ' || *p == '=') {
            if (*p == '=')
                eq = true;
            p++;
        }
        if (eq) {
            *value = p;
            return KEY_FOUND;
        }
    }
    return KEY_AT_END;
}

// Whether every line that the last insert wrote into still fits the line
// buffer with its line feed: a longer one could never be read back.
bool inserted_lines_fit()
{
    size_t i = st.ins_at;
    while (i > 0 && st.edit[i - 1] != '\n')
        i--;
    size_t last = st.ins_len > 0 ? st.ins_at + st.ins_len - 1 : st.ins_at;
    while (i <= last && i < st.len) {
        size_t e = i;
        while (e < st.len && st.edit[e] != '\n')
            e++;
        if (e - i + 1 > FILEHANDLE_LINE_MAX - 1)
            return false;
        i = e + 1;
    }
    return true;
}

// Reads the whole file into the editor's copy, with room for a repairing
// line feed.  *existed is false for a missing file, which is then empty.
int load_config(struct stat *sb, bool *existed)
{
    edit_free();
    st.cap = 4096;
    st.edit = static_cast<char *>(malloc(st.cap));
    if (st.edit == nullptr) {
        Ea_log("writeparam: out of memory\n");
        return -1;
    }
    int fd = fd_openregular(sysroot_path(SP_CONFIG), O_RDONLY, sb);
    if (fd < 0) {
        if (errno == ENOENT) {
            *existed = false;
            return 0;
        }
        Ea_log("writeparam: cannot open config file\n");
        return -1;
    }
    *existed = true;
    for (;;) {
        if (st.cap - st.len < 2) {
            char *p = st.cap <= SIZE_MAX / 2 ? static_cast<char *>(realloc(st.edit, st.cap * 2))
                                             : nullptr;
            if (p == nullptr) {
                close(fd);
                Ea_log("writeparam: out of memory\n");
                return -1;
            }
            st.edit = p;
            st.cap *= 2;
        }
        ssize_t n = read(fd, st.edit + st.len, st.cap - st.len - 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            Ea_log("writeparam: cannot open config file\n");
            return -1;
        }
        if (n == 0)
            break;
        st.len += static_cast<size_t>(n);
    }
    close(fd);
    return 0;
}

// Puts the editor's copy in place of the file so that a crash at any moment
// leaves either the old or the new file, never a torn one: the daemon runs as
// root and an empty or cut configuration would take its settings, events and
// shutdown commands with it.  The new file takes the old one's owner and mode;
// a first file is not writable by others, since whoever can edit it chooses
// the commands that root runs.
int commit(const struct stat *old)
{
    const char *path = sysroot_path(SP_CONFIG);
    char tmp[PATH_MAX];
    int n = snprintf(tmp, sizeof tmp, "%s.XXXXXX", path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) {
        Ea_log("writeparam: Cannot create config file");
        return -1;
    }
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0) {
        Ea_log("writeparam: Cannot create config file");
        return -1;
    }
    struct stat now;
    bool ok = fstat(fd, &now) == 0;
    if (ok && old != nullptr && (now.st_uid != old->st_uid || now.st_gid != old->st_gid))
        ok = fchown(fd, old->st_uid, old->st_gid) == 0;
    // After fchown, which may clear set-id bits.
    if (ok)
        ok = fchmod(fd, old != nullptr ? old->st_mode & 07777 : 0644) == 0;
    if (ok)
        ok = fd_writeall(fd, st.edit, st.len) == 0 && fsync(fd) == 0;
    if (close(fd) != 0)
        ok = false;
    if (!ok || rename(tmp, path) != 0) {
        unlink(tmp);
        Ea_log("writeparam: cannot write config file\n");
        return -1;
    }
    // Until the directory is on disk, a power cut may bring the old name back.
    if (fd_syncdirof(path) != 0) {
        Ea_log("writeparam: cannot sync config directory\n");
        return -1;
    }
    return 0;
}

// Formats text into the editor's text buffer and inserts it; refused when a
// line it writes would not read back.
__attribute__((format(printf, 2, 3))) int put_text(long back, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(st.text, sizeof st.text, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= sizeof st.text) {
        Ea_log("writeparam: line would be too long, refused\n");
        return -1;
    }
    if (insert(back, st.text) != 0)
        return -1;
    if (!inserted_lines_fit()) {
        Ea_log("writeparam: line would be too long, refused\n");
        return -1;
    }
    return 0;
}

// Applies one writeparam to the editor's copy; sets *changed when it
// inserts anything (and never clears it, so a batch gathers it).
int edit_config(const char *section, const char *cp, const char *content, bool *changed)
{
    // A hand-edited last line without its line feed would stay unreadable
    // and its key would be added again after it; ending it lets the edit
    // find and replace it.
    if (st.len > 0 && st.edit[st.len - 1] != '\n')
        st.edit[st.len++] = '\n';
    st.pos = 0;
    bool created = false;
    if (find_section(nullptr, st.line, section) == nullptr) {
        // The search has left the position at the end of the file.
        if (put_text(0, "\n[ %s ]\n", section) != 0)
            return -1;
        *changed = created = true;
    }
    if (wp_isnull(cp))
        return 0;
    if (created)
        return put_text(0, "\n %s = %s\n", cp, content);
    char *value = nullptr;
    int rc;
    switch (find_key(nullptr, st.line, cp, &value)) {
    case KEY_FOUND: {
        // Back from the end of the line to the old value's first character,
        // so the key and its separator stay as the hand that wrote them.
        size_t from = st.line_start + static_cast<size_t>(value - st.line);
        rc = put_text(-static_cast<long>(st.pos - from), "%s\n", content);
        break;
    }
    case KEY_AT_HEAD:
        // In place of the line feed before the next head, so the entry joins
        // this section and an empty line still parts it from the next.
        rc =
            put_text(-static_cast<long>(st.pos - st.line_start + 1), "\n %s = %s\n\n", cp, content);
        break;
    default:
        rc = put_text(0, "\n %s = %s\n", cp, content);
        break;
    }
    *changed = true;
    return rc;
}

// The configuration file for readparam, or null when it cannot be opened or
// is not a regular file.
FILE *open_for_reading()
{
    struct stat sb;
    int fd = fd_openregular(sysroot_path(SP_CONFIG), O_RDONLY, &sb);
    if (fd < 0)
        return nullptr;
    FILE *fp = fdopen(fd, "r");
    if (fp == nullptr)
        close(fd);
    return fp;
}

// The held copy of the file for readparam, read at the first lookup of a
// hold; null when there is no hold, the file cannot be read or is empty (the
// file itself then answers, as without a hold).
FILE *open_held()
{
    if (st.holds <= 0)
        return nullptr;
    if (!st.snap_ok) {
        FILE *fp = open_for_reading();
        if (fp == nullptr)
            return nullptr;
        st.snap.clear();
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
            st.snap.append(buf, n);
        st.snap_ok = ferror(fp) == 0;
        st.body_ok = false;
        fclose(fp);
    }
    if (!st.snap_ok || st.snap.empty())
        return nullptr;
    return fmemopen(st.snap.data(), st.snap.size(), "r");
}

} // namespace

void filehandle_hold(void)
{
    st.holds++;
}

void filehandle_release(void)
{
    if (st.holds > 0 && --st.holds == 0) {
        st.snap_ok = false;
        st.snap.clear();
        st.snap.shrink_to_fit();
    }
}

int filehandle_init(void)
{
    filehandle_fini();
    return 0;
}

void filehandle_fini(void)
{
    edit_free();
    st = filehandle_state{};
}

char *readparam(const char *section, const char *cp)
{
    FILE *fp = open_held();
    bool held = fp != nullptr;
    if (!held)
        fp = open_for_reading();
    if (fp == nullptr) {
        Ea_log("Cannot open config file\n");
        return nullptr;
    }
    // Lookups in a held copy mostly ask one section for key after key: the
    // copy cannot change, so the body of the last section found is where
    // the next lookup of a key in it starts.
    bool same = held && st.body_ok && !wp_isnull(cp) && st.body_of == (section ? section : "");
    char *result = nullptr;
    if (same && fseek(fp, st.body_at, SEEK_SET) == 0) {
        result = st.rbuf;
    } else {
        result = find_section(fp, st.rbuf, section);
        if (held && result != nullptr) {
            st.body_of = section ? section : "";
            st.body_at = ftell(fp);
            st.body_ok = st.body_at >= 0;
        }
    }
    if (result != nullptr && cp != nullptr) {
        char *value = nullptr;
        if (cp[0] == '\0')
            result = st.rbuf;
        else
            result = find_key(fp, st.rbuf, cp, &value) == KEY_FOUND ? value : nullptr;
    }
    fclose(fp);
    return result;
}

int checkparam(const char *section, const char *cp, const char *content)
{
    if (wp_isnull(section)) {
        Ea_log("writeparam: no section given, refused\n");
        return -1;
    }
    // A line feed would let a caller's text start lines of its own, such as
    // a command entry, in a file the root daemon trusts.
    if (strchr(section, '\n') != nullptr || (cp != nullptr && strchr(cp, '\n') != nullptr) ||
        (content != nullptr && strchr(content, '\n') != nullptr)) {
        Ea_log("writeparam: line feed in section, key or value, refused\n");
        return -1;
    }
    return 0;
}

int writeparam(const char *section, const char *cp, const char *content)
{
    const PARAMWRITE item = {section, cp, content};
    return writeparams(&item, 1);
}

int writeparams(const PARAMWRITE *items, int n)
{
    if (n == 0)
        return 0;
    if (items == nullptr || n < 0)
        return -1;
    for (int i = 0; i < n; i++) {
        if (checkparam(items[i].section, items[i].cp, items[i].content) != 0)
            return -1;
    }
    // The configuration helper edits the same file from other processes;
    // both hold this lock across the whole read, edit and replace, so that
    // neither loses the other's change.  The lock is tried for a bounded
    // time only: the daemon's loop, and a shutdown countdown with it, must
    // never wait on it for long.
    int lockfd = utils_cfglock();
    if (lockfd < 0) {
        Ea_log("writeparam: configuration lock not taken\n");
        return -1;
    }
    struct stat old;
    bool existed = false;
    bool changed = false;
    int rc = load_config(&old, &existed);
    // All changes are made to the copy first: the file sees all of them or
    // none, and pays for one synced replacement however many there are.
    for (int i = 0; rc == 0 && i < n; i++) {
        const char *content = items[i].content != nullptr ? items[i].content : "";
        rc = edit_config(items[i].section, items[i].cp, content, &changed);
    }
    if (rc == 0 && changed)
        rc = commit(existed ? &old : nullptr);
    edit_free();
    close(lockfd);
    // A held copy would hide the change from this process's next lookups.
    st.snap_ok = false;
    return rc;
}

int insert(long back, const char *s)
{
    // Magnitude without negating LONG_MIN.
    size_t mag = back < 0 ? static_cast<size_t>(-(back + 1)) + 1 : static_cast<size_t>(back);
    size_t at;
    if (back < 0) {
        if (mag > st.pos)
            return -1;
        at = st.pos - mag;
    } else {
        if (mag > st.len - st.pos)
            return -1;
        at = st.pos + mag;
    }
    size_t tail = at;
    if (back != 0) {
        if (at >= st.len)
            return -1;
        tail = piece_end(at);
    }
    size_t slen = wp_strlen(s);
    size_t newlen = at + slen + (st.len - tail);
    char *p = static_cast<char *>(malloc(newlen + 2));
    if (p == nullptr) {
        Ea_log("insert: out of memory\n");
        return -1;
    }
    if (at > 0)
        memcpy(p, st.edit, at);
    if (slen > 0)
        memcpy(p + at, s, slen);
    if (st.len > tail)
        memcpy(p + at + slen, st.edit + tail, st.len - tail);
    p[newlen] = '\0';
    free(st.edit);
    st.edit = p;
    st.len = newlen;
    st.cap = newlen + 2;
    st.pos = newlen;
    st.ins_at = at;
    st.ins_len = slen;
    return 0;
}
