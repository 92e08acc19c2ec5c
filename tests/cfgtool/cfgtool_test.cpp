// voltmiracfg's command line, key get and set, and process lists, run as the
// real program on a staged configuration file.
#include "cfgtool/cfg_run.h"
#include "testutil.h"

#include "agent/agent_utils.h"
#include "agent/sysroot.h"
#include "ea/filehandle.h"

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

using cfgtest::run;
using testutil::read_file;
using testutil::write_file;

namespace
{

const char kUps[] = "[ UPS ]";

class CfgTest : public ::testing::Test
{
  protected:
    std::string cfg() const { return root_.at("/usr/lib/voltmira/config"); }
    std::string libdir() const { return root_.at("/usr/lib/voltmira"); }
    void put(const std::string &text) const { write_file(cfg(), text); }
    std::string text() const { return read_file(cfg()); }

    // Names in the installation directory other than the file itself (and
    // the lock file, which stays by design): a work file left behind shows
    // here.
    std::vector<std::string> strays() const
    {
        std::vector<std::string> v;
        if (DIR *d = opendir(libdir().c_str())) {
            while (struct dirent *e = readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != ".." && n != "config" && n != ".cfglock")
                    v.push_back(n);
            }
            closedir(d);
        }
        return v;
    }

    // A get that must print value and exit 0 with nothing on stderr.
    void expect_get(const std::string &key, const std::string &value) const
    {
        cfgtest::Run r = run({"-g", key});
        EXPECT_EQ(r.status, 0) << key;
        EXPECT_EQ(r.out, value) << key;
        EXPECT_EQ(r.err, "") << key;
    }
    void expect_no_get(const std::string &key) const
    {
        cfgtest::Run r = run({"-g", key});
        EXPECT_EQ(r.status, 255) << key;
        EXPECT_EQ(r.out, "") << key;
    }
    // A set that must succeed silently.
    void set(const std::string &section, const std::string &key, const std::string &value) const
    {
        cfgtest::Run r = run({"-s", section, key, value});
        EXPECT_EQ(r.status, 0) << key;
        EXPECT_EQ(r.out, "") << key;
        EXPECT_EQ(r.err, "") << key;
    }

    testutil::Sysroot root_;
};

// ---------------------------------------------------------------------------
// Command line

TEST_F(CfgTest, CfgCommandLineWrongCountsDoNothing)
{
    const std::string before = "\n[ UPS ]\nComSet = 1\n";
    put(before);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-g"},
        {"-s"},
        {"-g", "a", "b", "c"},           // a get takes one or two operands
        {"-s", kUps, "ComSet"},          // a set without its value
        {"-s", kUps},                    // ... or its key
        {"-s", kUps, "ComSet", "2", "x"} // ... or with one too many
    };
    for (const auto &args : cases) {
        cfgtest::Run r = run(args);
        EXPECT_EQ(r.status, 255) << args.size();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(text(), before);
}

TEST_F(CfgTest, CfgCommandLineFirstOptionLetterChoosesTheForm)
{
    // g or G as the first option letter gets, whatever follows it; anything
    // else sets.
    const struct {
        const char *opt;
        bool get;
    } forms[] = {
        {"-g", true},  {"-G", true},   {"-gs", true}, {"-Gx", true}, {"-s", false},
        {"-S", false}, {"-sg", false}, {"-d", false}, {"-D", false}, {"set", false},
        {"g", false},  {"--g", false}, {"-", false},
    };
    for (const auto &f : forms) {
        put("\n[ UPS ]\nComSet = 1\n");
        cfgtest::Run r = run({f.opt, kUps, "ComSet", f.opt});
        if (f.get) {
            // Three operands are too many for a get.
            EXPECT_EQ(r.status, 255) << f.opt;
            EXPECT_EQ(text(), "\n[ UPS ]\nComSet = 1\n") << f.opt;
            r = run({f.opt, "ComSet"});
            EXPECT_EQ(r.status, 0) << f.opt;
            EXPECT_EQ(r.out, "1\n") << f.opt;
        } else {
            EXPECT_EQ(r.status, 0) << f.opt;
            EXPECT_EQ(text(), std::string("\n[ UPS ]\nComSet = ") + f.opt + "\n") << f.opt;
        }
    }
}

// ---------------------------------------------------------------------------
// Get

TEST_F(CfgTest, CfgGetKeyAtFirstColumnOrAfterBlanks)
{
    put("\n[ UPS ]\nComSet = 1\n Group = A\n    Agent = name of it\n");
    expect_get("ComSet", "1\n");
    // The agent writes every new entry with a blank before the key.
    expect_get("Group", "A\n");
    expect_get("Agent", "name of it\n");
}

TEST_F(CfgTest, CfgGetKeyMustBeFollowedByABlank)
{
    put("\n[ UPS ]\nComSet = 1\nEvent10 = 2\nTight=3\n\tTab = 4\n");
    expect_no_get("ComSetX");
    expect_no_get("Com");
    expect_no_get("Event1");
    expect_no_get("Tight"); // no blank after the key
    expect_no_get("Tab");   // a tab is not a blank here
    expect_no_get("Missing");
    expect_no_get("");
}

TEST_F(CfgTest, CfgGetFirstLineAnywhereWins)
{
    put("\n[ A ]\n Key = first\n\n[ UPS ]\nKey = second\nKey = third\n");
    expect_get("Key", "first\n");
}

TEST_F(CfgTest, CfgGetInASectionLooksOnlyThere)
{
    // Keys that repeat in every section, as the users' and the events' do.
    put("Top = t\n"
        "\n[ User1 ]\n Name = alice\n Record = Yes\n"
        "\n[ User2 ]\n Name = bob\n"
        "\n[ Event10 ]\n Record = No\n"
        "\n[ Event1 ]\n Record = Maybe\n"
        "\n[ Hand ]\n X = 1\n[Tight]\n Y = 2\n"
        "\n[ Empty ]\n"
        "\n[ UPS ]\n Group = g\n");
    const struct {
        const char *section, *key;
        int status;
        const char *out;
    } cases[] = {
        {"[ User2 ]", "Name", 0, "bob\n"},
        {"[ User1 ]", "Name", 0, "alice\n"},
        {"[ User2 ]", "Record", 255, ""},  // not in that section, though elsewhere
        {"[ Event1", "Record", 0, "No\n"}, // a prefix of the head, as a set takes it
        {"[ Event1 ]", "Record", 0, "Maybe\n"},
        {"[ Hand ]", "Y", 0, "2\n"},     // a head without a blank ends no section
        {"[ Empty ]", "Group", 255, ""}, // a section without the key
        {"[ User1 ]", "Top", 255, ""},
        // No head matches: the whole file, as always.
        {"[ Nowhere ]", "Name", 0, "alice\n"},
        {"UPS", "Record", 0, "Yes\n"},
        {" Name", "Group", 0, "g\n"}, // an entry line is no head
        {"", "Name", 0, "alice\n"},
        {"[ Nowhere ]", "Missing", 255, ""},
    };
    for (const auto &c : cases) {
        cfgtest::Run r = run({"-g", c.section, c.key});
        EXPECT_EQ(r.status, c.status) << c.section << " " << c.key;
        EXPECT_EQ(r.out, c.out) << c.section << " " << c.key;
        EXPECT_EQ(r.err, "") << c.section << " " << c.key;
    }
    // What a set in a section changes is what a get there reads back.
    set("[ User2 ]", "Record", "Later");
    EXPECT_EQ(run({"-g", "[ User2 ]", "Record"}).out, "Later\n");
    expect_get("Record", "Yes\n");
}

TEST_F(CfgTest, CfgGetValueStartsThreeAfterTheKey)
{
    // The value is whatever follows " = ", line end and trailing blanks
    // included; a line too short to hold " = " gives an empty value, never
    // text from beyond the line.
    put("Spaced  = A\nCr = v \r\nEmpty = \nShort =\nBare \nLast = no line end");
    expect_get("Spaced", " A\n");
    expect_get("Cr", "v \r\n");
    expect_get("Empty", "\n");
    expect_get("Short", "");
    expect_get("Bare", "");
    expect_get("Last", "no line end");
}

TEST_F(CfgTest, CfgGetReadsWholeLinesOnly)
{
    // A long value comes out whole, and the middle of a long line is never
    // taken for a line of its own.
    std::string longv(400, 'v');
    std::string pad = "Note = " + std::string(212, 'x'); // 219 characters
    put("Long = " + longv + "\n" + pad + "Secret = 1\n");
    expect_get("Long", longv + "\n");
    expect_no_get("Secret");
}

TEST_F(CfgTest, CfgGetWithoutFileFailsQuietly)
{
    expect_no_get("ComSet");
    EXPECT_EQ(run({"-g", "ComSet"}).err, "");
    // A file that is there but cannot be read is reported.
    ASSERT_EQ(mkdir(cfg().c_str(), 0755), 0);
    cfgtest::Run r = run({"-g", "ComSet"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "open file error\n");
}

TEST_F(CfgTest, CfgFifoInPlaceOfTheFileFailsWithoutWaiting)
{
    // Opening a FIFO for reading waits for a writer; a set would wait so
    // while holding the lock the agent's own writes take.
    ASSERT_EQ(mkfifo(cfg().c_str(), 0600), 0);
    cfgtest::Run r = run({"-g", "ComSet"}, {}, 5);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "open file error\n");
    r = run({"-s", kUps, "ComSet", "1"}, {}, 5);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "open file error\n");
    struct stat sb;
    ASSERT_EQ(lstat(cfg().c_str(), &sb), 0);
    EXPECT_TRUE(S_ISFIFO(sb.st_mode));
    EXPECT_TRUE(strays().empty());
}

// ---------------------------------------------------------------------------
// Set

TEST_F(CfgTest, CfgSetCreatesAMissingFile)
{
    set(kUps, "ComSet", "1");
    EXPECT_EQ(text(), "\n[ UPS ]\n\nComSet = 1\n");
    struct stat sb;
    ASSERT_EQ(stat(cfg().c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0644u);
    EXPECT_TRUE(strays().empty());
}

TEST_F(CfgTest, CfgSetReplacesInPlaceKeepingEveryOtherByte)
{
    const std::string head = "\n[ Other ]\nComSet = 9\n\n[ UPS ]\n;comment\n";
    const std::string tail = "Group = A\nComSet = 2\n\n[ Last ]\n X = 1\n";
    put(head + "ComSet = 1\n" + tail);
    set(kUps, "ComSet", "a much longer value than before");
    EXPECT_EQ(text(), head + "ComSet = a much longer value than before\n" + tail);
    set(kUps, "ComSet", "");
    EXPECT_EQ(text(), head + "ComSet = \n" + tail);
}

TEST_F(CfgTest, CfgSetReplacesALeadingBlankKeyWithoutASecondEntry)
{
    // As the agent writes its entries; the old helper added a second entry
    // that nobody reads.
    put("\n[ UPS ]\n Group = A\n   ComSet = 1\n\n[ Next ]\n Group = N\n");
    set(kUps, "Group", "B");
    set(kUps, "ComSet", "3");
    EXPECT_EQ(text(), "\n[ UPS ]\nGroup = B\nComSet = 3\n\n[ Next ]\n Group = N\n");
    // The agent reads what the helper wrote.
    filehandle_init();
    const char *v = readparam("UPS", "Group");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "B");
    v = readparam("Next", "Group");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "N");
    filehandle_fini();
}

TEST_F(CfgTest, CfgSetAddsMissingKeysAndSections)
{
    put("\n[ UPS ]\n Group = A\n\n[ Other ]\n X = 1\n");
    // Before the next head, written with a blank after '['.
    set(kUps, "New", "v");
    EXPECT_EQ(text(), "\n[ UPS ]\n Group = A\n\n\nNew = v\n[ Other ]\n X = 1\n");
    // The last section: at the end of the file.
    set("[ Other ]", "Y", "2");
    EXPECT_EQ(text(), "\n[ UPS ]\n Group = A\n\n\nNew = v\n[ Other ]\n X = 1\n\nY = 2\n");
    // No such section: the head and the entry at the end.
    set("[ Third ]", "Z", "3");
    EXPECT_EQ(text(), "\n[ UPS ]\n Group = A\n\n\nNew = v\n[ Other ]\n X = 1\n\nY = 2\n"
                      "\n[ Third ]\n\nZ = 3\n");
}

TEST_F(CfgTest, CfgSetKeepsTheOtherLineTests)
{
    // The section is the first head that begins with the given text; only a
    // head with a blank after '[' ends it; a key of the same name in an
    // earlier section is not touched, and only the first entry is replaced.
    put("[ A ]\nK = 1\n[ UPSX ]\nK = 2\n[UPS]\nK = 3\nK = 4\n");
    set("[ UPS", "K", "9");
    EXPECT_EQ(text(), "[ A ]\nK = 1\n[ UPSX ]\nK = 9\n[UPS]\nK = 3\nK = 4\n");
    set("[ A ]", "J", "5");
    EXPECT_EQ(text(), "[ A ]\nK = 1\n\nJ = 5\n[ UPSX ]\nK = 9\n[UPS]\nK = 3\nK = 4\n");
    // A head written without the blank does not end the section.
    put("[ A ]\nK = 1\n[B]\nL = 2\n");
    set("[ A ]", "M", "3");
    EXPECT_EQ(text(), "[ A ]\nK = 1\n[B]\nL = 2\n\nM = 3\n");
}

TEST_F(CfgTest, CfgSetRefusesInjectionAndOverlongLines)
{
    const std::string before = "\n[ UPS ]\nComSet = 1\n";
    put(before);
    const std::vector<std::vector<std::string>> refused = {
        {kUps, "ComSet", "1\nCommand = /bin/evil"},
        {kUps, "Com\nSet", "1"},
        {"[ UPS ]\n[ Evil ]", "ComSet", "1"},
        {kUps, "", "1"},
        {"", "ComSet", "1"},
        // "K = " + value + line feed must fit the agent's 511 characters.
        {kUps, "K", std::string(507, 'v')},
        {std::string(511, 'S'), "K", "v"},
    };
    for (const auto &a : refused) {
        cfgtest::Run r = run({"-s", a[0], a[1], a[2]});
        EXPECT_EQ(r.status, 255) << a[1];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(text(), before);
    }
    // The longest line that still fits, read back by the agent.
    set(kUps, "K", std::string(506, 'v'));
    filehandle_init();
    const char *v = readparam("UPS", "K");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::string(v), std::string(506, 'v'));
    filehandle_fini();
}

TEST_F(CfgTest, CfgSetKeepsOwnerAndModeAndLeavesNoWorkFile)
{
    put("\n[ UPS ]\nComSet = 1\n");
    ASSERT_EQ(chown(cfg().c_str(), 1234, 5678), 0);
    ASSERT_EQ(chmod(cfg().c_str(), 0640), 0);
    // The old helper wrote through this fixed name: a link planted there
    // would have had root overwrite the file it points to.
    const std::string victim = root_.at("/etc/victim");
    write_file(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), (libdir() + "/tmp_file_vm").c_str()), 0);

    set(kUps, "ComSet", "2");
    EXPECT_EQ(text(), "\n[ UPS ]\nComSet = 2\n");
    struct stat sb;
    ASSERT_EQ(stat(cfg().c_str(), &sb), 0);
    EXPECT_EQ(sb.st_uid, 1234u);
    EXPECT_EQ(sb.st_gid, 5678u);
    EXPECT_EQ(sb.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(victim), "precious\n");
    EXPECT_EQ(strays(), std::vector<std::string>{"tmp_file_vm"});
}

TEST_F(CfgTest, CfgSetReportsAFailedWrite)
{
    std::string before = "\n[ UPS ]\n";
    for (int i = 0; i < 20; i++)
        before += " Key" + std::to_string(i) + " = value\n";
    put(before);
    // The new file cannot grow past 64 bytes: as with a full disk, the
    // write fails part way.
    auto small_files = [] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {64, 64};
        setrlimit(RLIMIT_FSIZE, &rl);
    };
    cfgtest::Run r = run({"-s", kUps, "Key3", "changed"}, small_files);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "open file error\n");
    EXPECT_EQ(text(), before);
    EXPECT_TRUE(strays().empty());

    // No installation directory at all.
    testutil::remove_tree(libdir());
    r = run({"-s", kUps, "ComSet", "1"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "open file error\n");
    EXPECT_FALSE(testutil::file_exists(cfg()));
}

TEST_F(CfgTest, CfgSetConcurrentRunsLoseNoUpdate)
{
    // Twenty runs set twenty keys, all let go at the same instant; a file
    // of some size makes each read-modify-write long enough to overlap.
    constexpr int kRuns = 20;
    std::string before = "\n[ UPS ]\n";
    for (int i = 0; i < 300; i++)
        before += " Filler" + std::to_string(i) + " = " + std::string(40, 'f') + "\n";
    before += " Key0 = old\n\n[ Other ]\n X = 1\n";
    put(before);

    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> pids;
    for (int i = 0; i < kRuns; i++) {
        std::vector<std::string> args = {VOLTMIRA_VOLTMIRACFG_PATH, "-s", kUps,
                                         "Key" + std::to_string(i), "v" + std::to_string(i)};
        std::vector<char *> argv = cfgtest::argv_of(args);
        pid_t pid = fork();
        if (pid == 0) {
            close(gate[1]);
            char c;
            while (read(gate[0], &c, 1) > 0) {
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]); // all runs start now
    for (pid_t pid : pids) {
        int st = 0;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    std::string after = text();
    for (int i = 0; i < kRuns; i++) {
        std::string line = "Key" + std::to_string(i) + " = v" + std::to_string(i) + "\n";
        size_t at = after.find("\n" + line);
        ASSERT_NE(at, std::string::npos) << line;
        EXPECT_EQ(after.find("Key" + std::to_string(i) + " ", at + line.size()), std::string::npos)
            << line;
    }
    EXPECT_EQ(after.find("old"), std::string::npos);
    // Key0 replaced in place, every other key added before the next head
    // with an empty line; nothing else changed.
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'),
              std::count(before.begin(), before.end(), '\n') + 2 * (kRuns - 1));
    const size_t keep = before.find(" Key0 = old");
    EXPECT_EQ(after.compare(0, keep, before, 0, keep), 0);
    EXPECT_EQ(after.substr(after.size() - 18), "\n[ Other ]\n X = 1\n");
    EXPECT_TRUE(strays().empty());
}

TEST_F(CfgTest, CfgSetAndTheAgentsOwnWritesLoseNothingOfEachOther)
{
    // The agent's writeparam and the helper hold the same lock, so runs of
    // both let go at once keep every change.
    constexpr int kEach = 8;
    std::string before = "\n[ UPS ]\n";
    for (int i = 0; i < 300; i++)
        before += " Filler" + std::to_string(i) + " = " + std::string(40, 'f') + "\n";
    put(before);

    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> pids;
    for (int i = 0; i < 2 * kEach; i++) {
        bool helper = i % 2 == 0;
        std::string key = (helper ? "Helper" : "Agent") + std::to_string(i);
        std::vector<std::string> args = {VOLTMIRA_VOLTMIRACFG_PATH, "-s", kUps, key, "v"};
        std::vector<char *> argv = cfgtest::argv_of(args);
        pid_t pid = fork();
        if (pid == 0) {
            close(gate[1]);
            char c;
            while (read(gate[0], &c, 1) > 0) {
            }
            if (!helper)
                _exit(writeparam("UPS", key.c_str(), "v") == 0 ? 0 : 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t pid : pids) {
        int st = 0;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    std::string after = text();
    for (int i = 0; i < 2 * kEach; i++) {
        std::string key = (i % 2 == 0 ? "Helper" : "Agent") + std::to_string(i);
        // The helper writes its new entries at the first column, the agent
        // after one blank.
        size_t at = after.find("\n" + key + " = v\n");
        if (at == std::string::npos)
            at = after.find("\n " + key + " = v\n");
        ASSERT_NE(at, std::string::npos) << key << after.substr(before.size());
        EXPECT_EQ(after.find(key + " ", at + key.size() + 2), std::string::npos) << key;
    }
    EXPECT_EQ(after.compare(0, before.size(), before), 0);
}

TEST_F(CfgTest, CfgSetIgnoresTheDirectoryLockAndGivesUpOnABusyOne)
{
    // Anyone who can read the directory can flock it: that holds up nothing.
    put("\n[ UPS ]\nComSet = 1\n");
    int dirfd = open(libdir().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirfd, 0);
    ASSERT_EQ(flock(dirfd, LOCK_EX), 0);
    cfgtest::Run r = run({"-s", kUps, "ComSet", "2"}, {}, 20);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(text(), "\n[ UPS ]\nComSet = 2\n");
    close(dirfd);

    // The writers' own lock, busy for longer than a rewrite takes: the set
    // gives up in about 2 s and says so.
    utils_lockinit();
    int held = utils_cfglock();
    ASSERT_GE(held, 0);
    auto t0 = std::chrono::steady_clock::now();
    r = run({"-s", kUps, "ComSet", "3"}, {}, 20);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    close(held);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "open file error\n");
    EXPECT_GE(waited, 1.9);
    EXPECT_LT(waited, 15.0);
    EXPECT_EQ(text(), "\n[ UPS ]\nComSet = 2\n");
    EXPECT_TRUE(strays().empty());
}

// ---------------------------------------------------------------------------
// Process lists

class CfgProc : public CfgTest
{
  protected:
    ~CfgProc() override
    {
        for (pid_t pid : pids_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // A sleeping process whose command line is "argv0 600", started as
    // user uid when uid is not 0.
    pid_t sleeper(const std::string &argv0, uid_t uid = 0)
    {
        std::vector<std::string> args = {argv0, "600"};
        std::vector<char *> argv = cfgtest::argv_of(args);
        pid_t pid = fork();
        if (pid == 0) {
            if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0))
                _exit(126);
            execv("/bin/sleep", argv.data());
            _exit(127);
        }
        if (pid > 0)
            pids_.push_back(pid);
        return pid;
    }

    // A name no other process of the host has.
    std::string marker(const char *what) const
    {
        return std::string("cfgmark-") + what + "-" + std::to_string(getpid());
    }

    // Waits until the sleepers have left the forked test image behind.
    void settle() const
    {
        for (pid_t pid : pids_) {
            for (int i = 0; i < 200; i++) {
                std::string exe;
                char buf[256];
                ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf,
                                     sizeof buf - 1);
                if (n > 0 && std::string(buf, n) == "/usr/bin/sleep")
                    break;
                usleep(5000);
            }
        }
    }

    std::vector<pid_t> pids_;
};

TEST_F(CfgProc, CfgProcCountsThisUsersMatchesAndItself)
{
    const std::string m = marker("count");
    std::set<pid_t> mine;
    for (int i = 0; i < 3; i++)
        mine.insert(sleeper(m + "-sleep"));
    sleeper("grep-" + m);         // the pipeline dropped every line with "grep"
    sleeper(m + "-other", 65534); // another user's
    settle();

    // Its own command line holds the name too.
    cfgtest::Run r = run({"-g", "pr", m});
    EXPECT_EQ(r.out, "4");
    EXPECT_EQ(r.status, 4);
    r = run({"-g", "PR", m + "-sleep"});
    EXPECT_EQ(r.out, "4");

    r = run({"-g", "prid", m});
    EXPECT_EQ(r.status, 0);
    std::set<pid_t> listed;
    size_t lines = 0;
    for (size_t at = 0; at < r.out.size();) {
        size_t nl = r.out.find('\n', at);
        ASSERT_NE(nl, std::string::npos);
        listed.insert(std::stoi(r.out.substr(at, nl - at)));
        at = nl + 1;
        lines++;
    }
    EXPECT_EQ(lines, 4u);
    for (pid_t p : mine)
        EXPECT_TRUE(listed.count(p)) << p;
    EXPECT_EQ(run({"-g", "Prid", m}).out.size(), r.out.size());
}

TEST_F(CfgProc, CfgProcStopsAtThirty)
{
    const std::string m = marker("many");
    for (int i = 0; i < 31; i++)
        sleeper(m);
    settle();
    cfgtest::Run r = run({"-g", "pr", m});
    EXPECT_EQ(r.out, "30");
    EXPECT_EQ(r.status, 30);
    r = run({"-g", "prid", m});
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 30);
}

TEST_F(CfgProc, CfgProcNameReachesNoShellAndIsBounded)
{
    // The old pipeline handed the name to a shell.
    const std::string planted = root_.at("/tmp/pwned");
    const std::string evil = "x;touch " + planted + ";x";
    ASSERT_LE(evil.size(), 64u);
    cfgtest::Run r = run({"-g", "pr", evil});
    EXPECT_EQ(r.out, "1");
    EXPECT_FALSE(testutil::file_exists(planted));
    // Nor does any work file appear.
    DIR *d = opendir(root_.at("/tmp").c_str());
    ASSERT_NE(d, nullptr);
    int entries = 0;
    while (struct dirent *e = readdir(d))
        entries += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(entries, 0);

    // A name up to 64 characters is looked for, a longer one refused.
    r = run({"-g", "pr", std::string(64, 'n')});
    EXPECT_EQ(r.out, "1");
    r = run({"-g", "pr", std::string(65, 'n')});
    EXPECT_EQ(r.out, "-1");
    EXPECT_EQ(r.status, 255);
    r = run({"-g", "prid", std::string(65, 'n')});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
}

} // namespace
