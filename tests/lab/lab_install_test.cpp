// Installing this build as an administrator would, into staged roots
// (DESTDIR): what lands where, that an administrator's configuration and the
// segment's key file survive every install, that the installed agent runs
// from there in a lab host and the installed manager stops it, and that the
// uninstall removes what was installed and nothing the administrator owns.
//
// All installs of the build directory happen in this one test: each one
// rewrites the build's install_manifest.txt.
#include "lab/lab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef VOLTMIRA_CMAKE_COMMAND
#error "the install test must be told which cmake configured this build"
#endif

extern char **environ;

namespace
{

using lab::CommandResult;
using lab::Fd;
using lab::LabHost;
using lab::LabNet;
using testutil::eventually;
using testutil::file_exists;
using testutil::read_file;

// A pass of the agent's loop is a second and the UPS channel searches for
// seconds before its first poll: generous for loaded cores under a sanitizer.
constexpr int kSlack = 30000;

const std::string kBuild = VOLTMIRA_BUILD_DIR;
const std::string kLib = "/usr/lib/voltmira";

// cmake itself, no shell between, with DESTDIR in its environment.
CommandResult cmake(const std::vector<std::string> &args, const std::string &destdir)
{
    std::vector<std::string> strings = {VOLTMIRA_CMAKE_COMMAND};
    strings.insert(strings.end(), args.begin(), args.end());
    const size_t nargs = strings.size();
    for (char **e = environ; *e != nullptr; e++)
        if (strncmp(*e, "DESTDIR=", 8) != 0)
            strings.emplace_back(*e);
    strings.push_back("DESTDIR=" + destdir);
    std::vector<char *> argv, envp;
    for (size_t i = 0; i < strings.size(); i++)
        (i < nargs ? argv : envp).push_back(strings[i].data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    CommandResult r;
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return r;
    Fd in(p[0]), out(p[1]);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    out.reset();
    if (pid < 0)
        return r;
    r.output = testutil::read_all(in);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

CommandResult install(const std::string &destdir)
{
    return cmake({"--install", kBuild, "--prefix", "/usr"}, destdir);
}

struct Node {
    bool exists = false;
    mode_t mode = 0; // permission bits
    uid_t uid = 0;
    ino_t ino = 0;
    std::string text;
};

Node node(const std::string &path)
{
    Node n;
    struct stat sb;
    if (lstat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
        return n;
    n = {true, sb.st_mode & 07777, sb.st_uid, sb.st_ino, read_file(path)};
    return n;
}

bool same(const Node &a, const Node &b)
{
    return a.exists && b.exists && a.mode == b.mode && a.ino == b.ino && a.text == b.text;
}

std::vector<std::string> manifest()
{
    std::vector<std::string> v;
    std::istringstream in(file_exists(kBuild + "/install_manifest.txt")
                              ? read_file(kBuild + "/install_manifest.txt")
                              : "");
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            v.push_back(line);
    return v;
}

bool listed(const std::vector<std::string> &files, const std::string &f)
{
    return std::find(files.begin(), files.end(), f) != files.end();
}

bool has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

// Where installed files belong, and the mode each kind gets.
struct Place {
    const char *pattern;
    mode_t mode;
};
const Place kPlaces[] = {
    {"/usr/lib/voltmira/config\\.example", 0644},
    {"/usr/lib/voltmira/[^/.]+", 0755}, // the programs
    {"/usr/lib/voltmira/locale/ja/LC_MESSAGES/[a-z]+\\.mo", 0644},
    {"/usr/lib/systemd/system/voltmirad\\.service", 0644},
    {"/usr/share/man/man[58]/[a-z-]+\\.[58](\\.gz)?", 0644},
};

// Checks an install into root: every installed file in its place with its
// mode, the programs, catalogues, unit and manual pages among them.
void expect_installed(const std::string &root, const std::vector<std::string> &files)
{
    for (const char *must :
         {"/usr/lib/voltmira/voltmirad", "/usr/lib/voltmira/voltmiractl",
          "/usr/lib/voltmira/voltmiracfg", "/usr/lib/voltmira/config.example",
          "/usr/lib/voltmira/locale/ja/LC_MESSAGES/voltmirad.mo",
          "/usr/lib/voltmira/locale/ja/LC_MESSAGES/voltmiractl.mo",
          "/usr/lib/systemd/system/voltmirad.service", "/usr/share/man/man8/voltmirad.8",
          "/usr/share/man/man8/voltmiractl.8", "/usr/share/man/man8/voltmiracfg.8",
          "/usr/share/man/man5/voltmira-config.5"})
        EXPECT_TRUE(listed(files, must)) << must;
    for (const std::string &f : files) {
        const Place *p = std::find_if(std::begin(kPlaces), std::end(kPlaces), [&](const Place &p) {
            return std::regex_match(f, std::regex(p.pattern));
        });
        ASSERT_NE(p, std::end(kPlaces)) << f << " is installed where nothing belongs";
        Node n = node(root + f);
        EXPECT_TRUE(n.exists) << f;
        EXPECT_EQ(n.mode, p->mode) << f;
    }
    for (const char *domain : {"voltmirad", "voltmiractl"}) {
        std::string mo = std::string("/ja/LC_MESSAGES/") + domain + ".mo";
        EXPECT_EQ(node(root + kLib + "/locale" + mo).text,
                  read_file(std::string(VOLTMIRA_LOCALE_BUILD_DIR) + mo));
    }
}

} // namespace

TEST(LabInstall, StagedInstallKeepsTheSettingsRunsInTheLabAndUninstalls)
{
    // --- into an empty root: everything made, the configuration private ---
    testutil::TempDir stage;
    const std::string s = stage.path();
    CommandResult r = install(s);
    ASSERT_EQ(r.status, 0) << r.output;
    const std::vector<std::string> files = manifest();
    expect_installed(s, files);
    Node cfg = node(s + kLib + "/config");
    EXPECT_EQ(cfg.text, node(s + kLib + "/config.example").text);
    EXPECT_EQ(cfg.mode, 0600u);
    EXPECT_EQ(cfg.uid, geteuid());
    Node key = node(s + "/etc/.ZERURIDO");
    EXPECT_TRUE(key.exists && key.text.empty() && key.mode == 0644) << r.output;
    EXPECT_TRUE(has(r.output, "Installing: " + s + kLib + "/config")) << r.output;
    // Neither is the install's to take back.
    for (const char *p : {"/usr/lib/voltmira/config", "/etc/.ZERURIDO"})
        EXPECT_FALSE(listed(files, p)) << p;

    // --- again, over a changed configuration and a key file in use ------
    testutil::write_file(s + kLib + "/config", "[ UPS ]\nAgentType = 4\n");
    testutil::write_file(s + "/etc/.ZERURIDO", "in use\n");
    cfg = node(s + kLib + "/config");
    key = node(s + "/etc/.ZERURIDO");
    r = install(s);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(same(node(s + kLib + "/config"), cfg));
    EXPECT_TRUE(same(node(s + "/etc/.ZERURIDO"), key));
    EXPECT_TRUE(has(r.output, "Keeping existing configuration: " + s + kLib + "/config"))
        << r.output;

    // --- into a lab host's root, whose configuration and key file the lab
    // wrote; the installed agent runs from there ------------------------
    std::unique_ptr<LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<LabNet>());
    LabHost &a = net->add_host("a");
    LabHost &m = net->add_host("m");
    const Node lab_cfg = node(a.at(kLib + "/config"));
    const Node lab_key = node(a.at("/etc/.ZERURIDO"));
    r = install(a.root());
    ASSERT_EQ(r.status, 0) << r.output;
    expect_installed(a.root(), manifest());
    EXPECT_TRUE(same(node(a.at(kLib + "/config")), lab_cfg)) << r.output;
    EXPECT_TRUE(same(node(a.at("/etc/.ZERURIDO")), lab_key)) << r.output;

    a.attach_ups();
    LabHost::AgentStart how;
    how.program = a.at(kLib + "/voltmirad");
    ASSERT_EQ(a.start_agent(how), 0) << a.console();
    ASSERT_TRUE(a.wait_agent_up(kSlack)) << a.debug_log();
    // It serves a monitor and talks to its UPS.
    EXPECT_TRUE(eventually(
        [&] {
            Fd c = lab::tcp_connect(m, a.addr(), NET_PORT_AGENT_TCP);
            std::string ans = c.valid() ? lab::ask(c, lab::packet(PK_GETUPSINFO)) : "";
            UPS_UPSINFO ui = lab::record_at<UPS_UPSINFO>(ans, sizeof(UPS_PACKET_HEAD));
            return ans.size() == 228u && ui.CommStatus == COMM_ESTABLISHED;
        },
        kSlack))
        << a.debug_log();

    // The installed manager stops it, in the language of the installed
    // catalogue.
    std::vector<std::string> ctl = {"/usr/bin/env", "-i", "VOLTMIRA_SYSROOT=" + a.root(),
                                    "PATH=/usr/bin:/bin", "LANG=ja_JP.UTF-8"};
    for (const char *v : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *val = getenv(v))
            ctl.push_back(std::string(v) + "=" + val);
    ctl.insert(ctl.end(), {a.at(kLib + "/voltmiractl"), "-s"});
    r = a.run_command(ctl, kSlack + 30000);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(has(r.output, "\tローカルエージェントが停止しました。\n")) << r.output;
    EXPECT_TRUE(a.wait_agent_gone(kSlack));
    EXPECT_EQ(a.sanitizer_reports(), "");

    // --- the uninstall takes back the manifest's files and only those ---
    if (!file_exists(a.at(kLib + "/events.log")))
        testutil::write_file(a.at(kLib + "/events.log"), "kept\n");
    // What the agent itself changed in its configuration stays too.
    const Node ran_cfg = node(a.at(kLib + "/config"));
    const Node log = node(a.at(kLib + "/events.log"));
    // Not from a tree that the last install did not go to.
    const std::string uninstall = kBuild + "/voltmira_uninstall.cmake";
    r = cmake({"-P", uninstall}, s);
    EXPECT_NE(r.status, 0) << r.output;
    for (const std::string &f : manifest())
        EXPECT_TRUE(file_exists(s + f) && file_exists(a.at(f))) << f << "\n" << r.output;
    r = cmake({"-P", uninstall}, a.root());
    ASSERT_EQ(r.status, 0) << r.output;
    for (const std::string &f : manifest())
        EXPECT_FALSE(file_exists(a.at(f))) << f << "\n" << r.output;
    EXPECT_FALSE(file_exists(a.at(kLib + "/locale"))) << "the catalogues' empty tree stays";
    EXPECT_TRUE(same(node(a.at(kLib + "/config")), ran_cfg));
    EXPECT_TRUE(same(node(a.at("/etc/.ZERURIDO")), lab_key));
    EXPECT_TRUE(same(node(a.at(kLib + "/events.log")), log));
}
