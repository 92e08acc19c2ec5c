#include "agent/agent_lang.h"
#include "agent/sysroot.h"

#include "testutil.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <iconv.h>
#include <iterator>
#include <libintl.h>
#include <limits.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using Results = std::vector<std::string>;

// The compiled catalogues of this build tree.  The build says where; without
// that, they lie beside the directory of the test program.
std::string locale_build_dir()
{
#ifdef VOLTMIRA_LOCALE_BUILD_DIR
    return VOLTMIRA_LOCALE_BUILD_DIR;
#else
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return "";
    std::string p(exe, static_cast<size_t>(n));
    p = p.substr(0, p.rfind('/')); // .../tests
    p = p.substr(0, p.rfind('/')); // the build tree
    return p + "/locale";
#endif
}

// The bytes of a text in another encoding, by iconv alone, so that the
// expectation does not come from the catalogue machinery under test.
std::string convert(const std::string &text, const char *from, const char *to)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return "<no converter>";
    std::string in = text;
    std::string out(in.size() * 4 + 16, '\0');
    char *ip = in.data();
    char *op = out.data();
    size_t il = in.size();
    size_t ol = out.size();
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1))
        return "<not convertible>";
    out.resize(out.size() - ol);
    return out;
}

std::string eucjp(const std::string &utf8)
{
    return convert(utf8, "UTF-8", "EUC-JP");
}

// Runs fn in a child process and returns what it produced.  gettext keeps
// every catalogue it has opened for the life of the process, and the set-up
// changes the locale and the environment: a child keeps all of that away
// from the other tests.
Results in_child(const std::function<Results()> &fn)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {"<pipe failed>"};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return {"<fork failed>"};
    }
    if (pid == 0) {
        close(fds[0]);
        std::string wire;
        for (const std::string &s : fn()) {
            wire += s;
            wire += '\0'; // no text that gettext returns holds a NUL
        }
        const char *p = wire.data();
        size_t left = wire.size();
        while (left > 0) {
            ssize_t w = write(fds[1], p, left);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                _exit(2);
            p += w;
            left -= static_cast<size_t>(w);
        }
        // _exit: the child must not run the parent's clean-up, which would
        // remove the staged system root.
        _exit(0);
    }
    close(fds[1]);
    std::string wire;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        wire.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {"<child failed>"};
    Results out;
    size_t start = 0;
    for (size_t i = 0; i < wire.size(); i++) {
        if (wire[i] == '\0') {
            out.push_back(wire.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

class LangCatalogue : public testing::Test
{
  protected:
    testutil::Sysroot root_;

    // Copies the built catalogue of domain into the staged locale directory,
    // where the installed one would be.
    void install(const char *domain)
    {
        std::string from = locale_build_dir() + "/ja/LC_MESSAGES/" + domain + ".mo";
        ASSERT_TRUE(testutil::file_exists(from))
            << from << " is missing: the message catalogues were not built";
        std::string dir = sysroot_path(SP_LOCALE);
        for (const char *sub : {"", "/ja", "/ja/LC_MESSAGES"})
            mkdir((dir + sub).c_str(), 0755);
        testutil::write_file(dir + "/ja/LC_MESSAGES/" + domain + ".mo", testutil::read_file(from));
    }
};

// One English identifier and its Japanese text as the catalogue holds it.
struct Pair {
    const char *id;
    const char *ja;
};

} // namespace

TEST_F(LangCatalogue, TranslatedTextComesBackInEucJp)
{
    ASSERT_NO_FATAL_FAILURE(install("voltmirad"));
    const Pair pairs[] = {
        {"UPS Battery Low", "UPSバッテリ低下"},
        {"UPS Ac fail", "停電発生"},
        {"UPS communication Lost", "UPSとの通信断"},
        // Line ends of the identifier stay where they were.
        {"Ups battery is weak.Please change the battery as soon as possible.\n",
         "UPSのバッテリが劣化しています。できるだけ早くバッテリを交換してください。\n"},
    };
    Results got = in_child([&] {
        Results r;
        r.push_back(std::to_string(daemon_setlang()));
        for (const Pair &p : pairs)
            r.push_back(gettext(p.id));
        return r;
    });
    ASSERT_EQ(got.size(), 1 + std::size(pairs));
    EXPECT_EQ(got[0], "0");
    for (size_t i = 0; i < std::size(pairs); i++)
        EXPECT_EQ(got[1 + i], eucjp(pairs[i].ja)) << pairs[i].id;
}

TEST_F(LangCatalogue, UntranslatedTextComesBackUnchanged)
{
    ASSERT_NO_FATAL_FAILURE(install("voltmirad"));
    const char unknown[] = "No such message in any catalogue";
    Results got = in_child([&] {
        daemon_setlang();
        const char *t = gettext(unknown);
        // The very same string, not a copy: callers may compare pointers.
        return Results{t, t == unknown ? "same" : "copy"};
    });
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], unknown);
    EXPECT_EQ(got[1], "same");
}

TEST_F(LangCatalogue, FormatDirectivesSurviveTranslation)
{
    ASSERT_NO_FATAL_FAILURE(install("voltmirad"));
    Results got = in_child([] {
        daemon_setlang();
        char buf[256];
        Results r;
        snprintf(buf, sizeof buf, gettext("The system will shutdown in %d minutes"), 2);
        r.push_back(buf);
        snprintf(buf, sizeof buf,
                 gettext("UPS Ac fail, System will be shut down in %d minute(s) and %d "
                         "second(s)."),
                 4, 30);
        r.push_back(buf);
        snprintf(buf, sizeof buf, gettext("Receive shutdown Command From Users on %s"), "mon01");
        r.push_back(buf);
        return r;
    });
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], eucjp("2 分後にシステムをシャットダウンします"));
    EXPECT_EQ(got[1], eucjp("停電が発生しました。4 分 30 秒後にシステムをシャットダウンします。"));
    EXPECT_EQ(got[2], eucjp("mon01 上のユーザーからシャットダウン指示を受信"));
}

TEST_F(LangCatalogue, EnvironmentIsOverwrittenWithJapanese)
{
    ASSERT_NO_FATAL_FAILURE(install("voltmirad"));
    Results got = in_child([] {
        // Whatever the daemon was started with.
        setenv("LANG", "en_US.UTF-8", 1);
        setenv("LANGUAGE", "de:fr", 1);
        setenv("KDE_LANG", "en", 1);
        setenv("LC_ALL", "C", 1);
        Results r;
        r.push_back(std::to_string(daemon_setlang()));
        for (const char *name : {"LANG", "LANGUAGE", "KDE_LANG", "LC_ALL"}) {
            const char *v = getenv(name);
            r.push_back(v ? v : "<unset>");
        }
        r.push_back(textdomain(nullptr));
        const char *dir = bindtextdomain(lang_daemon_domain, nullptr);
        r.push_back(dir ? dir : "<unbound>");
        r.push_back(gettext("UPS overload"));
        return r;
    });
    ASSERT_EQ(got.size(), 8u);
    EXPECT_EQ(got[0], "0");
    EXPECT_EQ(got[1], "ja");
    EXPECT_EQ(got[2], "ja");
    EXPECT_EQ(got[3], "ja");
    EXPECT_EQ(got[4], "ja");
    EXPECT_EQ(got[5], "voltmirad");
    EXPECT_EQ(got[6], sysroot_path(SP_LOCALE));
    EXPECT_EQ(got[7], eucjp("UPS過負荷"));
    // The child's changes stayed in the child.
    const char *lang = getenv("LANGUAGE");
    EXPECT_TRUE(lang == nullptr || strcmp(lang, "de:fr") != 0);
}

TEST_F(LangCatalogue, MissingCatalogueLeavesEnglish)
{
    // Nothing installed: the daemon still starts and speaks English.
    Results got = in_child([] {
        Results r;
        r.push_back(std::to_string(daemon_setlang()));
        r.push_back(gettext("UPS Battery Low"));
        return r;
    });
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "0");
    EXPECT_EQ(got[1], "UPS Battery Low");
}

TEST_F(LangCatalogue, EveryEventNameIsTranslated)
{
    ASSERT_NO_FATAL_FAILURE(install("voltmirad"));
    // The names of all 54 events, as the engine looks them up.
    const char *const events[] = {
        "UPS Battery Low",
        "UPS AC Fail Delay Run out",
        "specified date to turn off UPS is arrived at",
        "weekly time to turn off UPS is arrived at",
        "monthly time to turn off UPS is arrived at",
        "Shutdown Time Initiated by Users is arrived at",
        "Shut Down Time Initiated by other Agent is arrived at",
        "UPS communication Lost",
        "UPS Ac fail",
        "UPS Battery Disconnect",
        "UPS is Bypass",
        "UPS Battery is weak",
        "UPS SelfTest by User Failed",
        "UPS Special Day SelfTest Failed",
        "UPS Weekly SelfTest Failed",
        "UPS Monthly SelfTest Failed",
        "Battery SelfTest Failed",
        "System begin specially turn off UPS warning",
        "System begin weekly turn off UPS Warning",
        "System begin monthly turn off UPS Warning",
        "UPS abnormal",
        "UPS overload",
        "Receive shutdown Command From Users on %s",
        "Network Shutdown Triggered by Other Agent",
        "UPS AC Restore",
        "UPS Communication established",
        "SelfTest by User succeeded",
        "Special Day Selftest succeeded",
        "Weekly SelfTest succeeded",
        "Monthly Selftest succeeded",
        "UPS Battery Selftest succeeded",
        "UPS Agent Start up",
        "UPS Agent stop",
        "UPS Working SetParameters is changed",
        "UPS Schedule Setparameters is changed",
        "UPS Smart Event Setparameters is changed",
        "Disable UPS Automatic Selftest Timer",
        "Enable UPS Automatic Selftest Timer",
        "Enable the Buzzer",
        "Disable the Buzzer",
        "The Battery is Changed",
        "Set up to output voltage 100V standard sensitivity",
        "Set up to output voltage 100V low sensitivity",
        "Set up to output voltage 115V standard sensitivity",
        "Set up to output voltage 115V low sensitivity",
        "The Shutdown is Canceled by Users on %s",
        "System is shutdown",
        "No event",
        "Protector start",
        "Protector stop",
        "Protector not find Agent",
        "Protector find Agent",
        "Protector's parameters is set",
        "Protector shutdown to Agent",
    };
    static_assert(std::size(events) == 54);
    Results got = in_child([&] {
        daemon_setlang();
        Results r;
        for (const char *e : events)
            r.push_back(gettext(e));
        return r;
    });
    ASSERT_EQ(got.size(), std::size(events));
    for (size_t i = 0; i < std::size(events); i++) {
        EXPECT_NE(got[i], events[i]) << "no translation for \"" << events[i] << "\"";
        // Whatever comes back must be whole EUC-JP text.
        EXPECT_NE(convert(got[i], "EUC-JP", "UTF-8"), "<not convertible>") << events[i];
    }
}

TEST_F(LangCatalogue, ManagerDomainInItsOwnCodeset)
{
    ASSERT_NO_FATAL_FAILURE(install("voltmiractl"));
    Results got = in_child([] {
        // The manager takes its language from the user; here the user asked
        // for Japanese on a UTF-8 terminal.
        setenv("LANGUAGE", "ja", 1);
        setenv("LC_ALL", "ja", 1);
        Results r;
        r.push_back(std::to_string(lang_setlocale() >= 0 ? 0 : -1));
        r.push_back(std::to_string(lang_binddomain(lang_manager_domain, "UTF-8")));
        r.push_back(gettext("\tLocal Agent is down.\n"));
        return r;
    });
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], "0");
    EXPECT_EQ(got[1], "0");
    EXPECT_EQ(got[2], "\tローカルエージェントが停止しました。\n");
}

TEST(LangBind, EmptyDomainIsRefused)
{
    EXPECT_EQ(lang_binddomain(nullptr, "EUC-JP"), -1);
    EXPECT_EQ(lang_binddomain("", nullptr), -1);
}
