#include "agent/agent_manage.h"

#include "agent/agent.h"
#include "agent/agent_lang.h"
#include "agent/agent_utils.h"
#include "agent/proclist.h"
#include "agent/strings.h"
#include "agent/sysroot.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <libintl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace
{

// The key of the agent's segment is made from the key file and this id, as
// the agent makes it.
constexpr int shm_key_id = 1029;

const char daemon_name[] = "voltmirad";
const char manager_name[] = "voltmiractl";
const char monitor_name[] = "monitor";

// How long the manager waits for the agent: checks one second apart.
constexpr int start_checks = 10;
constexpr int stop_checks = 20;
// Attempts at the request flag; the agent holds it only for a moment.
constexpr int flag_attempts = 180;

// The longest menu answer read at once.
constexpr int menu_line = 254;

void say(const char *msgid)
{
    fputs(gettext(msgid), stdout);
}

void flush_all(void)
{
    fflush(stdout);
    fflush(stderr);
}

// One second, whole even when a finished child's signal cuts it short.
void wait_one_second(void)
{
    struct timespec left = {1, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void usage(void)
{
    fputs(gettext("\nUsage: /usr/lib/voltmira/voltmiractl [-r|-s|-m]\n"), stderr);
    fputs(gettext("\t-r: start local agent\n"), stderr);
    fputs(gettext("\t-s: stop local agent\n"), stderr);
    fputs(gettext("\t-m: run a X-WINDOWS monitor\n"), stderr);
    exit(-1);
}

// Reaps every finished child: the agent's first process ends as soon as it
// has detached, and a monitor whenever the user closes it.  Two endings may
// arrive as one signal, so it takes all there are rather than one.
void reap_children(int)
{
    int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

void catch_children(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = reap_children;
    sigemptyset(&sa.sa_mask);
    // A reaped child must not cut short the menu's read of the answer.
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
}

void forget_segment(void)
{
    manage_detachsharememory();
    agent.shmid = -1;
}

void remove_segment(void)
{
    manage_detachsharememory();
    if (agent.shmid >= 0)
        shmctl(agent.shmid, IPC_RMID, nullptr);
    agent.shmid = -1;
}

// Whether a process list counts as a running agent.  A list that cannot be
// read (-1) does too: starting a second agent is worse than not starting.
bool listed(int n)
{
    return n != 0;
}

// Checks a program of the installation directory before it is started.  A
// missing file ends the process with the error number, one without the
// owner's execute bit with -1.  shown is the name the messages give.
void check_program(const char *path, const char *shown)
{
    const char *dir = sysroot_path(SP_LIBDIR);
    struct stat sb;
    if (stat(path, &sb) != 0) {
        int e = errno;
        fprintf(stderr, gettext("%s%s: the file %s doesn't exist\n"), dir, shown, path);
        exit(e);
    }
    if ((sb.st_mode & S_IXUSR) == 0) {
        fprintf(stderr, gettext("%s/%s: the file %s can't be executed\n"), dir, shown, path);
        exit(-1);
    }
}

// Forks and runs path with argument zero arg0 and no other arguments, in
// the installation directory, without a shell.  Returns in the parent only;
// a failed fork ends the process with the error number.
void start_program(const char *path, const char *arg0)
{
    catch_children();
    flush_all();
    pid_t pid = fork();
    if (pid < 0) {
        int e = errno;
        perror("fork:");
        exit(e);
    }
    if (pid > 0)
        return;
    // The programs change to their directory themselves if they must; a
    // directory that cannot be entered is no reason not to try.
    if (chdir(sysroot_path(SP_LIBDIR)) != 0) {
    }
    char *const argv[] = {const_cast<char *>(arg0), nullptr};
    execv(path, argv);
    int e = errno;
    fprintf(stderr, gettext("execute %s failed\n"), path);
    fflush(stderr);
    // The parent's buffers were flushed before the fork; _exit keeps the
    // child from running the parent's exit handlers as well.
    _exit(e);
}

// The agent runs: its segment exists and its processes are there.  The
// segment id is forgotten afterwards, so that each look finds a segment
// made anew by a later start.
bool agent_runs(void)
{
    bool runs = false;
    if (manage_getsharememory() == 0) {
        pid_t pids[MANAGE_MAXPIDS];
        runs = listed(manage_getprocessidlist(daemon_name, pids));
    }
    forget_segment();
    return runs;
}

bool contains(const pid_t *pids, int n, pid_t pid)
{
    for (int i = 0; i < n; i++)
        if (pids[i] == pid)
            return true;
    return false;
}

// Reads one menu answer of at most menu_line characters into line.  The
// rest of a longer line is dropped: it is no choice, and must not be taken
// for the next answer.  false at the end of the input.
bool read_answer(char *line, size_t size)
{
    if (fgets(line, static_cast<int>(size), stdin) == nullptr)
        return false;
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] != '\n' && len == size - 1) {
        int c;
        while ((c = getchar()) != EOF && c != '\n') {
        }
    }
    return true;
}

} // namespace

int manage_setlang(void)
{
    static const char *const vars[] = {"LANG", "LC_ALL", "LC_CTYPE", "LANGUAGE", "KDE_LANG"};
    const char *lang = "C";
    for (const char *var : vars) {
        const char *v = getenv(var);
        // The first one that is set decides, even when it is empty: an
        // empty one chooses C.
        if (v == nullptr)
            continue;
        if (wp_strncmp(v, "ja", 2) == 0)
            lang = "ja";
        else if (wp_strncmp(v, "zh", 2) == 0)
            lang = "zh";
        break;
    }
    setenv("LANGUAGE", lang, 1);
    setenv("KDE_LANG", lang, 1);
    if (getenv("LC_ALL") == nullptr) {
        const char *l = getenv("LANG");
        setenv("LC_ALL", l == nullptr ? "C" : l, 1);
    }
    lang_setlocale();
    // No codeset: the texts come in the terminal's own encoding.
    return lang_binddomain(lang_manager_domain, nullptr);
}

int manage_getprocessidlist(const char *name, pid_t *pids)
{
    return proc_list(name, pids, MANAGE_MAXPIDS);
}

int manage_getsharememory(void)
{
    key_t key = ftok(sysroot_path(SP_KEYFILE), shm_key_id);
    if (key == static_cast<key_t>(-1)) {
        perror("manage_getsharememory: ftok:");
        return -1;
    }
    agent.key = key;
    if (agent.shmid < 0) {
        // Only looked up: the agent makes it private to root.
        int id = shmget(key, 0, 0);
        if (id < 0)
            return errno == ENOENT ? 1 : -1;
        agent.shmid = id;
    }
    // Anyone may make a segment under the key first; one smaller than the
    // agent's record would have the request word written past its end.
    struct shmid_ds ds;
    if (shmctl(agent.shmid, IPC_STAT, &ds) != 0 || ds.shm_segsz < sizeof(AGINFO))
        return -1;
    void *p = shmat(agent.shmid, nullptr, 0);
    if (p == reinterpret_cast<void *>(-1))
        return -1;
    agent.aip = static_cast<AGINFOP>(p);
    return 0;
}

void manage_detachsharememory(void)
{
    if (agent.aip != nullptr && agent.aip != reinterpret_cast<AGINFOP>(-1))
        shmdt(agent.aip);
    agent.aip = nullptr;
}

int manage_startagent(void)
{
    manage_getsharememory();
    if (agent.shmid >= 0) {
        pid_t pids[MANAGE_MAXPIDS];
        int n = manage_getprocessidlist(daemon_name, pids);
        manage_detachsharememory();
        if (listed(n))
            return 0;
        // Left by an agent that died without cleaning up; the new agent
        // would otherwise take it over as it is.
        remove_segment();
    }

    const char *path = sysroot_path(SP_DAEMON);
    check_program(path, daemon_name);
    start_program(path, daemon_name);

    say("\n\n\tWaiting for local agent up\n");
    flush_all();
    for (int i = 0; i < start_checks; i++) {
        pid_t pids[MANAGE_MAXPIDS];
        if (listed(manage_getprocessidlist(daemon_name, pids))) {
            say("\n");
            say("\tLocal Agent is up!\n");
            flush_all();
            return 0;
        }
        wait_one_second();
    }
    return -1;
}

// The list holds every process whose command line mentions the agent, a
// log viewer of root's included; only a process running the agent's own
// program may be killed on the segment's word.
static bool runs_agent_image(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/comm", static_cast<long>(pid));
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return false;
    char comm[32] = "";
    bool ok = fgets(comm, sizeof comm, f) != nullptr;
    fclose(f);
    comm[strcspn(comm, "\n")] = '\0';
    return ok && strcmp(comm, daemon_name) == 0;
}

int manage_stopagent(void)
{
    if (manage_getsharememory() != 0)
        return -1;
    // The UPS channel process: killing it ends the agent too, should the
    // agent not obey.
    pid_t noted = agent.aip->upspid;
    manage_detachsharememory();

    bool flag = false;
    for (int i = 0; i < flag_attempts; i++) {
        if (manage_getsharememory() != 0) {
            // The agent has gone meanwhile, and its segment with it.
            remove_segment();
            return 0;
        }
        if (net_testandsetlock() == 0) {
            flag = true;
            break;
        }
        manage_detachsharememory();
        // The agent holds the flag while it reloads its settings; tries
        // back to back would all fall into that moment and lose the request.
        struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    if (flag) {
        agent.aip->isagentchg = -1;
        net_clearlock();
        manage_detachsharememory();
    }

    say("\n\n\tNow, begin to stop local Voltmira");
    say("\n\tPlease wait...\n");
    flush_all();
    bool down = false;
    for (int i = 0; i < stop_checks; i++) {
        pid_t pids[MANAGE_MAXPIDS];
        if (manage_getprocessidlist(daemon_name, pids) == 0) {
            say("\n");
            say("\tLocal Agent is down.\n");
            flush_all();
            down = true;
            break;
        }
        wait_one_second();
    }
    if (!down) {
        // The noted id may be stale, or come from a segment an older agent
        // left open to everyone: only an agent process of the list is
        // killed, never whatever process the id happens to name.
        pid_t pids[MANAGE_MAXPIDS];
        int n = manage_getprocessidlist(daemon_name, pids);
        if (noted > 0 && contains(pids, n, noted) && runs_agent_image(noted))
            kill(noted, SIGKILL);
    }
    remove_segment();
    return 0;
}

int manage_startmonitor(void)
{
    char path[PATH_MAX];
    if (sysroot_libfile(monitor_name, path, sizeof path) != 0)
        return -1;
    // The messages have always named the manager here, not the monitor.
    check_program(path, manager_name);
    start_program(path, monitor_name);
    return 0;
}

int manage_interactive(void)
{
    struct termios tio;
    if (tcgetattr(STDIN_FILENO, &tio) != 0) {
        perror("manage_interactive: tcgetattr");
        return -1;
    }
    for (;;) {
        bool runs = agent_runs();
        say("\n\n\tINTERACTIVE MENU OF VOLTMIRA FOR LINUX\n\n");
        say(runs ? "\t1.\tStop local agent.\n" : "\t1.\tStart local agent.\n");
        say("\t2.\tStart a Monitor on XWINDOW.\n");
        say("\t3.\texit agent manager.\n");
        say("\n\tWhat are you want to do:");
        flush_all();

        char line[menu_line + 1];
        if (!read_answer(line, sizeof line)) {
            // The terminal has gone: asking again would never end.
            say("\n");
            flush_all();
            return 0;
        }
        size_t len = strlen(line);
        if (len == 0 || len >= 3)
            continue;
        switch (line[0]) {
        case '1':
            if (runs)
                manage_stopagent();
            else
                manage_startagent();
            break;
        case '2':
            manage_startmonitor();
            break;
        case '3':
            say("\n");
            flush_all();
            return 0;
        default:
            break;
        }
    }
}

void pre_voltmiractl(void)
{
    pid_t pids[MANAGE_MAXPIDS];
    // This manager is one of them.
    if (manage_getprocessidlist(manager_name, pids) < 2)
        return;
    say("\nThe voltmiractl is Running\n");
    say("If you would like to stop it,");
    say("please input the following command.\n");
    say("usage: ");
    say("/usr/lib/voltmira/voltmiractl -k\n");
    flush_all();
    exit(0);
}

void stop_voltmiractl(void)
{
    pid_t pids[MANAGE_MAXPIDS];
    int n = manage_getprocessidlist(manager_name, pids);
    pid_t self = getpid();
    for (int i = 0; i < n; i++)
        if (pids[i] != self)
            kill(pids[i], SIGKILL);
}

int manage_main(int argc, char **argv)
{
    agent.shmid = -1;
    agent.aip = nullptr;
    manage_setlang();

    enum { OP_MENU, OP_START, OP_STOP, OP_MONITOR } op = OP_MENU;
    int chosen = 0;
    optind = 1;
    int c;
    while ((c = getopt(argc, argv, "kKrRsSmM:")) != -1) {
        switch (c) {
        case 'k':
        case 'K':
            stop_voltmiractl();
            return 0;
        case 'r':
        case 'R':
            op = OP_START;
            chosen++;
            break;
        case 's':
        case 'S':
            op = OP_STOP;
            chosen++;
            break;
        case 'm':
        case 'M':
            op = OP_MONITOR;
            chosen++;
            break;
        default:
            usage();
        }
    }
    if (chosen > 1)
        usage();

    pre_voltmiractl();

    int r;
    switch (op) {
    case OP_START:
        r = manage_startagent();
        break;
    case OP_STOP:
        r = manage_stopagent();
        break;
    case OP_MONITOR:
        r = manage_startmonitor();
        break;
    default:
        r = manage_interactive();
        break;
    }
    flush_all();
    return r & 0xff;
}
