// The event log and the data log: appending, capping to a number of lines,
// reading ranges back as records, and the memory of the two latest events.
//
// Both files are plain text with lines of a nominal width, so a line count is
// the file size divided by that width and nothing else needs to be stored.
// The lines are turned back into records in ea_logline.cpp.
#include "ea/ea_history.h"

#include "agent/fdutil.h"
#include "agent/strings.h"
#include "agent/sysclock.h"
#include "agent/sysroot.h"
#include "ea/ea_log.h"
#include "ea/ea_state.h"
#include "ea/ea_time.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libintl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Longest line the readers keep, as the files have always been read; the
// rest of a longer line is dropped with it.
constexpr int eventline_max = 79;
constexpr int dataline_max = 89;
static_assert(eventline_max < 128 && dataline_max < 128);

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, file_closer>;

File open_reader(const char *path, struct stat *sb)
{
    int fd = fd_openregular(path, O_RDONLY, sb);
    if (fd < 0)
        return File(nullptr);
    FILE *f = fdopen(fd, "r");
    if (f == nullptr)
        close(fd);
    return File(f);
}

// The log for appending; a new one is private to root and group 1.  -1
// after the matching diagnostic.
int open_log(const char *path, const char *create_msg, const char *open_msg)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        // An unprivileged test run cannot give the file away and keeps it.
        if (fchown(fd, 0, 1) != 0) {
        }
        if (fchmod(fd, 0600) != 0) {
            close(fd);
            Ea_log(create_msg);
            return -1;
        }
        return fd;
    }
    if (errno != EEXIST) {
        Ea_log(create_msg);
        return -1;
    }
    struct stat sb;
    fd = fd_openregular(path, O_WRONLY | O_APPEND, &sb);
    if (fd < 0)
        Ea_log(open_msg);
    return fd;
}

// Appends a formatted line, then caps the log.  A log that cannot be opened
// loses the line without an error, as the event itself is not lost.
int append_line(const char *path, const char *line, size_t len, int linelimit, int width,
                const char *create_msg, const char *open_msg)
{
    Fd fd(open_log(path, create_msg, open_msg));
    if (fd.get() < 0)
        return 0;
    int rc = fd_writeall(fd.get(), line, len);
    if (fd.close_now() != 0)
        rc = -1;
    if (lengthcheck(path, linelimit, width) != 0)
        rc = -1;
    return rc;
}

// Copies what follows the first skip lines of in to out.
int copy_after(int in, int out, long long skip)
{
    static char buf[1 << 16];
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0 ? 0 : -1;
        const char *p = buf;
        size_t left = static_cast<size_t>(n);
        while (skip > 0 && left > 0) {
            const char *nl = static_cast<const char *>(memchr(p, '\n', left));
            if (nl == nullptr) {
                left = 0;
                break;
            }
            left -= static_cast<size_t>(nl + 1 - p);
            p = nl + 1;
            skip--;
        }
        if (left > 0 && fd_writeall(out, p, left) != 0)
            return -1;
    }
}

// Puts the file's last lines in its place through a work file renamed over
// it, so that a crash or power cut at any moment leaves the old log or the
// trimmed one, never a torn or empty one.  The log keeps its owner and mode.
int replace_with_tail(const char *file, int in, const struct stat *old, long long skip)
{
    char tmp[PATH_MAX];
    int n = snprintf(tmp, sizeof tmp, "%s.XXXXXX", file);
    if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) {
        Ea_log("Cannot open file");
        return -1;
    }
    Fd out(mkostemp(tmp, O_CLOEXEC));
    if (out.get() < 0) {
        Ea_log("Cannot open file");
        return -1;
    }
    struct stat now;
    bool ok = fstat(out.get(), &now) == 0;
    if (ok && (now.st_uid != old->st_uid || now.st_gid != old->st_gid))
        ok = fchown(out.get(), old->st_uid, old->st_gid) == 0;
    // After fchown, which may clear set-id bits.
    ok = ok && fchmod(out.get(), old->st_mode & 07777) == 0;
    ok = ok && copy_after(in, out.get(), skip) == 0 && fsync(out.get()) == 0;
    if (out.close_now() != 0)
        ok = false;
    if (!ok || rename(tmp, file) != 0) {
        unlink(tmp);
        Ea_log("lengthcheck: cannot rewrite file");
        return -1;
    }
    // Until the directory is on disk, a power cut may bring the old log back.
    return fd_syncdirof(file);
}

// Reads one line, keeping at most size - 1 characters of it.  1 for a line,
// 0 at the end of the file.
int read_line(FILE *f, char *buf, size_t size)
{
    if (fgets(buf, static_cast<int>(size), f) == nullptr)
        return 0;
    size_t n = strlen(buf);
    if (n == size - 1 && buf[n - 1] != '\n') {
        int c;
        while ((c = getc(f)) != EOF && c != '\n') {
        }
    }
    return 1;
}

// Lines are at most maxline (below 128) characters long as the readers see them.
int skip_lines(FILE *f, long n, size_t maxline)
{
    char buf[128];
    for (long i = 0; i < n; i++)
        if (read_line(f, buf, maxline + 1) == 0)
            return -1;
    return 0;
}

long count_lines(FILE *f, size_t maxline)
{
    long n = 0;
    char buf[128];
    while (read_line(f, buf, maxline + 1) != 0)
        n++;
    return n;
}

// Reads lines [start, start + counts) of a log into a new array of records;
// with start < 0 the last counts lines.  The array holds no more records
// than the file has lines, whatever count a monitor asked for.
template <typename Rec>
int read_block(const char *path, const char *open_msg, long start, int counts, int maxline,
               int (*parse)(const char *, Rec *), Rec **array, int32_t *rnum)
{
    *array = nullptr;
    *rnum = 0;
    struct stat sb;
    File f = open_reader(path, &sb);
    if (f == nullptr) {
        Ea_log(open_msg);
        return -1;
    }
    if (counts <= 0)
        return -1;
    long total = count_lines(f.get(), static_cast<size_t>(maxline));
    if (start < 0)
        start = total > counts ? total - counts : 0;
    if (start > total)
        return -1;
    long n = total - start < counts ? total - start : counts;
    Rec *recs = static_cast<Rec *>(calloc(static_cast<size_t>(n > 0 ? n : 1), sizeof(Rec)));
    if (recs == nullptr) {
        Ea_log("Not enough memory");
        return -1;
    }
    rewind(f.get());
    if (skip_lines(f.get(), start, static_cast<size_t>(maxline)) != 0) {
        free(recs);
        return -1;
    }
    char line[128];
    long got = 0;
    while (got < n && read_line(f.get(), line, static_cast<size_t>(maxline) + 1) != 0)
        parse(line, &recs[got++]); // a bad line stays a record, as far as it parsed
    *array = recs;
    *rnum = static_cast<int32_t>(got);
    return 0;
}

// The last two complete lines of the event log into the two-event memory
// (one line: only the newer entry).  Taken from the end of the file, so
// lines of any length are found; a last line cut by a crash is left out.
void load_lasttwo(int fd, off_t size)
{
    char tail[3 * (eventline_max + 1)];
    off_t from =
        size > static_cast<off_t>(sizeof tail) ? size - static_cast<off_t>(sizeof tail) : 0;
    ssize_t got = pread(fd, tail, static_cast<size_t>(size - from), from);
    if (got <= 0)
        return;
    ssize_t end = got; // one past the last newline
    while (end > 0 && tail[end - 1] != '\n')
        end--;
    ssize_t begin = 0;
    if (from > 0) // the first line was cut by the window
        while (begin < end && tail[begin++] != '\n') {
        }
    // Line starts, newest last; each line keeps its newline for the parser.
    ssize_t starts[2] = {-1, -1};
    for (ssize_t i = begin; i < end; i++)
        if (i == begin || tail[i - 1] == '\n') {
            starts[0] = starts[1];
            starts[1] = i;
        }
    ssize_t stops[2] = {starts[1], end};
    for (int k = 0; k < 2; k++) {
        if (starts[k] < 0)
            continue;
        char line[sizeof tail + 1];
        size_t len = static_cast<size_t>(stops[k] - starts[k]);
        memcpy(line, tail + starts[k], len);
        line[len] = '\0';
        evelogtoinfo(line, &ea_st.last2event[k]);
    }
}

} // namespace

int eventlog(int id, int linelimit, int eventID, const char *computername)
{
    UPS_TIMEINFO t;
    if (gettime(sysclock_time(), &t) != 0)
        return -1;
    char line[96];
    // The name is cut to its field so that every line keeps the width the
    // line count is derived from.
    int n = snprintf(line, sizeof line, "%2i/%2i/%4i %2i:%2i:%2i %3i %3i %15.15s\n", t.day, t.month,
                     t.year + 1900, t.hour, t.minute, t.second, id, eventID,
                     computername != nullptr ? computername : "");
    if (n < 0 || static_cast<size_t>(n) >= sizeof line)
        return -1;
    return append_line(sysroot_path(SP_EVENTLOG), line, static_cast<size_t>(n), linelimit,
                       EA_EVELINEWIDTH, "Evelog:Cannot create Evelogfile",
                       "event log:Cannot open Evtlogfile");
}

int datalog(const UPSDATA *d, int linelimit)
{
    if (d == nullptr)
        return -1;
    if (d->InPutINT == 0 && d->InPutREM == 0 && d->OutPutINT == 0 && d->OutPutREM == 0 &&
        d->Load == 0 && d->FreqInputINT == 0 && d->FreqInputREM == 0 && d->TempINT == 0 &&
        d->TempREM == 0 && d->BattVolINT == 0 && d->BattVolREM == 0 && d->FreqOutputINT == 0 &&
        d->FreqOutputREM == 0 && d->BattCap == 0)
        return 0;
    UPS_TIMEINFO t;
    if (gettime(sysclock_time(), &t) != 0)
        return -1;
    char line[128];
    int n = snprintf(
        line, sizeof line,
        "%2i/%2i/%4i %2i:%2i:%2i,%3i.%1i,%3i.%1i,%3i,%2i.%1i,%2i.%1i,%2i.%1i,%2i.%1i,%3i\n", t.day,
        t.month, t.year + 1900, t.hour, t.minute, t.second, d->InPutINT, d->InPutREM, d->OutPutINT,
        d->OutPutREM, d->Load, d->FreqInputINT, d->FreqInputREM, d->TempINT, d->TempREM,
        d->BattVolINT, d->BattVolREM, d->FreqOutputINT, d->FreqOutputREM, d->BattCap);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line)
        return -1;
    return append_line(sysroot_path(SP_DATALOG), line, static_cast<size_t>(n), linelimit,
                       EA_DATALINEWIDTH, "datalog:Cannot create Datalog file",
                       "datalog:Cannot open Datalogfile");
}

int lengthcheck(const char *file, int line, int width)
{
    if (file == nullptr || width <= 0)
        return -1;
    struct stat sb;
    Fd in(fd_openregular(file, O_RDONLY, &sb));
    if (in.get() < 0) {
        Ea_log("Cannot open file");
        return -1;
    }
    long long count = sb.st_size / width;
    // The configured limits are unsigned; one too large for line arrives
    // negative and means "keep everything", not "keep nothing".
    if (line < 0 || count <= line)
        return 0;
    return replace_with_tail(file, in.get(), &sb, count - line);
}

int geteventlog(LOGRANGE *range, EVENTLOGARRAY *evelogarray)
{
    if (range == nullptr || evelogarray == nullptr)
        return -1;
    return read_block(sysroot_path(SP_EVENTLOG), gettext("Cannot open Evelogfile"),
                      range->firstline > 0 ? range->firstline : 0, range->counts, eventline_max,
                      evelogtoinfo, &evelogarray->eventlogarray, &evelogarray->rnum);
}

int getdatalog(LOGRANGE *range, DATALOGARRAY *dlogarray)
{
    if (range == nullptr || dlogarray == nullptr)
        return -1;
    // 0 asks for the newest lines; any other start picks the block from
    // that line on, as for the event log.
    return read_block(sysroot_path(SP_DATALOG), "getdatalog:Cannot open Datalogfile",
                      range->firstline > 0 ? range->firstline : -1, range->counts, dataline_max,
                      datalogtoinfo, &dlogarray->datalogarray, &dlogarray->rnum);
}

int getlasttwoevents(UPS_EVENTLOGINFO *lastevents)
{
    if (lastevents == nullptr)
        return -1;
    if (ea_st.eventinitialized == 0 && ea_st.EVENTLOGENABLED) {
        struct stat sb;
        Fd fd(fd_openregular(sysroot_path(SP_EVENTLOG), O_RDONLY, &sb));
        if (fd.get() < 0) {
            Ea_log("getlasttwoevents:Cannot open Evelogfile");
            return -1;
        }
        if (sb.st_size / EA_EVELINEWIDTH > 0)
            load_lasttwo(fd.get(), sb.st_size);
        ea_st.eventinitialized = 1;
    }
    memcpy(lastevents, ea_st.last2event, sizeof ea_st.last2event);
    return 0;
}

int updatelastevent(int id, int downid, const char *computername)
{
    UPS_EVENTLOGINFO *e = &ea_st.last2event[1];
    e->EventId = static_cast<uint8_t>(id);
    e->byDownToEvt = static_cast<int8_t>(downid);
    wp_strlcpy(e->AgentName, computername, sizeof e->AgentName);
    return gettime(sysclock_time(), &e->timeinfo);
}
