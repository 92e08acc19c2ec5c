// How an event reaches users and programs: first with a recorder in place of
// the program seam, then with the real seam starting recording fakes in a
// staged root.  Both write a started program as "name [arg]... <stdin>", one
// line each, so that expectations read the same.
#include "agent/sysroot.h"
#include "ea/ea_notify.h"
#include "ea/ea_spawn.h"
#include "ea/ea_state.h"
#include "engine_stage.h"
#include "testutil.h"

#include <algorithm>
#include <array>
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

Lines started, paths;
std::string who;
int who_fails, captures;

int rec_run(const char *path, const char *const argv[], const char *input)
{
    std::string s = argv[0];
    for (int i = 1; argv[i] != nullptr; i++)
        s += std::string(" [") + argv[i] + "]";
    std::string in = input != nullptr ? input : "";
    if (!in.empty() && in.back() == '\n')
        in.pop_back();
    paths.emplace_back(path);
    started.push_back(s + " <" + in + ">");
    return 0;
}

int rec_capture(const char *, const char *const[], char *out, size_t cap)
{
    captures++;
    size_t n = std::min(who.size(), cap - 1);
    memcpy(out, who.data(), n);
    out[n] = '\0';
    return who_fails ? -1 : static_cast<int>(n);
}

int rec_shell(const char *cmd)
{
    const char *const argv[] = {"sh", "-c", cmd, nullptr};
    return rec_run("/bin/sh", argv, nullptr);
}

int rec_exec(const char *, const char *const[])
{
    return -1;
}

const ea_spawn_ops recorder = {rec_run, rec_capture, rec_shell, rec_exec};

const char meta[] = "$(touch pw);\"'`touch pw2`";
const std::string from79 = std::string("Receive shutdown Command From Users on ") + meta;

struct EaNotify : ::testing::Test, EngineRecords {
    SinkWatch sink;
    void SetUp() override
    {
        ea_stateinit();
        ea_spawn_setops(&recorder);
        started.clear();
        paths.clear();
        who_fails = 0;
        who = "alice    pts/0        2026-12-08 12:00 (10.0.0.1)\nbob\ttty1\nalice pts/3\n"
              "alice -x\nalice " +
              std::string(40, 't') + "\n" + std::string(40, 'a') + " pts/9\n";
        const char *names[] = {"alice", "", "-rf", "bob"};
        const char *mails[] = {"alice@x", "|touch pw", "-oQ/tmp/q", "+inbox"};
        for (int i = 0; i < 4; i++) {
            strcpy(users[i].UserName, names[i]);
            strcpy(users[i].Email, mails[i]);
        }
        events[0].EventID = 65;
    }
    void TearDown() override { ea_spawn_init(); }
};

TEST_F(EaNotify, EventsReachWallWriteMailAndTheCommandAsTheirSettingsSay)
{
    // Users 0 alice, 1 empty (mail "|..."), 2 "-rf" (mail "-oQ..."), 3 bob
    // (mail "+inbox"); mesg always
    // comes first and is left out below.
    struct Case {
        uint16_t event;
        uint32_t type, write, mail;
        int down;
        const char *command, *monitor;
        Lines want;
    };
    const std::string ac = " <UPS AC Restore>", wk = " <weekly time to turn off UPS is arrived at>";
    // clang-format off
    const Case cases[] = {
        {0, 0, 0xF, 0xF, -1, "", "", {"wall" + ac, "mail [alice@x]" + ac}},
        {0, 1, 0, 0, -1, "", "", {"wall" + ac}},
        {0, 2, 0xF, 0, -1, "", "", {"write [alice] [pts/0]" + ac, "write [alice] [pts/3]" + ac,
                                    "write [bob] [tty1]" + ac}},
        {0, 3, 0xF, 0, -1, "", "", {}},
        {65, 0, 0, 1, -1, "", "", {"mail [alice@x] <UPS Ac fail>"}},
        {65, 2, 0xF, 0, -1, "", "", {}},
        {75, 0, 0, 0, 2, "", "", {}},
        {131, 0, 0, 0, 2, "", "", {"wall" + wk}},
        {131, 2, 8, 0, 2, "", "", {"write [bob] [tty1]" + wk}},
        {79, 0, 0, 1, -1, "logger 'a b'", meta, {"wall <" + from79 + ">",
                                                 "mail [alice@x] <" + from79 + ">",
                                                 "sh [-c] [logger 'a b'] <>"}},
        {21, 0, 0, 0, -1, "", "m\n~!id\x1b[2J",
         {"wall <The Shutdown is Canceled by Users on m?~!id?[2J>"}},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.event);
        started.clear();
        UPS_EVENTINFO ev{c.event, 0, 1, 0, c.type, c.write, c.mail, ""};
        strcpy(ev.Command, c.command);
        strcpy(ea_st.monitorname, c.monitor);
        ea_st.downreason = c.down;
        EXPECT_EQ(ea_notify(c.event, &ev, &uinfo), 0);
        Lines want = c.want;
        want.insert(want.begin(), "mesg [y] <>");
        EXPECT_EQ(started, want);
    }
    for (const char *what : {"user name starting with '-'", "terminal starting with '-'",
                             "mail address starting with '-'", "mail address starting with '|'",
                             "mail address starting with '+'"})
        EXPECT_TRUE(SinkWatch::saw(std::string("ea_notify: skipped a ") + what));

    // The staged system's programs; a command line is cut at 255 characters,
    // even one not ended; an event outside the catalogue starts nothing.
    started.clear();
    UPS_EVENTINFO ev{0, 0, 1, 0, 0, 0, 1, ""};
    memset(ev.Command, 'x', sizeof ev.Command);
    ASSERT_EQ(ea_notify(0, &ev, &uinfo), 0);
    EXPECT_EQ(
        Lines(paths.end() - 4, paths.end()),
        Lines({sysroot_path(SP_MESG), sysroot_path(SP_WALL), sysroot_path(SP_MAIL), "/bin/sh"}));
    EXPECT_EQ(started.back(), "sh [-c] [" + std::string(255, 'x') + "] <>");
    started.clear();
    EXPECT_EQ(ea_notify(99, &ev, &uinfo), -1);
    EXPECT_TRUE(started.empty());
}

TEST_F(EaNotify, WallornotFollowsTheBroadcastSettingsOnly)
{
    events[0].MailUser = 0xF;
    EXPECT_EQ(wallornot(65, "Up", &in, &out), 0);
    events[0].BroadcastType = 2;
    events[0].BroadcastUser = 9;
    captures = 0;
    EXPECT_EQ(wallornot(65, "Up", &in, &out), 0);
    EXPECT_EQ(captures, 1); // who runs once for all users of one message
    EXPECT_EQ(wallornot(66, "Up", &in, &out), -1);
    EXPECT_EQ(started, Lines({"wall <Up>", "write [alice] [pts/0] <Up>",
                              "write [alice] [pts/3] <Up>", "write [bob] [tty1] <Up>"}));
}

TEST_F(EaNotify, WhoLinesGiveTheTerminalsOfOneUser)
{
    const std::string n31(31, 'n');
    const std::vector<std::array<std::string, 3>> rows = {
        {"alice    pts/0        2026-12-08 12:00", "alice", "pts/0"},
        {"bob\t tty1\n", "bob", "tty1"},
        {"carol", "carol", ""},
        {n31 + " pts/1", n31, "pts/1"},
        {n31 + "n pts/1", "", ""},
        {"dave " + std::string(32, 't'), "dave", ""},
    };
    for (const auto &r : rows) {
        char name[32] = "x", tty[32] = "x";
        ParseWho(r[0].c_str(), name, tty);
        EXPECT_EQ(Lines({name, tty}), Lines({r[1], r[2]})) << r[0];
    }

    // At most 63 terminals and the empty end; an overlong line counts by its
    // start only, its rest is no line of its own.
    who = "carol pts/7";
    who.resize(511, ' ');
    who += "alice pts/666\n";
    for (int i = 0; i < 70; i++)
        who += "alice pts/" + std::to_string(i) + "\n";
    ASSERT_EQ(UpdateUserList("alice"), 1);
    EXPECT_EQ(Lines({ea_st.gszUserList[0], ea_st.gszUserList[62], ea_st.gszUserList[63]}),
              Lines({"pts/0", "pts/62", ""}));
    who_fails = 1;
    EXPECT_EQ(UpdateUserList("alice"), -1);
    EXPECT_STREQ(ea_st.gszUserList[0], "");
    EXPECT_TRUE(SinkWatch::saw("UpdateUserList:Cannot run who"));
}

// ---------------------------------------------------------------------------
// The real seam, against fakes in a staged root.

template <class F> bool wait_until(F done)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

struct EaSpawn : ::testing::Test {
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
                    "printf '%s <%s>\\n' \"$line\" \"$(cat)\" >> " +
                        log);
    }
    void TearDown() override
    {
        EXPECT_TRUE(wait_until([] { return ea_spawn_running() == 0; }));
        EXPECT_EQ(chdir(cwd), 0);
    }
    void fake(const std::string &path, const std::string &body)
    {
        write_file(root.at(path), "#!/bin/sh\n" + body + "\n");
        ASSERT_EQ(chmod(root.at(path).c_str(), 0755), 0);
    }
    // The lines of file, sorted, once there are at least n.
    Lines lines(const std::string &file, size_t n)
    {
        Lines l;
        wait_until([&] {
            std::istringstream in(file_exists(file) ? read_file(file) : "");
            l.clear();
            for (std::string s; std::getline(in, s);)
                l.push_back(s);
            return l.size() >= n;
        });
        std::sort(l.begin(), l.end());
        return l;
    }
};

TEST_F(EaSpawn, NamesArriveAsPlainTextAndACommandThatNeverEndsDelaysNothing)
{
    const char user[] = "$(touch${IFS}pw)\"'";
    write_file(root.at("/who.out"), std::string(user) + " pts/0\n");
    fake("/usr/bin/who", "cat " + root.at("/who.out"));
    EngineRecords r;
    strcpy(r.users[0].UserName, user);
    strcpy(r.users[0].Email, "$(touch${IFS}pw)@x");
    strcpy(ea_st.monitorname, meta);
    UPS_EVENTINFO ev{79, 0, 1, 0, 0, 0, 1, ""};
    snprintf(ev.Command, sizeof ev.Command, "echo $$ > %s; exec sleep 1000",
             root.at("/pid").c_str());
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(ea_notify(79, &ev, &r.uinfo), 0);
    // The command sleeps 1000 s; the margin is for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    Lines pid = lines(root.at("/pid"), 1);
    ASSERT_EQ(pid.size(), 1u);
    EXPECT_EQ(kill(std::stoi(pid[0]), SIGKILL), 0);

    UPS_EVENTINFO ev2{79, 0, 1, 0, 2, 1, 0, ""};
    ASSERT_EQ(ea_notify(79, &ev2, &r.uinfo), 0);
    ASSERT_TRUE(wait_until([] { return ea_spawn_running() == 0; }));
    const std::string text = " <" + from79 + ">";
    EXPECT_EQ(lines(log, 5),
              Lines({"mail [$(touch${IFS}pw)@x]" + text, "mesg [y] <>", "mesg [y] <>",
                     "wall" + text, "write [" + std::string(user) + "] [pts/0]" + text}));
    EXPECT_FALSE(file_exists(root.at("/pw")) || file_exists(root.at("/pw2")));
}

TEST_F(EaSpawn, AtMostSpawnMaxRunAtOnceAndCaptureIsBounded)
{
    fake("/bin/hang", "echo $$ >> " + root.at("/pids") + "\nexec sleep 1000");
    const std::string hang = root.at("/bin/hang");
    const char *const argv[] = {"x", nullptr};
    for (int i = 0; i < EA_SPAWN_MAX; i++)
        ASSERT_EQ(ea_spawn()->run(hang.c_str(), argv, "x"), 0);
    EXPECT_EQ(ea_spawn()->run(hang.c_str(), argv, nullptr), -1);
    EXPECT_EQ(ea_spawn()->shell("true"), -1);
    EXPECT_EQ(ea_spawn_running(), EA_SPAWN_MAX);
    EXPECT_EQ(std::count_if(SinkWatch::seen.begin(), SinkWatch::seen.end(),
                            [](const std::string &s) { return s.find("too many") != s.npos; }),
              1);
    // Reaped here, as the daemon's SIGCHLD handler would: the slots free.
    for (const std::string &p : lines(root.at("/pids"), EA_SPAWN_MAX)) {
        EXPECT_EQ(kill(std::stoi(p), SIGKILL), 0);
        EXPECT_EQ(waitpid(std::stoi(p), nullptr, 0), std::stoi(p));
    }
    EXPECT_EQ(ea_spawn_running(), 0);
    EXPECT_EQ(ea_spawn()->run(sysroot_path(SP_MESG), argv, nullptr), 0);
    EXPECT_EQ(ea_spawn()->run(root.at("/bin/none").c_str(), argv, nullptr), -1);
    EXPECT_EQ(lines(log, 1), Lines{"mesg <>"});

    // A program that never closes its output is killed after the time and
    // reaped; one that floods it, once the buffer is full.
    fake("/bin/stuck", "echo $$ > " + root.at("/pid") + "\necho hello\nexec sleep 1000");
    fake("/bin/flood", "exec yes");
    char out[64];
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(ea_spawn()->capture(root.at("/bin/stuck").c_str(), argv, out, sizeof out), 6);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_STREQ(out, "hello\n");
    EXPECT_GE(took, std::chrono::milliseconds(EA_CAPTURE_MS - 100));
    EXPECT_LT(took, std::chrono::milliseconds(EA_CAPTURE_MS + 10000));
    EXPECT_EQ(kill(std::stoi(lines(root.at("/pid"), 1).at(0)), 0), -1); // no zombie either
    EXPECT_EQ(ea_spawn()->capture(root.at("/bin/flood").c_str(), argv, out, sizeof out), 63);
    EXPECT_EQ(ea_spawn()->capture(root.at("/bin/none").c_str(), argv, out, sizeof out), -1);
}

TEST_F(EaSpawn, ChildrenGetNoDescriptorsIgnoredSignalsOrMask)
{
    // The test holds descriptor 57, ignores SIGUSR2 and blocks SIGUSR1.
    const std::string probe = root.at("/bin/probe");
    fake("/bin/probe", "{ echo \"$*\"; [ -e /proc/$$/fd/57 ] && echo fd57; } >> " + log +
                           "\nexec grep -E 'SigIgn|SigBlk' /proc/self/status >> " + log);
    int pfd[2];
    ASSERT_EQ(pipe(pfd), 0);
    ASSERT_EQ(dup2(pfd[0], 57), 57);
    signal(SIGUSR2, SIG_IGN);
    sigset_t usr1, oldmask;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, &oldmask);
    const char *const argv[] = {"probe", "run", nullptr};
    ASSERT_EQ(ea_spawn()->run(probe.c_str(), argv, nullptr), 0);
    // exec, in a child of the test: a failed one gives the process back as
    // it was, a working one hands over the same clean start.
    pid_t pid = fork();
    if (pid == 0) {
        const char *const eargv[] = {"probe", "exec", nullptr};
        struct sigaction now {
        };
        if (ea_spawn()->exec(root.at("/bin/none").c_str(), eargv) == -1 &&
            fcntl(57, F_GETFD) >= 0 && sigaction(SIGUSR2, nullptr, &now) == 0 &&
            now.sa_handler == SIG_IGN)
            ea_spawn()->exec(probe.c_str(), eargv);
        _exit(3);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    sigprocmask(SIG_SETMASK, &oldmask, nullptr);
    signal(SIGUSR2, SIG_DFL);
    for (int fd : {57, pfd[0], pfd[1]})
        close(fd);
    EXPECT_EQ(status, 0);
    const std::string zero = ":\t0000000000000000";
    EXPECT_EQ(lines(log, 6), Lines({"SigBlk" + zero, "SigBlk" + zero, "SigIgn" + zero,
                                    "SigIgn" + zero, "exec", "run"}));
}

} // namespace
