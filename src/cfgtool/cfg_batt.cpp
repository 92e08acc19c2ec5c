// The battery date in the UPS, through the helper's own serial client.
#include "cfgtool/cfg_batt.h"

#include "agent/agent_ups.h"
#include "agent/strings.h"
#include "agent/sysroot.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace
{

int comid = -1;

constexpr int byte_wait_ms = 1300;
// "WAKE" notices are skipped in any number, but a line that sends nothing
// else must not hold the program forever.
constexpr int max_wakes = 100;
// Bytes taken in after a cut "WAKE" in search of its line end.
constexpr int max_wake_tail = 64;

constexpr int CF_LEN = 40;
constexpr int V_LEN = 9;
constexpr int MODEL_LEN = 15;
constexpr int BRR_LEN = 10;
constexpr int OK_LEN = 4;

// 1 with a byte in c; 0 when none came in time; -1 when the line said it
// was readable but gave nothing (a hang-up, for one).
int wait_byte(int fd, char *c)
{
    struct pollfd p = {fd, POLLIN, 0};
    int r;
    do
        r = poll(&p, 1, byte_wait_ms);
    while (r < 0 && errno == EINTR);
    if (r <= 0)
        return 0;
    return read(fd, c, 1) == 1 ? 1 : -1;
}

// Every exchange starts with nothing pending, so that a late answer to an
// earlier command cannot pass for this one's.
int send_cmd(int fd, const char *cmd, size_t len)
{
    tcflush(fd, TCIOFLUSH);
    return write(fd, cmd, len) == static_cast<ssize_t>(len) ? 0 : -1;
}

bool is_01(char c)
{
    return c == '0' || c == '1';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

int digits(const char *p, int n)
{
    int v = 0;
    for (int i = 0; i < n; i++)
        v = v * 10 + (p[i] - '0');
    return v;
}

void set_empty(UPS_TIMEINFO *ti)
{
    ti->year = 0;
    ti->month = -1;
    ti->day = -1;
}

// Copies the n-byte name at p into buf, bounded by its size.
void store_name(char *buf, const char *p, size_t n)
{
    if (n > CFG_MODEL_MAX - 1)
        n = CFG_MODEL_MAX - 1;
    memcpy(buf, p, n);
    buf[n] = '\0';
}

// Prints text that came from the serial line: every byte outside printable
// ASCII becomes '?', so that a device cannot send escape sequences to the
// administrator's terminal.  The line end that closes a reply stays.
void print_reply(const char *text)
{
    for (const char *p = text; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        bool keep = (c >= 0x20 && c < 0x7F) || (c == '\n' && p[1] == '\0');
        putchar(keep ? c : '?');
    }
}

int print_perror(const char *fmt, const char *port)
{
    int saved = errno;
    char msg[320];
    snprintf(msg, sizeof msg, fmt, port);
    errno = saved;
    perror(msg);
    return -1;
}

// The bracket query of QE350 and QE5500: "[" name " " ... .  Returns the
// length of the reply up to the blank, 0 to go on with "Si ?", -1 when the
// command could not be sent.
int model_bracket(int fd, char *buf)
{
    char r[MODEL_LEN + 1];
    for (int i = 0; i < 2; i++) {
        if (send_cmd(fd, "(SiCC)\r", 7) != 0)
            return -1;
        int n = ReadDataFromUps(fd, r, MODEL_LEN);
        if (n <= 0 || ups_isnak(r, n))
            return 0;
        const char *blank = static_cast<const char *>(memchr(r, ' ', static_cast<size_t>(n)));
        if (r[0] == '[' && blank != nullptr) {
            store_name(buf, r + 1, static_cast<size_t>(blank - r - 1));
            return static_cast<int>(blank - r);
        }
    }
    return 0;
}

// "Si ?": QA and QE units end the name with the line, QR units with a blank
// before their firmware text.
int model_si(int fd, char *buf)
{
    char r[MODEL_LEN + 1];
    for (int i = 0; i < 4; i++) {
        if (i > 0) {
            tcflush(fd, TCIOFLUSH);
            sleep(1);
        }
        if (send_cmd(fd, "Si ?\r", 5) != 0)
            return -1;
        int n = ReadDataFromUps(fd, r, MODEL_LEN);
        if (n <= 0) {
            printf("read ups data <=0(Si ?)\n");
            buf[0] = '\0';
            return -1;
        }
        if (ups_isnak(r, n) || n < 2)
            continue;
        char end;
        if (memcmp(r, "QA", 2) == 0 || memcmp(r, "QE", 2) == 0)
            end = '\n';
        else if (memcmp(r, "QR", 2) == 0)
            end = ' ';
        else
            continue;
        if (memchr(r, end, static_cast<size_t>(n)) == nullptr)
            continue;
        size_t len = strcspn(r, " \n");
        store_name(buf, r, len);
        return static_cast<int>(strlen(buf));
    }
    return -1;
}

int with_port(const char *path, char *buf, UPS_TIMEINFO *ti, int mode, bool search)
{
    struct stat sb;
    if (search && stat(path, &sb) != 0)
        return -1;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = -1;
    if ((!search || isatty(fd)) && InitUpsCom(fd, path) == 0)
        rc = ProcUpsInfo(fd, buf, ti, mode);
    close(fd);
    return rc;
}

// One attempt on port n (1..4).
int comspec(char *buf, UPS_TIMEINFO *ti, int mode, int n)
{
    int rc = with_port(sysroot_ttypath(n - 1), buf, ti, mode, false);
    comid = rc >= 0 ? n - 1 : -1;
    return rc;
}

// The number written from p up to end, digits with an optional sign; false
// when there are no digits or anything else follows them.
bool whole_number(const char *p, const char *end, long *v)
{
    char *stop = nullptr;
    errno = 0;
    *v = strtol(p, &stop, 10);
    return stop != p && stop == end && errno == 0;
}

} // namespace

int batt_isempty(const UPS_TIMEINFO *ti)
{
    return ti != nullptr && static_cast<uint8_t>(ti->month) == 0xFF &&
           static_cast<uint8_t>(ti->day) == 0xFF;
}

int batt_comid(void)
{
    return comid;
}

int ProcUpsBatteryCHangeTime(char *buf, UPS_TIMEINFO *ti, int mode, int port)
{
    if (buf == nullptr || ti == nullptr || (mode != BATT_READ && mode != BATT_WRITE) ||
        port > UPS_NPORTS) {
        comid = -1;
        return -1;
    }
    buf[0] = '\0';
    if (port >= 1) {
        for (int i = 0; i < 2; i++) {
            int rc = comspec(buf, ti, mode, port);
            if (rc >= 0)
                return rc;
        }
        return -1;
    }
    for (int i = 0; i < UPS_NPORTS; i++) {
        int rc = with_port(sysroot_ttypath(i), buf, ti, mode, true);
        if (rc >= 0) {
            comid = i;
            return rc;
        }
    }
    comid = -1;
    return -1;
}

int InitUpsCom(int fd, const char *port)
{
    int fl = fcntl(fd, F_GETFL);
    if (fl == -1)
        return print_perror("ups_cominit: cannot get status of port %s:", port);
    if (fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) == -1)
        return print_perror("ups_cominit: cannot set status of port %s:", port);
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return print_perror("ups_cominit: cannot get %s settings:", port);
    t.c_cflag &= ~(CBAUD | CSTOPB | PARENB);
    t.c_cflag |= B2400 | CS8 | CLOCAL;
    // The UPS ends its lines with CR; ICRNL lets the reader look for '\n'.
    t.c_iflag &= ~(ISTRIP | IGNCR);
    t.c_iflag |= ICRNL | IXON | IXOFF;
    t.c_oflag &= ~(ONLCR | ONOCR);
    t.c_lflag &= ~(ICANON | ECHO);
    t.c_lflag |= FLUSHO;
    // Every byte is awaited with poll first; read then takes what is there.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        return print_perror("ups_cominit: cannot set %s settings:", port);
    return 0;
}

int ProcUpsInfo(int fd, char *buf, UPS_TIMEINFO *ti, int mode)
{
    if (CheckIsUps(fd) != 0 && CheckIsUps(fd) != 0) {
        printf("error in CheckIsUps()\n");
        return -1;
    }
    if (getupsfunction(fd) != 0) {
        int n = GetUpsModel(fd, buf);
        if (n < 0)
            printf("error in GetUpsModel()\n");
        if (n <= 0)
            return -1;
        print_reply(buf);
        putchar('\n');
        if (strncmp(buf, "QE350", 5) == 0 || strncmp(buf, "QE5500", 6) == 0)
            return BATT_NODATE;
        if (strncmp(buf, "QA", 2) == 0)
            return BATT_QA;
        if (strncmp(buf, "QR", 2) != 0 && strncmp(buf, "QE", 2) != 0) {
            printf("error: unknown model\n");
            return -1;
        }
    }
    if (mode == BATT_WRITE)
        return SetUpsBattTime(fd, ti);
    if (ups_getdisconnect(fd, ti) == 0)
        return BATT_DONE;
    return GetUpsBattTime(fd, ti);
}

int CheckIsUps(int fd)
{
    char r[UPS_Q1LEN + 1];
    bool again = false; // past the first exchange
    int bad_shapes = 0;
    for (int i = 0; i < 3; i++) {
        if (send_cmd(fd, "Q1\r", 3) != 0)
            return -1;
        int n = ReadDataFromUps(fd, r, UPS_Q1LEN);
        if (n < 0 || ups_isnak(r, n)) {
            printf("ret=%d,st=", n);
            print_reply(r);
            fputs(again ? ",Q1end\n" : ",Q1 again\n", stdout);
            if (again)
                return -1;
            again = true;
            continue;
        }
        again = true;
        if (n != UPS_Q1LEN)
            return -1;
        if (ups_q1check(r, n) == 0) {
            printf("Q1 OK\n");
            return 0;
        }
        if (++bad_shapes == 2)
            return -1;
        tcflush(fd, TCIOFLUSH);
    }
    return -1;
}

int getupsfunction(int fd)
{
    char r[CF_LEN + 1];
    if (send_cmd(fd, "CF\r", 3) != 0)
        return -1;
    int n = ReadDataFromUps(fd, r, CF_LEN);
    if (ups_isnak(r, n))
        return 2;
    if (n != CF_LEN)
        return 3;
    static const int groups[] = {0, 9, 18, 27};
    for (int g : groups) {
        for (int i = 0; i < 8; i++) {
            if (!is_01(r[g + i]))
                return 2;
        }
    }
    return r[15] == '1' && r[16] == '1' ? 0 : 1;
}

int GetUpsModel(int fd, char *buf)
{
    buf[0] = '\0';
    int n = model_bracket(fd, buf);
    if (n != 0)
        return n;
    return model_si(fd, buf);
}

int ups_getdisconnect(int fd, UPS_TIMEINFO *ti)
{
    char r[V_LEN + 1];
    if (send_cmd(fd, "V\r", 2) != 0)
        return -1;
    if (ReadDataFromUps(fd, r, V_LEN) != V_LEN || r[V_LEN - 1] != '\n')
        return -1;
    for (int i = 0; i < 8; i++) {
        if (!is_01(r[i]))
            return -1;
    }
    if (r[0] != '1')
        return 1;
    set_empty(ti);
    printf("disconnect\n");
    return 0;
}

int GetUpsBattTime(int fd, UPS_TIMEINFO *ti)
{
    char r[BRR_LEN + 1];
    if (send_cmd(fd, "BRR\r", 4) != 0)
        return -1;
    int n = ReadDataFromUps(fd, r, BRR_LEN);
    if (n <= 0 || ups_isnak(r, n))
        return -1;
    bool ok = n >= 8 && (r[0] == '1' || r[0] == '2') && is_digit(r[1]) && is_digit(r[2]) &&
              is_digit(r[3]) && is_01(r[4]) && is_digit(r[5]) && r[6] >= '0' && r[6] <= '3' &&
              is_digit(r[7]);
    print_reply(r);
    if (!ok) {
        putchar(' ');
        set_empty(ti);
        return 0;
    }
    // The field holds years since 1900 in one byte.
    int year = digits(r, 4) - 1900;
    ti->year = static_cast<uint8_t>(year < 0 ? 0 : year > 255 ? 255 : year);
    ti->month = static_cast<int8_t>(digits(r + 4, 2));
    ti->day = static_cast<int8_t>(digits(r + 6, 2));
    return 0;
}

int SetUpsBattTime(int fd, const UPS_TIMEINFO *ti)
{
    if (ti->month < 0 || ti->day < 0)
        return -1;
    char cmd[16];
    int n = snprintf(cmd, sizeof cmd, "BRW%04d%02d%02d\r", ti->year == 0 ? 0 : ti->year + 1900,
                     ti->month, ti->day);
    if (n != 12)
        return -1;
    printf("%s\n", cmd + 3);
    if (send_cmd(fd, cmd, 12) != 0)
        return -1;
    char r[OK_LEN + 1];
    n = ReadDataFromUps(fd, r, OK_LEN);
    return n >= 2 && memcmp(r, "OK", 2) == 0 ? 0 : -1;
}

int ReadDataFromUps(int fd, char *buf, int maxlen)
{
    if (buf == nullptr || maxlen <= 0)
        return -1;
    const size_t size = static_cast<size_t>(maxlen) + 1;
    int restarts = 0, wakes = 0, count = 0;
    bool eol = false;
    for (;;) {
        memset(buf, 0, size);
        count = 0;
        eol = false;
        while (count < maxlen && !eol) {
            char c;
            int r = wait_byte(fd, &c);
            if (r == 0)
                return -1;
            if (r < 0) {
                // Readable but nothing there: start the line over, once.
                if (++restarts > 1)
                    return -1;
                memset(buf, 0, size);
                count = 0;
                continue;
            }
            buf[count++] = c;
            eol = c == '\n';
        }
        if (count < 4 || memcmp(buf, "WAKE", 4) != 0)
            break;
        // An unsolicited wake-up notice, cut or whole: its line goes.
        if (++wakes > max_wakes)
            return -1;
        // A notice is a few bytes; a line that goes on and on without its
        // end is no UPS, and taking it in for ever would hold the program.
        int tail = 0;
        for (char c = buf[count - 1]; c != '\n';) {
            if (++tail > max_wake_tail || wait_byte(fd, &c) <= 0)
                return -1;
        }
    }
    if (count == maxlen && buf[count - 1] != '\n' && buf[count - 1] != '\r') {
        // Cut off: let the rest of the line pass before the next command so
        // that the replies line up again.
        buf[count - 1] = '\n';
        tcflush(fd, TCIOFLUSH);
        sleep(1);
    }
    return count;
}

int get_data_from_string(const char *text, UPS_TIMEINFO *ti)
{
    if (text == nullptr || ti == nullptr)
        return -1;
    const char *s1 = strchr(text, '/');
    const char *s2 = s1 != nullptr ? strchr(s1 + 1, '/') : nullptr;
    if (s2 == nullptr)
        return -1;
    // Each part must be a number and nothing else: a part without digits
    // would read as 0 and a mistyped date would go to the unit as valid.
    long year, month, day;
    if (!whole_number(text, s1, &year) || !whole_number(s1 + 1, s2, &month) ||
        !whole_number(s2 + 1, s2 + strlen(s2), &day))
        return -1;
    if (year < 1900)
        year = 1900;
    // The year must fit its byte, month and day their two digits.
    if (year > 1900 + 255 || month < 0 || month > 99 || day < 0 || day > 99)
        return -1;
    *ti = UPS_TIMEINFO{};
    ti->year = static_cast<uint8_t>(year - 1900);
    ti->month = static_cast<int8_t>(month);
    ti->day = static_cast<int8_t>(day);
    return 0;
}
