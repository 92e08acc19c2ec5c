#include "agent/sysroot.h"

#include "testutil.h"

#include <cstdlib>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace
{

// Runs sysroot_init with VOLTMIRA_SYSROOT set to value (null: unset) and
// gives back its result and what it printed; the staged root of the test
// run is restored afterwards.
struct InitResult {
    int rc;
    std::string err;
    std::string config; // the configuration file's path while it was set
};

InitResult init_with(const char *value)
{
    std::string saved = getenv("VOLTMIRA_SYSROOT");
    if (value)
        setenv("VOLTMIRA_SYSROOT", value, 1);
    else
        unsetenv("VOLTMIRA_SYSROOT");
    testing::internal::CaptureStderr();
    int rc = sysroot_init();
    std::string err = testing::internal::GetCapturedStderr();
    InitResult r{rc, err, rc == 0 ? sysroot_path(SP_CONFIG) : ""};
    setenv("VOLTMIRA_SYSROOT", saved.c_str(), 1);
    EXPECT_EQ(sysroot_init(), 0);
    return r;
}

} // namespace

TEST(Sysroot, MapsEveryFixedPathUnderTheRoot)
{
    testutil::Sysroot root;
    const std::string d = root.root();
    const struct {
        sysroot_path_id id;
        const char *real;
    } table[] = {
        {SP_LIBDIR, "/usr/lib/voltmira/"},
        {SP_CONFIG, "/usr/lib/voltmira/config"},
        {SP_EVENTLOG, "/usr/lib/voltmira/events.log"},
        {SP_DATALOG, "/usr/lib/voltmira/data.log"},
        {SP_ERRORLOG, "/usr/lib/voltmira/errorlog"},
        {SP_LOCALE, "/usr/lib/voltmira/locale"},
        {SP_LCKFILE, "/usr/lib/voltmira/.LCK"},
        {SP_PIPELOCK, "/usr/lib/voltmira/.pipelock"},
        {SP_CFGWORK, "/usr/lib/voltmira/tmp_file_vm"},
        {SP_DAEMON, "/usr/lib/voltmira/voltmirad"},
        {SP_MANAGER, "/usr/lib/voltmira/voltmiractl"},
        {SP_KEYFILE, "/etc/.ZERURIDO"},
        {SP_DEBUGLOG, "/.erra"},
        {SP_TTYS0, "/dev/ttyS0"},
        {SP_TTYS1, "/dev/ttyS1"},
        {SP_TTYS2, "/dev/ttyS2"},
        {SP_TTYS3, "/dev/ttyS3"},
        {SP_CONSOLE, "/dev/console"},
        {SP_SHUTDOWN, "/sbin/shutdown"},
        {SP_WALL, "/usr/bin/wall"},
        {SP_WRITE, "/usr/bin/write"},
        {SP_MESG, "/usr/bin/mesg"},
        {SP_MAIL, "/bin/mail"},
        {SP_WHO, "/usr/bin/who"},
        {SP_PS, "/bin/ps"},
        {SP_GREP, "/bin/grep"},
        {SP_TMPDIR, "/tmp/"},
        {SP_DEVLOG, "/dev/log"},
    };
    static_assert(sizeof table / sizeof table[0] == SP_COUNT, "every path is checked");
    for (const auto &e : table)
        EXPECT_EQ(sysroot_path(e.id), d + e.real) << e.real;
    EXPECT_EQ(sysroot_prefix(), d);
    for (int n = 0; n < 4; n++)
        EXPECT_EQ(sysroot_ttypath(n), d + "/dev/ttyS" + std::to_string(n));
    EXPECT_EQ(sysroot_ttypath(4), nullptr);
    EXPECT_EQ(sysroot_ttypath(-1), nullptr);

    char buf[512];
    ASSERT_EQ(sysroot_libfile("locale/ja/LC_MESSAGES/voltmirad.mo", buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), d + "/usr/lib/voltmira/locale/ja/LC_MESSAGES/voltmirad.mo");
    ASSERT_EQ(sysroot_tmpfile("work.1", buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), d + "/tmp/work.1");
}

TEST(Sysroot, FileNamesCannotLeaveTheirDirectory)
{
    char buf[512];
    EXPECT_EQ(sysroot_libfile("../../etc/passwd", buf, sizeof buf), -1);
    EXPECT_EQ(sysroot_libfile("/etc/passwd", buf, sizeof buf), -1);
    EXPECT_EQ(sysroot_tmpfile(nullptr, buf, sizeof buf), -1);
    char small[8];
    EXPECT_EQ(sysroot_libfile("config", small, sizeof small), -1);
}

TEST(Sysroot, UnsetEmptyAndSlashMeanTheRealSystem)
{
    for (const char *v : {static_cast<const char *>(nullptr), "", "/"}) {
        InitResult r = init_with(v);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.config, "/usr/lib/voltmira/config");
    }
}

TEST(Sysroot, TrailingSlashesDoNotDoubleUp)
{
    testutil::Sysroot root;
    std::string with_slash = root.root() + "//";
    setenv("VOLTMIRA_SYSROOT", with_slash.c_str(), 1);
    ASSERT_EQ(sysroot_init(), 0);
    EXPECT_EQ(sysroot_path(SP_KEYFILE), root.root() + "/etc/.ZERURIDO");
}

TEST(Sysroot, RefusesAnythingButAnAbsoluteDirectory)
{
    testutil::TempDir dir;
    std::string file = dir.path() + "/plain";
    testutil::write_file(file, "x");
    std::string missing = dir.path() + "/missing";
    std::string too_long = dir.path() + "/" + std::string(200, 'a');
    ASSERT_EQ(mkdir(too_long.c_str(), 0755), 0);
    for (const char *bad : {"relative/dir", ".", file.c_str(), missing.c_str(), too_long.c_str()}) {
        InitResult r = init_with(bad);
        EXPECT_EQ(r.rc, -1) << bad;
        // One line, and it says which variable is wrong.
        EXPECT_EQ(r.err.find("VOLTMIRA_SYSROOT"), 0u) << r.err;
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
}

TEST(Sysroot, RootTakesOnlyADirectoryOfItsOwn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the ownership rule holds for root only";
    testutil::TempDir dir;
    const struct {
        mode_t mode;
        uid_t owner;
        bool taken;
    } table[] = {
        {0755, 0, true},   {0700, 0, true},      {0775, 0, false},     {0757, 0, false},
        {01777, 0, false}, {0755, 65534, false}, {0700, 65534, false},
    };
    for (const auto &row : table) {
        ASSERT_EQ(chmod(dir.path().c_str(), row.mode), 0);
        ASSERT_EQ(chown(dir.path().c_str(), row.owner, 0), 0);
        InitResult r = init_with(dir.path().c_str());
        EXPECT_EQ(r.rc, row.taken ? 0 : -1) << std::oct << row.mode << " " << row.owner;
        if (!row.taken) {
            EXPECT_EQ(r.err.find("VOLTMIRA_SYSROOT"), 0u) << r.err;
            EXPECT_EQ(testutil::count_of(r.err, "\n"), 1u) << r.err;
        }
    }
    ASSERT_EQ(chown(dir.path().c_str(), 0, 0), 0);
}
