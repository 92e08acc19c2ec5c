#include "ea/filehandle.h"

#include "agent/agent_utils.h"
#include "agent/sysroot.h"
#include "engine_stage.h"
#include "testutil.h"

#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <csignal>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// Each test gets its own system root, a fresh module and a watched sink.
class FileHandleTest : public testing::Test
{
  protected:
    void SetUp() override { filehandle_init(); }
    void TearDown() override { filehandle_fini(); }

    static std::string cfg() { return sysroot_path(SP_CONFIG); }
    static void put(const std::string &s) { testutil::write_file(cfg(), s); }
    static std::string get() { return testutil::read_file(cfg()); }
    static std::optional<std::string> rd(const char *section, const char *key)
    {
        const char *p = readparam(section, key);
        return p ? std::optional<std::string>(p) : std::nullopt;
    }
    // Names in the configuration directory: a leftover work file shows here
    // (the lock file stays by design).
    static std::vector<std::string> dir_entries()
    {
        std::vector<std::string> names;
        if (DIR *d = opendir(sysroot_path(SP_LIBDIR))) {
            while (struct dirent *e = readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != ".." && n != ".cfglock")
                    names.push_back(n);
            }
            closedir(d);
        }
        return names;
    }

    testutil::Sysroot root_;
    testutil::SinkWatch sink_;
};

using FileHandleRead = FileHandleTest;
using FileHandleWrite = FileHandleTest;
using FileHandleMended = FileHandleTest;

const std::vector<std::string> only_config = {"config"};

} // namespace

TEST_F(FileHandleRead, SectionHeadFormsAndWhatEachLookupReturns)
{
    const struct {
        const char *head;
        bool found;
    } cases[] = {
        {"[UPS]", true},     {"[   UPS   ]", true}, {"[ UPS ] trailing", true},
        {" [ UPS ]", false}, {"[\tUPS ]", false},   {"[ UPSModel ]", false},
        {"[ UP ]", false},   {"[ UPS", false},      {"[ ups ]", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.head);
        put(std::string("\n") + c.head + "\n Group = A\n");
        EXPECT_EQ(rd("UPS", "Group"), c.found ? std::optional<std::string>("A") : std::nullopt);
        const char *p = readparam("UPS", nullptr);
        ASSERT_EQ(p != nullptr, c.found);
        if (c.found) {
            EXPECT_EQ(*p, ']');
            EXPECT_EQ(rd("UPS", ""), std::string(c.head));
        } else {
            EXPECT_EQ(rd("UPS", ""), std::nullopt);
        }
    }
}

TEST_F(FileHandleRead, KeyMatchingAndValues)
{
    const struct {
        const char *line;
        const char *key;
        std::optional<std::string> value;
    } cases[] = {
        {"Event10 = 1", "Event1", std::nullopt},
        {"Event1 == 1", "Event1", "1"},
        {"Event1 = = 1", "Event1", "1"},
        {"Event1=1", "Event1", "1"},
        {"    Event1 = 1", "Event1", "1"},
        {"Event1 1", "Event1", std::nullopt},
        {"\tEvent1 = 1", "Event1", std::nullopt},
        {"event1 = 1", "Event1", std::nullopt},
        {"Key = ", "Key", ""},
        {"Key = a = b", "Key", "a = b"},
        {"Key = v \r", "Key", "v \r"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        put(std::string("[ UPS ]\n") + c.line + "\n");
        EXPECT_EQ(rd("UPS", c.key), c.value);
    }
}

TEST_F(FileHandleRead, SectionBodiesAndFirstMatchWins)
{
    put("Early = 0\n"
        "[ A ]\n x = 1\n x = 2\n"
        "[ B ]\n y = 3\n"
        "[ A ]\n x = 4\n z = 5\n"
        "[ C ]\n[not a head\n w = 6\n");
    EXPECT_EQ(rd("A", "x"), "1");
    EXPECT_EQ(rd("A", "y"), std::nullopt);
    EXPECT_EQ(rd("A", "z"), std::nullopt);
    EXPECT_EQ(rd("B", "y"), "3");
    EXPECT_EQ(rd("B", "x"), std::nullopt);
    EXPECT_EQ(rd("C", "w"), std::nullopt);
    EXPECT_EQ(rd("D", nullptr), std::nullopt);
}

TEST_F(FileHandleRead, LineLengthLimitAndSplitLines)
{
    // " K = " and the line feed leave 505 characters for a 511-character line.
    put("[ UPS ]\n K = " + std::string(505, 'v') + "\n");
    EXPECT_EQ(rd("UPS", "K"), std::string(505, 'v'));
    put("[ UPS ]\n K = " + std::string(506, 'v') + "\n");
    EXPECT_EQ(rd("UPS", "K"), std::nullopt);

    // The pieces of a cut line are read on as lines of their own.
    put("[ UPS ]\n" + std::string(511, 'x') + "K = tail\n");
    EXPECT_EQ(rd("UPS", "K"), "tail");

    // "[ ", " ]" and the line feed leave 506 characters for the name.
    const std::string name506(506, 'n');
    put("[ " + name506 + " ]\n K = 1\n");
    EXPECT_EQ(rd(name506.c_str(), "K"), "1");

    const std::string name507(507, 'n');
    put("[ " + name507 + " ]\n K = 1\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(rd(name507.c_str(), "K"), std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nErrNo.2 line too long\n");
}

TEST_F(FileHandleRead, LastLineWithoutLineFeedIsNotRead)
{
    put("[ UPS ]\n A = 1\n K = 2");
    EXPECT_EQ(rd("UPS", "A"), "1");
    EXPECT_EQ(rd("UPS", "K"), std::nullopt);

    put("[ Net ]\n A = 1\n[ UPS ]");
    testing::internal::CaptureStdout();
    EXPECT_EQ(rd("UPS", nullptr), std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nErrNo.2 line too long\n");
}

TEST_F(FileHandleRead, MissingFileIsLoggedAndGivesNull)
{
    EXPECT_EQ(rd("UPS", "Group"), std::nullopt);
    EXPECT_EQ(rd("UPS", nullptr), std::nullopt);
    EXPECT_TRUE(sink_.saw("Cannot open config file\n"));
}

TEST_F(FileHandleWrite, FirstWritesCreateTheFileNotWritableByOthers)
{
    // With no umask to hide it, a file made with a loose mode would show it.
    mode_t saved = umask(0);
    EXPECT_EQ(writeparam("UPS", "Group", "A"), 0);
    umask(saved);
    EXPECT_EQ(get(), "\n[ UPS ]\n\n Group = A\n");
    struct stat sb;
    ASSERT_EQ(stat(cfg().c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0644u);
    EXPECT_EQ(dir_entries(), only_config);

    EXPECT_EQ(writeparam("UPS", "", "ignored"), 0);
    EXPECT_EQ(writeparam("UPS", nullptr, "ignored"), 0);
    EXPECT_EQ(get(), "\n[ UPS ]\n\n Group = A\n");
    EXPECT_EQ(writeparam("Net", "", "ignored"), 0);
    EXPECT_EQ(get(), "\n[ UPS ]\n\n Group = A\n\n[ Net ]\n");
    EXPECT_NE(readparam("Net", nullptr), nullptr);
}

TEST_F(FileHandleWrite, ReplacesValuesInPlaceAndShiftsTheRestIntact)
{
    const std::string head = "; hand notes\n[ UPS ]\n Group=A\n";
    const std::string tail = " Tail = t\n\n[ Net ]\n Port = 4112\n";
    put(head + "  Name  ==  old value\n" + tail);

    EXPECT_EQ(writeparam("UPS", "Group", "B"), 0);
    EXPECT_EQ(get(), "; hand notes\n[ UPS ]\n Group=B\n  Name  ==  old value\n" + tail);
    EXPECT_EQ(writeparam("UPS", "Name", "a value much longer than the old one"), 0);
    EXPECT_EQ(get(), "; hand notes\n[ UPS ]\n Group=B\n  Name  ==  a value much longer than the "
                     "old one\n" +
                         tail);
    EXPECT_EQ(writeparam("UPS", "Name", "s"), 0);
    EXPECT_EQ(get(), "; hand notes\n[ UPS ]\n Group=B\n  Name  ==  s\n" + tail);
    EXPECT_EQ(writeparam("UPS", "Name", ""), 0);
    EXPECT_EQ(get(), "; hand notes\n[ UPS ]\n Group=B\n  Name  ==  \n" + tail);
    EXPECT_EQ(rd("UPS", "Name"), "");

    // The writer keeps its own buffers: a value read just before survives.
    const char *port = readparam("Net", "Port");
    EXPECT_EQ(writeparam("UPS", "Name", port), 0);
    EXPECT_EQ(rd("UPS", "Name"), "4112");
}

TEST_F(FileHandleWrite, ChangesOnlyTheFirstEntryOfTheFirstSection)
{
    put("[ UPS ]\n K = 1\n K = 2\n[ UPS ]\n K = 3\n");
    EXPECT_EQ(writeparam("UPS", "K", "9"), 0);
    EXPECT_EQ(get(), "[ UPS ]\n K = 9\n K = 2\n[ UPS ]\n K = 3\n");
    EXPECT_EQ(writeparam("UPS", "J", "5"), 0);
    EXPECT_EQ(get(), "[ UPS ]\n K = 9\n K = 2\n J = 5\n\n[ UPS ]\n K = 3\n");
}

TEST_F(FileHandleWrite, AddsKeysBeforeAFollowingSectionOrAtTheEnd)
{
    EXPECT_EQ(writeparam("UPS", "A", "1"), 0);
    EXPECT_EQ(writeparam("Net", "X", "2"), 0);
    EXPECT_EQ(writeparam("UPS", "B", "3"), 0);
    EXPECT_EQ(get(), "\n[ UPS ]\n\n A = 1\n\n B = 3\n\n[ Net ]\n\n X = 2\n");
    EXPECT_EQ(writeparam("Net", "Y", "4"), 0);
    EXPECT_EQ(get(), "\n[ UPS ]\n\n A = 1\n\n B = 3\n\n[ Net ]\n\n X = 2\n\n Y = 4\n");
    EXPECT_EQ(rd("UPS", "B"), "3");
    EXPECT_EQ(rd("Net", "Y"), "4");

    // Hand-written files without empty lines, and empty sections.
    put("[UPS]\nA=1\n[Net]\nX=2\n");
    EXPECT_EQ(writeparam("UPS", "B", "3"), 0);
    EXPECT_EQ(get(), "[UPS]\nA=1\n B = 3\n\n[Net]\nX=2\n");
    put("[UPS]\n[Net]\n");
    EXPECT_EQ(writeparam("UPS", "K", "v"), 0);
    EXPECT_EQ(get(), "[UPS]\n K = v\n\n[Net]\n");
    put("[Net]\nX=2\n[UPS]\n");
    EXPECT_EQ(writeparam("UPS", "K", "v"), 0);
    EXPECT_EQ(get(), "[Net]\nX=2\n[UPS]\n\n K = v\n");
    EXPECT_EQ(writeparam("Mail", "To", "root"), 0);
    EXPECT_EQ(get(), "[Net]\nX=2\n[UPS]\n\n K = v\n\n[ Mail ]\n\n To = root\n");
}

TEST_F(FileHandleWrite, SkipsCutHeadsLikeTheReader)
{
    const std::string cut = "[ " + std::string(600, 'x') + " ]\n";
    put(cut + "[ UPS ]\n K = 1\n");
    EXPECT_EQ(writeparam("UPS", "K", "2"), 0);
    EXPECT_EQ(get(), cut + "[ UPS ]\n K = 2\n");
    EXPECT_TRUE(sink_.saw("writeparam:line too long"));
}

TEST_F(FileHandleWrite, KeepsOwnerAndMode)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the file away";
    put("[ UPS ]\n Group = A\n");
    ASSERT_EQ(chmod(cfg().c_str(), 0640), 0);
    ASSERT_EQ(chown(cfg().c_str(), 1234, 5678), 0);
    EXPECT_EQ(writeparam("UPS", "Group", "B"), 0);
    EXPECT_EQ(writeparam("UPS", "New", "C"), 0);
    EXPECT_EQ(get(), "[ UPS ]\n Group = B\n\n New = C\n");
    struct stat sb;
    ASSERT_EQ(stat(cfg().c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0640u);
    EXPECT_EQ(sb.st_uid, 1234u);
    EXPECT_EQ(sb.st_gid, 5678u);
    EXPECT_EQ(dir_entries(), only_config);
}

TEST_F(FileHandleWrite, ReportsFilesItCannotUse)
{
    ASSERT_EQ(mkdir(cfg().c_str(), 0755), 0);
    EXPECT_EQ(writeparam("UPS", "Group", "A"), -1);
    EXPECT_TRUE(sink_.saw("writeparam: cannot open config file\n"));
    ASSERT_EQ(rmdir(cfg().c_str()), 0);

    // No directory to make the file (or the lock beside it) in.
    testutil::remove_tree(sysroot_path(SP_LIBDIR));
    EXPECT_EQ(writeparam("UPS", "Group", "A"), -1);
    EXPECT_TRUE(sink_.saw("writeparam: configuration lock not taken\n"));
}

// A FIFO in the file's place: opening it for reading would wait for a writer
// forever.  The lookups run in a child so that a hang fails the test.
TEST_F(FileHandleRead, FifoInPlaceOfTheFileIsRefusedWithoutWaiting)
{
    ASSERT_EQ(mkfifo(cfg().c_str(), 0600), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(5);
        bool ok = readparam("UPS", "Group") == nullptr && readparam("UPS", nullptr) == nullptr &&
                  writeparam("UPS", "Group", "A") == -1;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat sb;
    ASSERT_EQ(lstat(cfg().c_str(), &sb), 0);
    EXPECT_TRUE(S_ISFIFO(sb.st_mode));
}

TEST_F(FileHandleMended, MissingFinalLineFeedIsAddedBeforeAnEdit)
{
    put("[ UPS ]\n Group = A");
    EXPECT_EQ(writeparam("UPS", "Group", "B"), 0);
    EXPECT_EQ(get(), "[ UPS ]\n Group = B\n");

    put("\n[ UPS ]");
    EXPECT_EQ(writeparam("UPS", "K", "v"), 0);
    EXPECT_EQ(get(), "\n[ UPS ]\n\n K = v\n");

    put("[ UPS ]\n Group = A");
    EXPECT_EQ(writeparam("Net", "X", "1"), 0);
    EXPECT_EQ(get(), "[ UPS ]\n Group = A\n\n[ Net ]\n\n X = 1\n");
}

TEST_F(FileHandleMended, RefusedWritesLeaveTheFileUntouched)
{
    const std::string base = "\n[ UPS ]\n\n Group = A\n\n[ Net ]\n\n X = 1\n";
    // " Group = " and the line feed leave 501 characters for a replaced value,
    // " K = " and the line feed 505 for a new one, "[  ]" 506 for a name.
    const std::string v502(502, 'v'), v506(506, 'v'), k600(600, 'k'), k5000(5000, 'k');
    const std::string s507(507, 's');
    const struct {
        const char *section;
        const char *key;
        const char *value;
    } refused[] = {
        {"UPS\n[ Evil ]", "K", "v"},
        {"UPS", "K\n Command = /bin/sh", "v"},
        {"UPS", "Group", "B\n Command = /bin/sh"},
        {"New", "", "\n"},
        {nullptr, "K", "v"},
        {"", "K", "v"},
        {"UPS", "Group", v502.c_str()},
        {"UPS", "K", v506.c_str()},
        {"Net", k600.c_str(), "v"},
        {"Net", k5000.c_str(), "v"},
        {s507.c_str(), "", ""},
        {s507.c_str(), "K", "v"},
    };
    put(base);
    for (const auto &r : refused) {
        SCOPED_TRACE(testing::Message() << (r.section ? r.section : "(null)") << " / "
                                        << std::string(r.key).substr(0, 20));
        sink_.seen.clear();
        EXPECT_EQ(writeparam(r.section, r.key, r.value), -1);
        EXPECT_EQ(get(), base);
        EXPECT_FALSE(sink_.seen.empty());
        EXPECT_EQ(dir_entries(), only_config);
    }

    // Just inside every limit the write goes through and reads back whole.
    const std::string v501(501, 'v'), v505(505, 'w'), s506(506, 's');
    EXPECT_EQ(writeparam("UPS", "Group", v501.c_str()), 0);
    EXPECT_EQ(rd("UPS", "Group"), v501);
    EXPECT_EQ(writeparam("UPS", "K", v505.c_str()), 0);
    EXPECT_EQ(rd("UPS", "K"), v505);
    EXPECT_EQ(writeparam(s506.c_str(), "", ""), 0);
    EXPECT_NE(readparam(s506.c_str(), nullptr), nullptr);

    // A null value is an empty one.
    EXPECT_EQ(writeparam("Net", "X", nullptr), 0);
    EXPECT_EQ(rd("Net", "X"), "");
}

// The lock that serialises writers is a root-only file: a user who holds the
// directory (anyone who can read it can) holds up nothing, and a busy lock
// fails the write in about 2 s instead of holding the daemon.  Writes run in
// a child so that a hang fails the test.
TEST_F(FileHandleMended, WritesTakeOnlyTheirOwnLockAndNeverWaitLong)
{
    utils_lockinit();
    put("\n[ UPS ]\n\n Group = A\n");
    int dirfd = open(sysroot_path(SP_LIBDIR), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirfd, 0);
    ASSERT_EQ(flock(dirfd, LOCK_EX), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(20);
        _exit(writeparam("UPS", "Group", "B") == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(dirfd);
    EXPECT_EQ(rd("UPS", "Group"), "B");

    int held = utils_cfglock();
    ASSERT_GE(held, 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(writeparam("UPS", "Group", "C"), -1);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(waited, 1.9);
    EXPECT_LT(waited, 15.0);
    EXPECT_TRUE(sink_.saw("writeparam: configuration lock not taken\n"));
    EXPECT_EQ(get(), "\n[ UPS ]\n\n Group = B\n");
    close(held);
    EXPECT_EQ(writeparam("UPS", "Group", "C"), 0);
}

// A batch leaves the file as the same writes one by one would, in one
// replacement; a refused change leaves it as it was.
TEST_F(FileHandleWrite, BatchEqualsTheSameWritesOneByOne)
{
    using W = std::vector<PARAMWRITE>;
    const std::string v506(506, 'v');
    const std::optional<std::string> none;
    const struct {
        const char *what;
        std::optional<std::string> start; // none: no file
        W items;
        bool refused;
    } cases[] = {
        {"no file",
         none,
         {{"UPS", "Group", "A"}, {"UPS", "Group", "B"}, {"Net", "", ""}, {"UPS", "K", nullptr}},
         false},
        {"empty file",
         "",
         {{"Net", nullptr, ""}, {"UPS", "A", "1"}, {"Net", "X", "2"}, {"UPS", "B", "3"}},
         false},
        {"sections missing and between",
         "[UPS]\nA=1\n[Net]\nX=2\n",
         {{"UPS", "B", "3"},
          {"Net", "X", "9"},
          {"Mail", "To", "root"},
          {"UPS", "C", "4"},
          {"UPS", "A", "1"}},
         false},
        {"repeated keys and sections",
         "[ UPS ]\n K = 1\n K = 2\n[ UPS ]\n K = 3\n",
         {{"UPS", "K", "9"},
          {"UPS", "J", "5"},
          {"UPS", "K", " = lead"},
          {"UPS", "K", "lead"},
          {"UPS", "J", "5"}},
         false},
        {"last line unended",
         "[ UPS ]\n Group = A",
         {{"UPS", "Group", "A"}, {"Net", "X", "1"}},
         false},
        {"nothing changes", "\n[ UPS ]\n\n K = v\n", {{"UPS", "", ""}, {"UPS", "K", "v"}}, false},
        {"over-long line",
         "\n[ UPS ]\n\n K = v\n",
         {{"UPS", "A", "1"}, {"UPS", "K", v506.c_str()}, {"UPS", "B", "2"}},
         true},
        {"line feed", none, {{"UPS", "A", "1"}, {"UPS", "B", "2\n Command = /bin/sh"}}, true},
        {"no section", "[ UPS ]\n", {{"UPS", "A", "1"}, {"", "B", "2"}}, true},
    };
    auto reset = [](const std::optional<std::string> &start) {
        unlink(cfg().c_str());
        if (start)
            put(*start);
    };
    auto now = []() {
        return testutil::file_exists(cfg()) ? std::optional<std::string>(get()) : std::nullopt;
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        reset(c.start);
        int failed = 0;
        for (const PARAMWRITE &w : c.items)
            failed += writeparam(w.section, w.cp, w.content) != 0;
        EXPECT_EQ(failed == 1, c.refused);
        const std::optional<std::string> one_by_one = now();

        reset(c.start);
        struct stat before = {};
        stat(cfg().c_str(), &before);
        EXPECT_EQ(writeparams(c.items.data(), static_cast<int>(c.items.size())),
                  c.refused ? -1 : 0);
        EXPECT_EQ(now(), c.refused ? c.start : one_by_one);
        struct stat after = {};
        stat(cfg().c_str(), &after);
        if (c.refused) {
            EXPECT_EQ(before.st_ino, after.st_ino);
        }
        EXPECT_EQ(dir_entries(), now() ? only_config : std::vector<std::string>{});
    }
    reset(std::nullopt);
    EXPECT_EQ(writeparams(nullptr, 0), 0);
    EXPECT_EQ(writeparams(nullptr, 1), -1);
    EXPECT_EQ(now(), std::nullopt);
}

TEST_F(FileHandleRead, HeldLookupsAnswerAsTheFileAndSeeOnlyTheirOwnWrites)
{
    const std::string text = "[ A ]\n k = 1\n k2 = 2\n[ B ]\n" + std::string(600, 'x') +
                             "\n k = 3\n[ A ]\n k3 = 4\n[ C ]\n k = 5";
    // Back and forth between sections, keys that are and are not there, the
    // head line and the section test: held or not, the same answers.
    const struct {
        const char *section;
        const char *key;
    } asks[] = {{"A", "k"},     {"A", "k2"}, {"B", "k"},     {"A", "k3"}, {"A", ""},
                {"B", nullptr}, {"A", "k"},  {"C", "k"},     {"D", "k"},  {"D", nullptr},
                {"A", nullptr}, {"A", "k2"}, {nullptr, "k"}, {"B", ""},   {"B", "k"}};
    put(text);
    std::vector<std::optional<std::string>> plain;
    for (const auto &a : asks)
        plain.push_back(rd(a.section, a.key));
    {
        FilehandleHold hold;
        for (size_t i = 0; i < std::size(asks); i++)
            EXPECT_EQ(rd(asks[i].section, asks[i].key), plain[i]) << i;

        // Another writer's change waits for the release; this process's own
        // write is seen at once, on top of the other's.
        put("[ A ]\n k = 9\n");
        EXPECT_EQ(rd("A", "k"), "1");
        ASSERT_EQ(writeparam("A", "k2", "7"), 0);
        EXPECT_EQ(rd("A", "k"), "9");
        EXPECT_EQ(rd("A", "k2"), "7");
        put("[ A ]\n k = 8\n");
    }
    EXPECT_EQ(rd("A", "k"), "8");
}
