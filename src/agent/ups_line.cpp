// The serial line to the UPS: choosing and setting up the port, the command
// exchange, the reply reader, and the proof that a UPS answers.
#include "agent/agent_ups.h"

#include "agent/agent_log.h"
#include "agent/strings.h"
#include "agent/sysroot.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <libintl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

ups_state ups_st;

int ups_usable(AGENTP ap)
{
    return ap != nullptr && ap->aip != nullptr;
}

void ups_closeport(void)
{
    if (ups_st.comfd >= 0)
        close(ups_st.comfd);
    ups_st.comfd = -1;
}

void ups_flushline(void)
{
    if (ups_st.comfd >= 0)
        tcflush(ups_st.comfd, TCIOFLUSH);
}

int ups_isnak(const char *buf, int n)
{
    return buf != nullptr && n >= 3 && memcmp(buf, "NAK", 3) == 0;
}

namespace
{

// Before a command: whatever the UPS sent so far is stale and goes, so that
// a late reply to an earlier command cannot pass for this one's.  Our own
// output goes only when it is stuck (the UPS holds the line with XOFF): a
// command sent without awaiting a reply may still be on the wire, and
// discarding it would cut it short.  One command takes at most about 50 ms
// at 2400 baud.
void flush_before_command()
{
    int fd = ups_st.comfd;
    tcflush(fd, TCIFLUSH);
    int queued = 0;
    for (int i = 0; i < 20 && ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0; i++)
        usleep(5000);
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued > 0)
        tcflush(fd, TCOFLUSH);
}

// perror with a translated text that names the port.
void report(const char *fmt, const char *port)
{
    int saved = errno;
    char msg[320];
    snprintf(msg, sizeof msg, fmt, port);
    errno = saved;
    perror(msg);
}

int cominit_port(int fd, const char *port)
{
    int fl = fcntl(fd, F_GETFL);
    if (fl == -1) {
        report(gettext("ups_cominit: cannot get status of port %s:"), port);
        return -1;
    }
    // Blocking from here on: readiness is always tested with select first.
    if (fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) == -1) {
        report(gettext("ups_cominit: cannot set status of port %s:"), port);
        return -1;
    }
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        report(gettext("ups_cominit: cannot get %s settings:"), port);
        return -1;
    }
    // 2400 8N1; whatever else the port had stays as found.
    t.c_cflag &= ~(CBAUD | CSTOPB | PARENB);
    t.c_cflag |= B2400 | CS8 | CLOCAL;
    // The UPS ends its lines with CR; ICRNL lets the reader look for '\n'.
    t.c_iflag &= ~(ISTRIP | IGNCR);
    t.c_iflag |= ICRNL | IXON | IXOFF;
    t.c_oflag &= ~(ONLCR | ONOCR);
    t.c_lflag &= ~(ICANON | ECHO);
    t.c_lflag |= FLUSHO;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 10;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        report(gettext("ups_cominit: cannot set %s settings:"), port);
        return -1;
    }
    return 0;
}

// Opens comlist[i] into comfd and sets the line up.  probe: the port search,
// where a missing device is skipped without a word.
int open_port(int i, bool probe)
{
    const char *path = ups_st.comlist[i];
    struct stat sb;
    if (probe && stat(path, &sb) != 0)
        return -1;
    // Close-on-exec: the port belongs to this process, not to anything it
    // may start.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const char *why = strerror(errno);
        printf0("\n");
        printf0("OPEN COM\n");
        printf0(why);
        printf0("\n");
        return -1;
    }
    if (!isatty(fd) || cominit_port(fd, path) != 0) {
        close(fd);
        return -1;
    }
    ups_st.comfd = fd;
    return 0;
}

// 0 with a UPS answering on comlist[i], -1 when the port cannot be used, -2
// when it can but nothing answers; comfd is -1 after any failure.
int try_port(AGENTP ap, int i)
{
    if (open_port(i, true) != 0)
        return -1;
    if (ups_q1(ap, 4) != 0) {
        ups_closeport();
        return -2;
    }
    return 0;
}

// Waits up to wait_us for one byte; 1 when c holds it, else 0.
int read_byte(int fd, long wait_us, char *c)
{
    if (fd >= FD_SETSIZE)
        return 0;
    fd_set rf;
    FD_ZERO(&rf);
    FD_SET(fd, &rf);
    struct timeval tv = {wait_us / 1000000, wait_us % 1000000};
    if (select(fd + 1, &rf, nullptr, nullptr, &tv) <= 0)
        return 0;
    return read(fd, c, 1) == 1 ? 1 : 0;
}

// Bytes of a notice's line that are passed over after a short read.
constexpr int wake_rest_max = 64;

bool is_wake(const char *buf, int count)
{
    return count >= 4 && memcmp(buf, "WAKE", 4) == 0;
}

} // namespace

void ups_init(void)
{
    if (ups_st.inited)
        ups_closeport();
    ups_st = ups_state{};
    ups_st.inited = 1;
    ups_st.comfd = -1;
    ups_st.comid = -1;
    ups_st.gb_upstest_ok = 1;
    ups_st.u_status = &ups_st.upsstatus;
    for (int i = 0; i < UPS_NPORTS; i++)
        wp_strlcpy(ups_st.comlist[i], sysroot_ttypath(i), sizeof ups_st.comlist[i]);
}

void ups_fini(void)
{
    if (ups_st.inited)
        ups_closeport();
    ups_st = ups_state{};
    ups_st.comfd = -1;
    ups_st.comid = -1;
    ups_st.u_status = &ups_st.upsstatus;
}

int ups_cominit(AGENTP ap)
{
    if (!ups_usable(ap) || ups_st.comfd < 0)
        return -1;
    const char *port = ups_st.comid >= 0 ? ups_st.comlist[ups_st.comid] : "";
    return cominit_port(ups_st.comfd, port);
}

int ups_comsearch(AGENTP ap)
{
    if (!ups_usable(ap))
        return -1;
    int32_t *comset = &ap->aip->ups.up.workparam.ComSet;
    if (*comset == COMSET_NOUPS)
        return -1;
    if (*comset < 0 || *comset > UPS_NPORTS)
        *comset = 0;
    ups_closeport();
    if (*comset == 0) {
        for (int i = 0; i < UPS_NPORTS; i++) {
            if (try_port(ap, i) == 0) {
                ups_st.comid = i;
                return i;
            }
        }
        ups_st.comid = -1;
        return -1;
    }
    int i = *comset - 1;
    int rc = try_port(ap, i);
    if (rc == 0) {
        ups_st.comid = i;
        return i;
    }
    if (rc == -2)
        ups_st.comid = -1;
    return -1;
}

int ups_comsearch_model(AGENTP ap)
{
    if (ups_comsearch(ap) < 0)
        return -1;
    int n = ups_getupsmodel(ap, 1);
    if (n < 0)
        n = ups_getupsmodel(ap, 1);
    return n;
}

int ups_reopen(AGENTP ap)
{
    if (!ups_usable(ap) || ups_st.comid < 0 || ups_st.comid >= UPS_NPORTS)
        return -1;
    ups_closeport();
    return open_port(ups_st.comid, false);
}

int ups_readdatafromups(AGENTP ap, char *buf, int maxlen)
{
    if (!ups_usable(ap) || buf == nullptr || maxlen <= 0)
        return -1;
    // A unit that has not answered yet gets longer to start talking.
    long wait_us = ap->aip->ups.ui.CommStatus == COMM_LOST ? 1000000 : 600000;
    int count = 0;
    for (int pass = 0; pass < 2; pass++) {
        memset(buf, 0, static_cast<size_t>(maxlen));
        count = 0;
        int empty = 0;
        bool eol = false;
        while (count < maxlen && !eol) {
            if (ups_st.comfd < 0)
                return -1;
            char c;
            if (read_byte(ups_st.comfd, wait_us, &c) == 0) {
                if (++empty < 3)
                    continue;
                if (pass == 0)
                    return -1;
                break;
            }
            empty = 0;
            buf[count++] = c;
            eol = c == '\n';
        }
        // The UPS announces itself with "WAKE" lines at will; one is skipped,
        // a second one (or silence after one) means no reply.
        if (pass == 1 && count == 0)
            return 0;
        if (!is_wake(buf, count))
            break;
        if (pass == 1)
            return 0;
        // A reply shorter than the notice ("OK") stops the read inside it;
        // the notice's own line end would otherwise be taken for the reply.
        for (int left = wake_rest_max; !eol && left > 0; left--) {
            char c;
            if (read_byte(ups_st.comfd, wait_us, &c) == 0)
                break;
            eol = c == '\n';
        }
    }
    if (buf[count - 1] != '\n' && count != maxlen)
        return -1;
    buf[count] = '\0';
    if (maxlen == UPS_Q1LEN && buf[count - 1] != '\n' && buf[count - 1] != '\r') {
        // The line was cut off somewhere: let the rest of it pass before the
        // next command so that the replies line up again.
        buf[count - 1] = '\n';
        ups_flushline();
        sleep(1);
    }
    return count;
}

int ups_command(AGENTP ap, char *buf, int maxlen, const char *fmt, ...)
{
    if (!ups_usable(ap) || fmt == nullptr || (maxlen > 0 && buf == nullptr) || ups_st.comfd < 0)
        return -2;
    char cmd[32];
    va_list va;
    va_start(va, fmt);
    int n = vsnprintf(cmd, sizeof cmd - 1, fmt, va);
    va_end(va);
    if (n < 0 || n >= static_cast<int>(sizeof cmd) - 1)
        return -2;
    cmd[n++] = '\r';
    flush_before_command();
    if (write(ups_st.comfd, cmd, static_cast<size_t>(n)) != n)
        return -2;
    if (maxlen <= 0)
        return 0;
    return ups_readdatafromups(ap, buf, maxlen);
}

int ups_q1check(const char *b, int len)
{
    if (b == nullptr || len != UPS_Q1LEN || b[0] != '(')
        return -1;
    static const int dots[] = {4, 10, 16, 25, 35};
    static const int blanks[] = {6, 12, 18, 22, 27, 32, 37};
    for (int p : dots) {
        if (b[p] != '.')
            return -1;
    }
    // Battery voltage "dd.d" or, as a per-cell value, "d.dd".
    if (b[29] != '.' && b[30] != '.')
        return -1;
    for (int p : blanks) {
        if (b[p] != ' ')
            return -1;
    }
    return b[46] == '\r' || b[46] == '\n' ? 0 : -1;
}

int ups_q1(AGENTP ap, int cx)
{
    char buf[UPS_Q1LEN + 1];
    for (int i = 0; i < cx; i++) {
        int n = ups_command(ap, buf, UPS_Q1LEN, "Q1");
        if (n > 0 && ups_q1check(buf, n) == 0)
            return 0;
    }
    return -1;
}

int verify_commlost(AGENTP ap)
{
    if (!ups_usable(ap) || ap->aip->ups.up.workparam.ComSet == COMSET_NOUPS)
        return -1;
    if (ups_q1(ap, 2) == 0)
        return 0;
    ups_lostcomm(ap);
    return 1;
}
