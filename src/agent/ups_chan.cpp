// The UPS channel process: the child that owns the serial port.  It follows
// the port setting in the shared record, finds and polls the UPS about once
// a second, serves the daemon's 4-byte command words between polls, and
// decides when the UPS is gone.
#include "agent/agent_ups.h"

#include "agent/agent_log.h"
#include "agent/fdutil.h"
#include "agent/sysclock.h"
#include "ea/filehandle.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

namespace
{

constexpr double poll_period = 1.0; // seconds from the end of one poll to the next

// Everything the module knows about the unit on the line; the next unit
// found is learned from scratch.
void forget_unit()
{
    ups_state &s = ups_st;
    s.cf_V = s.cf_BTt = s.cf_Six = s.cf_Bv = s.cf_Lfx = s.cf_Blx = s.cf_Sfn = 0;
    s.cmd_V = s.cmd_BTt = s.cmd_Six = s.cmd_Bv = s.cmd_Lfx = s.cmd_Blx = s.cmd_Sfn = 0;
    s.cmd_BvB8 = 0;
    // A test cannot outlive the link: nothing must end it on the next one.
    s.beUpsTest = s.beBattTest = s.beTesting = s.beRealtest = 0;
    s.lasttest = s.bSendTestCmd = s.tcmd = 0;
    s.bAutoRebootByV2 = 0;
    s.model_changed = 0;
    s.buzzerStep = 0;
    s.upsstatus = 0;
    // The next poll must not take the old record's model over the one the
    // next search reads.
    s.mg = 0;
    s.ups_model_s[0] = '\0';
}

// Whole words only: a pipe may hand a word over in pieces, and a signal may
// interrupt the wait.  Returns the bytes transferred (< n at end of file or
// on an error, with errno telling which).
size_t read_full(int fd, void *buf, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, static_cast<char *>(buf) + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    return got;
}

int reply_word(AGENTP ap, uint32_t word)
{
    return fd_writeall(ap->chna2u.paspipe[1], reinterpret_cast<const char *>(&word), sizeof word);
}

uint32_t reply_for(uint32_t cmd, int rc)
{
    return (cmd & UPSCMD_MASK) | (rc >= 0 ? UPSREPLY_OK : UPSREPLY_FAIL);
}

// Line data nobody asked for ("WAKE" notices and the like): the rest of the
// line is taken in and thrown away, so that none of it is read as the reply
// to the next command.  The reply reader is not used for this: it takes a
// "WAKE" line as the announcement of a reply and would wait for one.
void discard_unasked()
{
    char c = 0;
    for (int count = 0; count < 49 && c != '\n'; count++) {
        fd_set rf;
        FD_ZERO(&rf);
        FD_SET(ups_st.comfd, &rf);
        struct timeval tv = {0, 600000};
        if (select(ups_st.comfd + 1, &rf, nullptr, nullptr, &tv) <= 0 ||
            read(ups_st.comfd, &c, 1) != 1)
            break;
    }
    tcflush(ups_st.comfd, TCIFLUSH);
}

double stopwatch()
{
    return sysclock_mono() - ups_st.poll_start;
}

// One poll of the running loop.  A poll that fails while Q1 still answers
// is not a loss; the next one follows a second later.
void poll_now(AGENTP ap)
{
    UPS_UPSINFO *ui = &ap->aip->ups.ui;
    if (ups_getupsstatus(ap) == 0) {
        // The first poll after the search may have failed; the first one
        // that works establishes communication.
        if (ui->CommStatus == COMM_LOST)
            ui->CommStatus = COMM_ESTABLISHED;
    } else {
        verify_commlost(ap);
    }
    ups_setstartitimer();
}

// A new search on the current ComSet, and the first poll of what it found.
void search(AGENTP ap)
{
    AGINFOP aip = ap->aip;
    int32_t *comset = &aip->ups.up.workparam.ComSet;
    // Leaving the no-UPS state: nothing is established until the search
    // and a poll say so.
    if (aip->ups.ui.CommStatus == COMM_NOUPS)
        aip->ups.ui.CommStatus = COMM_LOST;
    if (ups_comsearch_model(ap) < 0) {
        if (*comset == COMSET_NOUPS) {
            ups_comnone(ap);
            return;
        }
        ups_lostcomm(ap);
        ups_st.old_comset = *comset;
        return;
    }
    aip->ups.ui.ComId = static_cast<int8_t>(ups_st.comid);
    ups_st.old_comset = *comset;
    poll_now(ap);
}

// Waits for a command word (and, with a port open, for line data) until
// the next poll is due, at most a second.
void wait_and_serve(AGENTP ap)
{
    int pipefd = ap->chna2u.actpipe[0];
    int comfd = ups_st.comfd;
    double left = poll_period;
    if (comfd >= 0)
        left = poll_period - stopwatch();
    if (left < 0)
        left = 0;
    if (left > poll_period)
        left = poll_period;
    bool pipe_ok = pipefd >= 0 && pipefd < FD_SETSIZE;
    fd_set rf;
    FD_ZERO(&rf);
    int maxfd = -1;
    if (pipe_ok) {
        FD_SET(pipefd, &rf);
        maxfd = pipefd;
    }
    if (comfd >= 0 && comfd < FD_SETSIZE) {
        FD_SET(comfd, &rf);
        if (comfd > maxfd)
            maxfd = comfd;
    }
    long us = static_cast<long>(left * 1e6);
    struct timeval tv = {us / 1000000, us % 1000000};
    int n = select(maxfd + 1, &rf, nullptr, nullptr, &tv);
    if (n < 0) {
        if (errno != EINTR)
            perror("ups_doupschan: select");
        return;
    }
    if (comfd >= 0 && FD_ISSET(comfd, &rf))
        discard_unasked();
    // A command pipe that cannot even be waited on has failed as well:
    // reading it ends the process as any other failure of the pipe does.
    if (!pipe_ok || FD_ISSET(pipefd, &rf))
        ups_procagentcmd(ap);
}

} // namespace

int ups_setstartitimer(void)
{
    ups_st.poll_start = sysclock_mono();
    return 0;
}

int response_nowait(AGENTP ap, uint32_t cmd)
{
    (void)ap;
    (void)cmd;
    ups_st.u_wait = 0;
    return 0;
}

int ups_chanstart(AGENTP ap)
{
    if (!ups_usable(ap))
        return -1;
    ups_init();
    AGINFOP aip = ap->aip;
    ups_st.u_status = &aip->ups.upsstat;
    aip->ups.protocol = 1;
    aip->ups.ui.CommStatus = COMM_LOST;
    ups_st.old_comset = aip->ups.up.workparam.ComSet;
    ups_setstartitimer();
    return 0;
}

int ups_doupschan(AGENTP ap)
{
    if (ups_chanstart(ap) != 0)
        return -1;
    // A daemon that is gone must end this process through the failed write
    // of a reply, with its message, not silently through the signal.
    signal(SIGPIPE, SIG_IGN);
    for (;;)
        ups_chanpass(ap);
}

int ups_chanpass(AGENTP ap)
{
    if (!ups_usable(ap))
        return -1;
    AGINFOP aip = ap->aip;
    int32_t comset = aip->ups.up.workparam.ComSet;
    if (comset == COMSET_NOUPS) {
        ups_comnone(ap);
        // Commands still get read, and dropped (CommStatus is 6): a daemon
        // that is gone still ends this process, and nothing queued now runs
        // on a unit configured later.
        wait_and_serve(ap);
        return 0;
    }
    if (ups_st.comfd < 0 || comset != ups_st.old_comset) {
        search(ap);
        if (aip->ups.up.workparam.ComSet == COMSET_NOUPS)
            return 0;
    }
    wait_and_serve(ap);
    // A ComSet changed meanwhile is for the next pass's search, not a poll.
    if (ups_st.comfd >= 0 && aip->ups.up.workparam.ComSet == ups_st.old_comset &&
        stopwatch() >= poll_period)
        poll_now(ap);
    if (ups_st.buzzerStep > 0)
        doBuzzer(ap);
    return 0;
}

int ups_procagentcmd(AGENTP ap)
{
    if (!ups_usable(ap))
        return -1;
    ups_st.u_wait = 1;
    uint32_t cmd = 0;
    errno = 0;
    size_t got = read_full(ap->chna2u.actpipe[0], &cmd, sizeof cmd);
    if (got < sizeof cmd) {
        // The daemon is gone (end of file) or the pipe broke: this process
        // has nobody left to work for.
        int why = errno;
        char msg[64];
        snprintf(msg, sizeof msg, "%d. read actpipe error, exit\n", static_cast<int>(got));
        printf0(msg);
        if (reply_word(ap, (cmd & UPSCMD_MASK) | UPSREPLY_FAIL) != 0)
            printf0("ups:write to paspipe error, --no exit\n");
        exit(why);
    }
    UPS_UPSINFO *ui = &ap->aip->ups.ui;
    // Without an established link (searching, lost, or no UPS configured) a
    // command is dropped: neither carried out nor answered.
    if (ui->CommStatus != COMM_ESTABLISHED)
        return 0;

    int rc;
    switch (cmd & UPSCMD_MASK) {
    case UPSCMD_BATTDATE:
        rc = ups_getbattchgtimeforcmd(ap);
        break;
    case UPSCMD_TESTLOW:
    case UPSCMD_TEST10:
        response_nowait(ap, cmd);
        // The next Q1 evaluation takes the test as asked for.
        ups_st.bSendTestCmd = 1;
        rc = ups_selftest1(ap, cmd);
        break;
    case UPSCMD_SHUTDOWN:
        rc = ups_shutdownups(ap);
        break;
    case UPSCMD_SETBATTDATE:
        response_nowait(ap, cmd);
        rc = ups_setbattchgtime(ap);
        break;
    case UPSCMD_BUZZERTEST:
        response_nowait(ap, cmd);
        if (ui->BuzzerCan == 1) {
            rc = ups_docommand(ap, cmd);
        } else {
            // A disabled buzzer is enabled, sounded and disabled again over
            // the next passes.
            ups_st.buzzerStep = 1;
            rc = 0;
        }
        break;
    case UPSCMD_TESTCANCEL:
    case UPSCMD_DOWNCANCEL:
    case UPSCMD_AUTOTESTOFF:
    case UPSCMD_AUTOTESTON:
    case UPSCMD_BUZZERON:
    case UPSCMD_BUZZEROFF:
    case UPSCMD_RESTARTOFF:
    case UPSCMD_RESTARTON:
    case UPSCMD_LEVELA:
    case UPSCMD_LEVELB:
    case UPSCMD_LEVELH:
    case UPSCMD_LEVELL:
        response_nowait(ap, cmd);
        rc = ups_docommand(ap, cmd);
        break;
    case UPSCMD_REFRESH:
        rc = ups_getupsstatus(ap);
        break;
    default:
        rc = -1; // unknown: refused, and told so
        break;
    }
    if (ups_st.u_wait == 1 && reply_word(ap, reply_for(cmd, rc)) != 0) {
        printf0("ups:write to paspipe error, exit\n");
        exit(errno);
    }
    return rc;
}

int ups_lostcomm(AGENTP ap)
{
    // A QA unit's battery date lives in the configuration, not in the unit;
    // the record goes back to that, whatever the lost unit reported.
    bool qa = ups_ismodel(ups_st.ups_model_s, "QA") != 0;
    ups_closeport();
    ups_st.comid = -1;
    forget_unit();
    uint32_t *flags = ups_usable(ap) ? &ap->aip->ups.upsstat : ups_st.u_status;
    if (flags != nullptr)
        *flags &= ~(UPSF_TEST | UPSF_TESTENDED | UPSF_BATTDISC);
    if (!ups_usable(ap))
        return 0;
    UPS_UPSINFO *ui = &ap->aip->ups.ui;
    ui->BattStatus = 0;
    ui->BuzzerCan = 0;
    ui->AutoTestCan = 0;
    if (qa)
        ups_configbattdate(&ui->PreChangeBatt);
    ui->ComId = COMID_NONE;
    ui->CommStatus = COMM_LOST;
    ui->upsdata = UPSDATA{};
    memset(ui->upsmodel, 0, sizeof ui->upsmodel);
    return 0;
}

int ups_comnone(AGENTP ap)
{
    ups_closeport();
    ups_st.comid = -2;
    forget_unit();
    if (!ups_usable(ap))
        return 0;
    UPS_UPSINFO *ui = &ap->aip->ups.ui;
    ui->BattStatus = 0;
    ui->BuzzerCan = 0;
    ui->AutoTestCan = 0;
    ui->upsstat = 0;
    ui->bAutoReboot = 0;
    ui->iDetectionLvl = 0;
    ui->ufStatus = 0;
    ui->bACPI = 0;
    ui->ComId = COMID_NOUPS;
    ui->CommStatus = COMM_NOUPS;
    ui->upsdata = UPSDATA{};
    memset(ui->upsmodel, 0, sizeof ui->upsmodel);
    return 0;
}
