// How an event reaches users and programs: first with a recorder in place of
// the program seam, then with the real seam starting recording fakes in a
// staged root.  A started program is written "name [arg] [arg] <stdin>" by
// both, so that expectations read the same.
#include "agent/sysroot.h"
#include "ea/ea_notify.h"
#include "ea/ea_spawn.h"
#include "ea/ea_state.h"
#include "engine_stage.h"
#include "testutil.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace testutil;
using Lines = std::vector<std::string>;

namespace
{

std::string shown(const char *const argv[], const char *input)
{
    std::string s = argv[0];
    for (int i = 1; argv[i] != nullptr; i++)
        s += std::string(" [") + argv[i] + "]";
    std::string in = input != nullptr ? input : "";
    if (!in.empty() && in.back() == '\n')
        in.pop_back();
    return s + " <" + in + ">";
}

struct Recorder {
    static inline Lines started;
    static inline Lines paths;
    static inline std::string who;
    static inline int who_fails = 0;
    static int run(const char *path, const char *const argv[], const char *input)
    {
        paths.emplace_back(path);
        started.push_back(shown(argv, input));
        return 0;
    }
    static int capture(const char *, const char *const[], char *out, size_t cap)
    {
        if (who_fails)
            return -1;
        size_t n = std::min(who.size(), cap - 1);
        memcpy(out, who.data(), n);
        out[n] = '\0';
        return static_cast<int>(n);
    }
    static int shell(const char *cmd)
    {
        const char *const argv[] = {"sh", "-c", cmd, nullptr};
        return run("/bin/sh", argv, nullptr);
    }
    static int exec(const char *, const char *const[]) { return -1; }
    static inline const ea_spawn_ops ops = {run, capture, shell, exec};
};

const char wall79[] = "Receive shutdown Command From Users on $(touch pw);\"'`touch pw2`";

struct Notify : ::testing::Test, EngineRecords {
    SinkWatch sink;
    void SetUp() override
    {
        ea_stateinit();
        ea_spawn_init();
        ea_spawn_setops(&Recorder::ops);
        Recorder::started.clear();
        Recorder::paths.clear();
        Recorder::who_fails = 0;
        Recorder::who = "alice    pts/0        2026-12-08 12:00 (10.0.0.1)\n"
                        "bob\ttty1\n"
                        "alice pts/3\n"
                        "alice -x\n"
                        "alice " +
                        std::string(40, 't') + "\n" + std::string(40, 'a') + " pts/9\n";
        const char *names[] = {"alice", "", "-rf", "bob"};
        const char *mails[] = {"alice@x", "", "-oQ/tmp/q", ""};
        for (int i = 0; i < 4; i++) {
            strcpy(users[i].UserName, names[i]);
            strcpy(users[i].Email, mails[i]);
        }
        events[0].EventID = 65;
    }
    void TearDown() override { ea_spawn_init(); }
};

TEST_F(Notify, EventsReachWallWriteMailAndTheCommandAsTheirSettingsSay)
{
    struct Case {
        int event, type;
        uint32_t write, mail;
        const char *command, *monitor;
        int downreason, rc;
        Lines want;
    };
    const std::string mesg = "mesg [y] <>";
    const Case cases[] = {
        {0,
         0,
         0xF,
         0xF,
         "",
         "",
         -1,
         0,
         {mesg, "wall <UPS AC Restore>", "mail [alice@x] <UPS AC Restore>"}},
        {0, 1, 0, 0, "", "", -1, 0, {mesg, "wall <UPS AC Restore>"}},
        {0,
         2,
         0xF,
         0,
         "",
         "",
         -1,
         0,
         {mesg, "write [alice] [pts/0] <UPS AC Restore>", "write [alice] [pts/3] <UPS AC Restore>",
          "write [bob] [tty1] <UPS AC Restore>"}},
        {0, 3, 0xF, 0, "", "", -1, 0, {mesg}},
        {65, 0, 0, 1, "", "", -1, 0, {mesg, "mail [alice@x] <UPS Ac fail>"}},
        {65, 2, 0xF, 0, "", "", -1, 0, {mesg}},
        {75, 0, 0, 0, "", "", 2, 0, {mesg}},
        {131, 0, 0, 0, "", "", 2, 0, {mesg, "wall <weekly time to turn off UPS is arrived at>"}},
        {131,
         2,
         8,
         0,
         "",
         "",
         2,
         0,
         {mesg, "write [bob] [tty1] <weekly time to turn off UPS is arrived at>"}},
        {79,
         0,
         0,
         1,
         "logger -t x 'a b'",
         "$(touch pw);\"'`touch pw2`",
         -1,
         0,
         {mesg, std::string("wall <") + wall79 + ">",
          std::string("mail [alice@x] <") + wall79 + ">", "sh [-c] [logger -t x 'a b'] <>"}},
        {21,
         0,
         0,
         0,
         "",
         "m\n~!id\x1b[2J",
         -1,
         0,
         {mesg, "wall <The Shutdown is Canceled by Users on m?~!id?[2J>"}},
        {99, 0, 0xF, 0xF, "reboot", "", -1, -1, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.event);
        Recorder::started.clear();
        UPS_EVENTINFO ev{};
        ev.EventID = static_cast<uint16_t>(c.event);
        ev.BroadcastType = static_cast<uint32_t>(c.type);
        ev.BroadcastUser = c.write;
        ev.MailUser = c.mail;
        strcpy(ev.Command, c.command);
        strcpy(ea_st.monitorname, c.monitor);
        ea_st.downreason = c.downreason;
        EXPECT_EQ(ea_notify(c.event, &ev, &uinfo), c.rc);
        EXPECT_EQ(Recorder::started, c.want);
    }
    EXPECT_TRUE(SinkWatch::saw("ea_notify: a user name that starts with '-' is skipped"));
    EXPECT_TRUE(SinkWatch::saw("ea_notify: a terminal that starts with '-' is skipped"));
    EXPECT_TRUE(SinkWatch::saw("ea_notify: a mail address that starts with '-' is skipped"));

    // The programs are the staged system's; the command line is cut at 255.
    Recorder::started.clear();
    Recorder::paths.clear();
    UPS_EVENTINFO ev{};
    ev.BroadcastType = 0;
    ev.MailUser = 1;
    memset(ev.Command, 'x', sizeof ev.Command); // not even ended
    ASSERT_EQ(ea_notify(0, &ev, &uinfo), 0);
    EXPECT_EQ(Recorder::paths, Lines({sysroot_path(SP_MESG), sysroot_path(SP_WALL),
                                      sysroot_path(SP_MAIL), "/bin/sh"}));
    EXPECT_EQ(Recorder::started.back(), "sh [-c] [" + std::string(255, 'x') + "] <>");
}

TEST_F(Notify, WallornotFollowsTheBroadcastSettingsOnly)
{
    events[0].BroadcastType = 0;
    events[0].MailUser = 0xF;
    EXPECT_EQ(wallornot(65, "Time is up", &in, &out), 0);
    events[0].BroadcastType = 2;
    events[0].BroadcastUser = 1;
    EXPECT_EQ(wallornot(65, "Time is up", &in, &out), 0);
    EXPECT_EQ(wallornot(66, "Time is up", &in, &out), -1);
    EXPECT_EQ(Recorder::started, Lines({"wall <Time is up>", "write [alice] [pts/0] <Time is up>",
                                        "write [alice] [pts/3] <Time is up>"}));
}

TEST_F(Notify, WhoLinesGiveTheTerminalsOfOneUser)
{
    struct Row {
        std::string line, name, tty;
    };
    const Row rows[] = {
        {"alice    pts/0        2026-12-08 12:00", "alice", "pts/0"},
        {"bob\t tty1\n", "bob", "tty1"},
        {"carol", "carol", ""},
        {"", "", ""},
        {std::string(31, 'n') + " pts/1", std::string(31, 'n'), "pts/1"},
        {std::string(32, 'n') + " pts/1", "", ""},
        {"dave " + std::string(32, 't'), "dave", ""},
    };
    for (const Row &r : rows) {
        char name[32] = "x", tty[32] = "x";
        ParseWho(r.line.c_str(), name, tty);
        EXPECT_EQ(name, r.name) << r.line;
        EXPECT_EQ(tty, r.tty) << r.line;
    }

    // At most 63 terminals and the empty end; an overlong line counts by its
    // start only, its rest is not a line of its own.
    Recorder::who.clear();
    for (int i = 0; i < 70; i++)
        Recorder::who += "alice pts/" + std::to_string(i) + "\n";
    std::string longline = "carol pts/7 ";
    longline.resize(511, ' ');
    Recorder::who = longline + "alice pts/666\n" + Recorder::who;
    ASSERT_EQ(UpdateUserList("alice"), 1);
    EXPECT_STREQ(ea_st.gszUserList[0], "pts/0");
    EXPECT_STREQ(ea_st.gszUserList[62], "pts/62");
    EXPECT_STREQ(ea_st.gszUserList[63], "");

    Recorder::who_fails = 1;
    EXPECT_EQ(UpdateUserList("alice"), -1);
    EXPECT_STREQ(ea_st.gszUserList[0], "");
    EXPECT_TRUE(SinkWatch::saw("UpdateUserList:Cannot run who"));
    char host[] = "h";
    EXPECT_EQ(intercepthost(host), 0);
}

// ---------------------------------------------------------------------------
// The real seam, against fakes in a staged root.

template <class F> bool wait_until(F done, int seconds = 60)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct RealSeam : ::testing::Test {
    Sysroot root;
    SinkWatch sink;
    std::string log = root.at("/log");
    char cwd[4096] = "";
    void SetUp() override
    {
        ea_stateinit();
        ea_spawn_init();
        // A command that escaped into a shell would leave its files here.
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        ASSERT_EQ(chdir(root.root().c_str()), 0);
        for (const char *p : {"/usr/bin/wall", "/usr/bin/write", "/usr/bin/mesg", "/bin/mail"})
            fake(p, "line=\"$(basename \"$0\")\"\nfor a in \"$@\"; do line=\"$line [$a]\"; done\n"
                    "line=\"$line <$(cat)>\"\nprintf '%s\\n' \"$line\" >> " +
                        log + "\n");
    }
    void TearDown() override
    {
        EXPECT_TRUE(wait_until([] { return ea_spawn_running() == 0; }));
        EXPECT_EQ(chdir(cwd), 0);
    }
    void fake(const std::string &path, const std::string &body)
    {
        write_file(root.at(path), "#!/bin/sh\n" + body);
        ASSERT_EQ(chmod(root.at(path).c_str(), 0755), 0);
    }
    Lines logged()
    {
        std::istringstream in(file_exists(log) ? read_file(log) : "");
        Lines l;
        for (std::string s; std::getline(in, s);)
            l.push_back(s);
        std::sort(l.begin(), l.end());
        return l;
    }
    // The pids a hanging fake wrote, once there are n of them.
    std::vector<pid_t> pids(const std::string &file, size_t n)
    {
        std::vector<pid_t> v;
        wait_until([&] {
            v.clear();
            std::istringstream in(file_exists(file) ? read_file(file) : "");
            for (pid_t p; in >> p;)
                v.push_back(p);
            return v.size() >= n;
        });
        return v;
    }
};

TEST_F(RealSeam, ShellMetacharactersArriveAsPlainTextAndNothingElseRuns)
{
    const char user[] = "$(touch${IFS}pw)\"'";
    write_file(root.at("/who.out"), std::string(user) + " pts/0\n");
    fake("/usr/bin/who", "cat " + root.at("/who.out") + "\n");
    EngineRecords r;
    strcpy(r.users[0].UserName, user);
    strcpy(r.users[0].Email, "$(touch${IFS}pw)@x");
    strcpy(ea_st.monitorname, "$(touch pw);\"'`touch pw2`");
    UPS_EVENTINFO ev{};
    ev.MailUser = 1;
    ASSERT_EQ(ea_notify(79, &ev, &r.uinfo), 0);
    ev.BroadcastType = 2;
    ev.BroadcastUser = 1;
    ev.MailUser = 0;
    ASSERT_EQ(ea_notify(79, &ev, &r.uinfo), 0);
    ASSERT_TRUE(wait_until([&] { return logged().size() >= 5; }));
    ASSERT_TRUE(wait_until([] { return ea_spawn_running() == 0; }));
    const std::string text = std::string("<") + wall79 + ">";
    EXPECT_EQ(logged(),
              Lines({"mail [$(touch${IFS}pw)@x] " + text, "mesg [y] <>", "mesg [y] <>",
                     "wall " + text, "write [" + std::string(user) + "] [pts/0] " + text}));
    EXPECT_FALSE(file_exists(root.at("/pw")));
    EXPECT_FALSE(file_exists(root.at("/pw2")));
}

TEST_F(RealSeam, ACommandThatNeverEndsDelaysNothing)
{
    UPS_EVENTINFO ev{};
    ev.BroadcastType = 3;
    snprintf(ev.Command, sizeof ev.Command, "echo $$ > %s; exec sleep 1000",
             root.at("/cmd.pid").c_str());
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(ea_notify(0, &ev, nullptr), 0);
    // The command sleeps 1000 s; the margin is for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    std::vector<pid_t> p = pids(root.at("/cmd.pid"), 1);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(kill(p[0], SIGKILL), 0);
}

TEST_F(RealSeam, AtMostSpawnMaxRunAtOnce)
{
    fake("/bin/hang", "echo $$ >> " + root.at("/hang.pids") + "\nexec sleep 1000\n");
    const std::string hang = root.at("/bin/hang");
    const char *const argv[] = {"hang", nullptr};
    for (int i = 0; i < EA_SPAWN_MAX; i++)
        ASSERT_EQ(ea_spawn()->run(hang.c_str(), argv, "x"), 0);
    EXPECT_EQ(ea_spawn()->run(hang.c_str(), argv, nullptr), -1);
    EXPECT_EQ(ea_spawn()->shell("true"), -1);
    EXPECT_EQ(ea_spawn_running(), EA_SPAWN_MAX);
    EXPECT_EQ(std::count_if(SinkWatch::seen.begin(), SinkWatch::seen.end(),
                            [](const std::string &s) { return s.find("too many") != s.npos; }),
              1);
    for (pid_t p : pids(root.at("/hang.pids"), EA_SPAWN_MAX))
        EXPECT_EQ(kill(p, SIGKILL), 0);
    ASSERT_TRUE(wait_until([] { return ea_spawn_running() == 0; }));
    const char *const mesg[] = {"mesg", "y", nullptr};
    EXPECT_EQ(ea_spawn()->run(sysroot_path(SP_MESG), mesg, nullptr), 0);
    EXPECT_EQ(ea_spawn()->run(root.at("/bin/none").c_str(), mesg, nullptr), -1);
    EXPECT_TRUE(wait_until([&] { return logged() == Lines{"mesg [y] <>"}; }));
}

TEST_F(RealSeam, CaptureEndsAProgramThatNeverClosesItsOutput)
{
    fake("/bin/stuck", "echo $$ > " + root.at("/stuck.pid") + "\necho hello\nexec sleep 1000\n");
    fake("/bin/flood", "exec yes\n");
    const char *const argv[] = {"x", nullptr};
    char out[64];
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(ea_spawn()->capture(root.at("/bin/stuck").c_str(), argv, out, sizeof out), 6);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_STREQ(out, "hello\n");
    EXPECT_GE(took, std::chrono::milliseconds(EA_CAPTURE_MS - 100));
    EXPECT_LT(took, std::chrono::milliseconds(EA_CAPTURE_MS + 10000));
    std::vector<pid_t> p = pids(root.at("/stuck.pid"), 1);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(kill(p[0], 0), -1); // killed and reaped: no zombie left
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(ea_spawn()->capture(root.at("/bin/flood").c_str(), argv, out, sizeof out), 63);
    EXPECT_EQ(ea_spawn()->capture(root.at("/bin/none").c_str(), argv, out, sizeof out), -1);
}

TEST_F(RealSeam, ChildrenGetNoDescriptorsIgnoredSignalsOrMask)
{
    const std::string probe = root.at("/bin/probe");
    fake("/bin/probe", "{ echo \"$*\"; [ -e /proc/$$/fd/57 ] && echo fd57;"
                       " } >> " +
                           log + "\nexec grep -E 'SigIgn|SigBlk' /proc/self/status >> " + log +
                           "\n");
    int pfd[2];
    ASSERT_EQ(pipe(pfd), 0);
    ASSERT_EQ(dup2(pfd[0], 57), 57);
    struct sigaction ign {
    }, old{};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGUSR2, &ign, &old);
    sigset_t usr1, oldmask;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, &oldmask);
    const char *const run_argv[] = {"probe", "run", nullptr};
    ASSERT_EQ(ea_spawn()->run(probe.c_str(), run_argv, nullptr), 0);
    // exec, in a child of the test: a failed one gives the process back as
    // it was, a working one hands over the same clean start.
    pid_t pid = fork();
    if (pid == 0) {
        const char *const argv[] = {"probe", "exec", nullptr};
        struct sigaction now {
        };
        int restored = ea_spawn()->exec(root.at("/bin/none").c_str(), argv) == -1 &&
                       fcntl(57, F_GETFD) >= 0 && sigaction(SIGUSR2, nullptr, &now) == 0 &&
                       now.sa_handler == SIG_IGN;
        if (restored)
            ea_spawn()->exec(probe.c_str(), argv);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    sigprocmask(SIG_SETMASK, &oldmask, nullptr);
    sigaction(SIGUSR2, &old, nullptr);
    close(57);
    close(pfd[0]);
    close(pfd[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(wait_until([&] { return logged().size() >= 6; }));
    std::string zero = ":\t0000000000000000";
    EXPECT_EQ(logged(), Lines({"SigBlk" + zero, "SigBlk" + zero, "SigIgn" + zero, "SigIgn" + zero,
                               "exec", "run"}));
}

} // namespace
