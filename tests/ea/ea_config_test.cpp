#include "ea/ea_config.h"

#include "agent/strings.h"
#include "agent/sysclock.h"
#include "agent/sysroot.h"
#include "ea/ea_batt.h"
#include "ea/ea_events.h"
#include "ea/ea_schlist.h"
#include "ea/ea_time.h"
#include "ea/ea_state.h"
#include "ea/filehandle.h"
#include "engine_stage.h"
#include "testutil.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{

std::vector<int> calls;    // callback kinds, in order
int battdate_rc;           // what the daemon answers to 0x800
UPS_TIMEINFO battdate_ups; // the date the UPS reports
std::string nodename;      // the host's node name; "" fails

int recorder(int cmd, char *msg, unsigned, unsigned)
{
    calls.push_back(cmd);
    if (cmd == CB_GETBATTDATE && battdate_rc == 0) {
        BATTCHGTIME b;
        memset(&b, 0, sizeof b);
        b.BattTime = battdate_ups;
        b.BattTime.hour = 9; // the engine keeps only year, month and day
        memcpy(msg, &b, sizeof b);
    }
    return battdate_rc;
}

int fake_nodename(char *dst, size_t size)
{
    if (nodename.empty())
        return -1;
    wp_strlcpy(dst, nodename.c_str(), size);
    return 0;
}

// A fresh engine on a staged root, records wired as the daemon wires them:
// request and reply point at the same memory.
class ConfigKeys : public testing::Test, protected testutil::EngineRecords
{
  protected:
    void SetUp() override
    {
        ea_stateinit();
        ea_setcallback(recorder);
        ea_config_setnodename(fake_nodename);
        filehandle_init();
        sysclock_fake(1772000000, 1000.0);
        calls.clear();
        battdate_rc = 0;
        battdate_ups = UPS_TIMEINFO{124, 5, 17, 0, 0, 0, 0};
        nodename = "alpha";
    }
    void TearDown() override
    {
        ea_config_setnodename(nullptr);
        ea_setcallback(nullptr);
        filehandle_fini();
        sysclock_real();
    }
    static void put(const std::string &s) { testutil::write_file(sysroot_path(SP_CONFIG), s); }
    static std::string file() { return testutil::read_file(sysroot_path(SP_CONFIG)); }
    static std::string key(const char *sect, const char *k)
    {
        const char *p = readparam(sect, k);
        return p ? p : "<missing>";
    }

    testutil::Sysroot root_;
    testutil::SinkWatch sink_;
};

TEST_F(ConfigKeys, EmptyFileGivesEveryDefault)
{
    put("");
    up.workparam.BattLife = 999;
    ASSERT_EQ(getconfig(&out), 0);
    const UPS_WORKPARAM &w = up.workparam;
    const UPS_LOGPARAM &l = up.logparam;
    const UPS_COMMPARAM &c = up.commparam;
    struct {
        const char *what;
        long got, want;
    } rows[] = {
        {"AgentType", c.AgentType, 4},
        {"live AgentType", ui.AgentType, 4},
        {"ISSERVERAGLOW", ea_st.ISSERVERAGLOW, 1},
        {"ComSet", w.ComSet, 0},
        {"BattLife", w.BattLife, 60},
        {"EXPBLIFE", ea_st.EXPBLIFE, 60},
        {"TurnOffDelay", w.TurnOffDelay, 600},
        {"TURNOFFDELAY", ea_st.TURNOFFDELAY, 600},
        {"FirstWarningTime", w.FirstWarningTime, 30},
        {"PFAILCOUNT", ea_st.PFAILCOUNT, 30},
        {"WarningBeforeSchel", w.WarningBeforeSchel, 600},
        {"SCHCOUNT", ea_st.SCHCOUNT, 600},
        {"CountDownTime", w.CountDownTime, 30},
        {"INTERVAL", ea_st.INTERVAL, 30},
        {"nCloseAppTime", w.nCloseAppTime, 300},
        {"BSuspend", w.BSuspend, 0},
        {"EnableEventLog", l.EnableEventLog, 1},
        {"EVENTLOGENABLED", ea_st.EVENTLOGENABLED, 1},
        {"EnableDataLog", l.EnableDataLog, 1},
        {"DATALOGENABLED", ea_st.DATALOGENABLED, 1},
        {"DataLogInterval", l.DataLogInterval, 60},
        {"DLOGINTERVAL", ea_st.DLOGINTERVAL, 60},
        {"MaxEventRec", l.MaxEventRec, 200},
        {"MaxDataRec", l.MaxDataRec, 200},
        {"bIgnore", c.bIgnore, 1},
        {"bIgnoreDown", ui.bIgnoreDown, 1},
        {"AutoReboot", w.AutoReboot, 1},
        {"bAutoReboot", ui.bAutoReboot, 1},
    };
    for (const auto &r : rows)
        EXPECT_EQ(r.got, r.want) << r.what;
    EXPECT_STREQ(c.Group, "Group A");
    EXPECT_STREQ(ui.Group, "Group A");
    EXPECT_STREQ(c.Agent, "alpha");
    EXPECT_TRUE(sink_.saw("Cannot read AgentType from config file"));
    EXPECT_EQ(calls, std::vector<int>{CB_AUTOBOOTON});
    // Reading never writes.
    EXPECT_EQ(file(), "");
}

// The configuration record, the start-up live record and the role flags for
// each stored agent type; a protector takes nothing else from the file.
TEST_F(ConfigKeys, AgentTypeRolesAndGroup)
{
    struct {
        const char *text;
        uint32_t config, live;
        int protector;
    } cases[] = {
        {"", 4, 6, 0},
        {" AgentType = 3\n", 4, 6, 0},
        {" AgentType = 5\n", 5, 5, 0},
        {" AgentType = 6\n", 6, 6, 0},
        {" AgentType = 1\n", 1, 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        put(std::string("[ UPS ]\n") + c.text + " ComSet = 3\n Group = ABCDEFGHIJKLMNOPQR\n" +
            "[ ShutDown ]\n EXPECTBLIFE = 90\n[ EventLog ]\n EventLogMaxSize = 50\n");
        ea_stateinit();
        memset(&up, 0, sizeof up);
        memset(&ui, 0, sizeof ui);
        ASSERT_EQ(getconfig(&out), 0);
        EXPECT_EQ(up.commparam.AgentType, c.config);
        EXPECT_EQ(ea_st.ISPROTECTOR, c.protector);
        EXPECT_EQ(ea_st.ISPROTECTOR + ea_st.ISSERVERAGLOW + ea_st.ISSERVERAGNORMAL +
                      ea_st.ISSERVERAGHIGH,
                  1);
        EXPECT_EQ(up.workparam.ComSet, 3);
        EXPECT_EQ(up.workparam.BattLife, c.protector ? 0u : 90u);
        EXPECT_EQ(up.logparam.MaxEventRec, c.protector ? 200u : 50u);
        EXPECT_EQ(up.logparam.EnableEventLog, 1);
        EXPECT_STREQ(up.commparam.Group, c.protector ? "" : "ABCDEFGHIJKLMNO");
        ASSERT_EQ(getupsstatus(&ui), 0);
        EXPECT_EQ(ui.AgentType, c.live);
        EXPECT_EQ(ea_st.ISSERVERAGHIGH, c.live == 6);
        EXPECT_STREQ(ui.Group, "ABCDEFGHIJKLMNO");
    }
}

TEST_F(ConfigKeys, NodeNameRule)
{
    struct {
        const char *node, *agent;
    } cases[] = {
        {"alpha", "alpha"},
        {"a.b.example", "a.b.example"}, // short: dots kept
        {"abc.defghijklmno", "abc"},    // 16 with a dot: cut there
        {"ups-server-01.example.com", "ups-server-01"},
        {"verylonghostnameindeed.lan", "verylonghostnam"}, // cut at the dot, then to 15
        {"abcdefghijklmnopq", "abcdefghijklmno"},          // no dot: to 15
        {"abcdefghijklmno", "abcdefghijklmno"},
    };
    put("");
    for (const auto &c : cases) {
        nodename = c.node;
        ASSERT_EQ(getconfig(&out), 0);
        EXPECT_STREQ(up.commparam.Agent, c.agent) << c.node;
    }
    nodename = "";
    EXPECT_EQ(getconfig(&out), -1);
}

// A monitor stores settings: only what changed is written and announced,
// and the engine's copies follow the record.
TEST_F(ConfigKeys, SetconfigScript)
{
    put("[ UPS ]\n AgentType = 4\n ComSet = 2\n Group = Group A\n AutoBoot = 1\n"
        "[ DataLog ]\n DataLogInterval = 60\n");
    ASSERT_EQ(getconfig(&out), 0);
    getevent(events, &in, &out);

    // Unchanged: nothing announced, the data log keeps its rhythm.
    ea_st.lastdatalog = 1234;
    calls.clear();
    ASSERT_EQ(setconfig(&in, &out), 0);
    EXPECT_EQ(calls, std::vector<int>{});
    EXPECT_EQ(ea_st.lastdatalog, 1234);
    EXPECT_EQ(ea_st.last2event[1].EventId, 9);

    // A new interval restarts the data log at once.
    up.logparam.DataLogInterval = 120;
    ASSERT_EQ(setconfig(&in, &out), 0);
    EXPECT_EQ(ea_st.lastdatalog, 0);
    EXPECT_EQ(key("DataLog", "DataLogInterval"), "120");
    EXPECT_EQ(ea_st.DLOGINTERVAL, 120);

    // A running failure countdown moves with the battery life.
    ea_st.ACFAIL_off = 5000;
    up.workparam.BattLife = 100;
    up.workparam.FirstWarningTime = 40;
    ASSERT_EQ(setconfig(&in, &out), 0);
    EXPECT_EQ(ea_st.ACFAIL_off, 5040);
    EXPECT_EQ(ea_st.PFAILCOUNT, 60);

    struct {
        const char *what;
        void (*change)(UPS_PARAM &);
        std::vector<int> announced;
        const char *k, *stored;
    } steps[] = {
        {"group",
         [](UPS_PARAM &p) { wp_strlcpy(p.commparam.Group, "Night shift", 16); },
         {CB_DOWN2MONITOR, CB_ANNOUNCE},
         "Group",
         "Night shift"},
        {"port out of range",
         [](UPS_PARAM &p) { p.workparam.ComSet = 7; },
         {CB_DOWN2MONITOR, CB_ANNOUNCE},
         "ComSet",
         "2"},
        {"port -1",
         [](UPS_PARAM &p) { p.workparam.ComSet = -1; },
         {CB_DOWN2MONITOR, CB_ANNOUNCE},
         "ComSet",
         "-1"},
        {"type",
         [](UPS_PARAM &p) { p.commparam.AgentType = 5; },
         {CB_DOWN2MONITOR, CB_ANNOUNCE},
         "AgentType",
         "5"},
        {"restart off",
         [](UPS_PARAM &p) { p.workparam.AutoReboot = 0; },
         {CB_AUTOBOOTOFF},
         "AutoBoot",
         "0"},
    };
    for (const auto &s : steps) {
        calls.clear();
        s.change(up);
        ASSERT_EQ(setconfig(&in, &out), 0) << s.what;
        EXPECT_EQ(calls, s.announced) << s.what;
        EXPECT_EQ(key("UPS", s.k), s.stored) << s.what;
    }
    EXPECT_EQ(up.workparam.ComSet, -1);
    EXPECT_EQ(ui.AgentType, 5u);
    EXPECT_STREQ(ui.Group, "Night shift");
    // What was written reads back as itself.
    ASSERT_EQ(getconfig(&out), 0);
    EXPECT_EQ(up.workparam.ComSet, -1);
    EXPECT_EQ(up.workparam.BattLife, 100u);
    EXPECT_EQ(up.workparam.AutoReboot, 0);
}

TEST_F(ConfigKeys, SetconfigPortMissingAndFileChecks)
{
    put("[ UPS ]\n AgentType = 4\n");
    ASSERT_EQ(getconfig(&out), 0);
    up.workparam.ComSet = 7;
    calls.clear();
    ASSERT_EQ(setconfig(&in, &out), 0);
    EXPECT_EQ(key("UPS", "ComSet"), "0");
    EXPECT_EQ(key("UPS", "Group"), "Group A");

    // A missing file is made for root alone; a protector only names itself,
    // from a name field that need not be ended.
    unlink(sysroot_path(SP_CONFIG));
    ea_st.ISPROTECTOR = 1;
    auto sent = std::make_unique<UPS_PARAM>();
    memset(sent.get(), 'x', sizeof *sent);
    in.DATA.upsconfigp = sent.get();
    ASSERT_EQ(setconfig(&in, &out), 0);
    struct stat st;
    ASSERT_EQ(stat(sysroot_path(SP_CONFIG), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 1u);
    EXPECT_EQ(key("UPS", "AgentName"), std::string(259, 'x'));
    EXPECT_EQ(key("ShutDown", "EXPECTBLIFE"), "<missing>");

    // Something that is not a plain file fails the store.
    unlink(sysroot_path(SP_CONFIG));
    ASSERT_EQ(mkfifo(sysroot_path(SP_CONFIG), 0600), 0);
    EXPECT_EQ(setconfig(&in, &out), -1);
}

TEST_F(ConfigKeys, StartupStatusAndBatteryDate)
{
    struct {
        const char *ups;
        const char *model;
        int8_t comid;
        int ups_rc;
        int year, month, day; // PreChangeBatt
        int buzzer, autotest;
    } cases[] = {
        {" BuzzerCan = off\n AutoTestCan = on\n ChangeBattTime = 120,03,04,05,06,07\n", "QA1000", 0,
         0, 120, 3, 4, 0, 1},
        {" BuzzerCan = yes\n AutoTestCan = off\n ChangeBattTime = 120,03,04,05,06,07\n", "QE400ZA",
         1, 0, 120, 3, 4, 1, 0},
        {" BuzzerCan = on\n AutoTestCan = maybe\n ChangeBattTime = 120,03,04,05,06,07\n", "QR2000",
         0, 0, 124, 5, 17, 1, 7},
        {" ChangeBattTime = 120,03,04,05,06,07\n", "QE1000", 0, -1, 0, 0, 0, 7, 7},
        {"", "UNKNOWN", 2, 0, 0, 0, 0, 7, 7},
        {" ChangeBattTime = 120,03,04,05,06,07\n", "QR2000", -1, 0, 0, 0, 0, 7, 7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ups + std::string(c.model));
        put(std::string("[ UPS ]\n") + c.ups);
        memset(&ui, 0, sizeof ui);
        ui.BuzzerCan = ui.AutoTestCan = 7;
        ui.ComId = c.comid;
        wp_strlcpy(ui.upsmodel, c.model, sizeof ui.upsmodel);
        battdate_rc = c.ups_rc;
        calls.clear();
        sink_.seen.clear();
        ASSERT_EQ(getupsstatus(&ui), 0);
        EXPECT_EQ(ui.PreChangeBatt.year, c.year);
        EXPECT_EQ(ui.PreChangeBatt.month, c.month);
        EXPECT_EQ(ui.PreChangeBatt.day, c.day);
        // Only a stored date has a time of day; the UPS gives the day alone.
        EXPECT_EQ(ui.PreChangeBatt.hour, c.year == 120 ? 5 : 0);
        EXPECT_EQ(ui.BuzzerCan, c.buzzer);
        EXPECT_EQ(ui.AutoTestCan, c.autotest);
        EXPECT_EQ(sink_.saw("Cannot get change battery time"), c.ups_rc != 0);
        EXPECT_EQ(sink_.saw("Cannot read BuzzerCan from config file"), c.buzzer == 7);
        // A missing group is put back into the file.
        EXPECT_STREQ(ui.Group, "Group A");
        EXPECT_EQ(key("UPS", "Group"), "Group A");
    }
    UPS_TIMEINFO now;
    gettime(sysclock_time(), &now);
    EXPECT_EQ(memcmp(&ui.timeinfo, &now, sizeof now), 0);
}

TEST_F(ConfigKeys, InitialSequence)
{
    put("[ UPS ]\n AgentType = 5\n ComSet = -2\n Group = G\n BuzzerCan = on\n"
        " AutoTestCan = on\n[ UserInfo ]\n UserID = 0\n[ 0 ]\n Name = root\n");
    ui.sftResBattery.Result = 1;
    ui.sftResUPS.Result = 0;
    ASSERT_EQ(initial(&in, &out), 0);
    EXPECT_EQ(ui.CommStatus, 6);
    EXPECT_EQ(ui.sftResBattery.Result, 2u);
    EXPECT_EQ(ui.sftResUPS.Result, 2u);
    EXPECT_EQ(out.DATA.schlist, nullptr);
    EXPECT_EQ(events[31].EventID, 7);
    EXPECT_EQ(uinfo.nusers, 1);
    EXPECT_EQ(ea_st.last2event[1].EventId, 7);
    EXPECT_EQ(calls, (std::vector<int>{CB_AUTOBOOTON, CB_ANNOUNCE}));

    // Without a node name nothing is announced and start-up fails.
    nodename = "";
    calls.clear();
    EXPECT_EQ(initial(&in, &out), -1);
    EXPECT_EQ(calls, std::vector<int>{});
}

TEST_F(ConfigKeys, NumbersAndBatteryDateStore)
{
    struct {
        int n;
        int negative;
        const char *text;
    } nums[] = {{0, 0, "0"}, {600, 0, "600"}, {-1, 0, "4294967295"}, {42, 1, "-42"}, {7, 0, "7"}};
    for (const auto &c : nums) {
        ea_st.lognegative = c.negative;
        EXPECT_STREQ(itoc(c.n), c.text);
        EXPECT_EQ(ea_st.lognegative, 0);
    }

    put("");
    UPS_TIMEINFO t;
    memset(&t, 0x55, sizeof t);
    EXPECT_EQ(getbattime(&t), -1);
    EXPECT_EQ(t.year + t.month + t.day + t.hour + t.minute + t.second, 0);

    BATTCHGTIME b = {0, UPS_TIMEINFO{126, 3, 7, 9, 5, 0, 0}};
    AGENTCMD cmd;
    cmd.cmd = CMD_SETBATTDATE;
    cmd.arg.bctp = &b;
    in.DATA.acp = &cmd;
    ASSERT_EQ(setbattime(&in, &out), 0);
    EXPECT_EQ(key("UPS", "ChangeBattTime"), "126,03,07,09,05,00");
    EXPECT_EQ(memcmp(&ui.PreChangeBatt, &b.BattTime, sizeof t), 0);
    ASSERT_EQ(getbattime(&t), 0);
    EXPECT_EQ(memcmp(&t, &b.BattTime, 6), 0);
}

// The installed example is an empty file's configuration with the UPS on the
// first serial port: every key at its default, no line of it taken for an
// entry it is not, and nothing the agent has to add when it starts.
TEST_F(ConfigKeys, InstalledExampleHoldsTheDefaults)
{
    const std::string example = testutil::read_file(VOLTMIRA_CONFIG_EXAMPLE);
    ASSERT_FALSE(example.empty());
    put("");
    ASSERT_EQ(getconfig(&out), 0);
    UPS_PARAM want;
    memcpy(&want, &up, sizeof want);
    want.workparam.ComSet = 1;
    const std::vector<int> want_calls = calls;

    put(example);
    ea_stateinit();
    memset(&up, 0, sizeof up);
    calls.clear();
    testutil::SinkWatch::seen.clear();
    ASSERT_EQ(getconfig(&out), 0);
    EXPECT_EQ(memcmp(&up, &want, sizeof up), 0);
    EXPECT_EQ(calls, want_calls);
    ASSERT_EQ(getupsstatus(&ui), 0);
    EXPECT_EQ(ui.AgentType, 4u); // not the cautious 6 of a missing type
    EXPECT_STREQ(ui.Group, "Group A");
    ASSERT_EQ(getevent(events, &in, &out), 0);
    for (int n = 0; n < EA_NEVENTROWS; n++)
        EXPECT_EQ(memcmp(&events[n], eventdefault_at(n), sizeof events[n]), 0) << n;
    EXPECT_EQ(uinfo.nusers, 0);
    EXPECT_EQ(getschlist(), nullptr);
    for (const char *missing :
         {"Cannot read AgentType from config file", "Cannot read Group from config file",
          "Missing User Info in config file"})
        EXPECT_FALSE(sink_.saw(missing)) << missing;
    EXPECT_EQ(file(), example);

    // A comment with '=' could read as an entry of whatever key it begins
    // with, one with a '[' in front as a section head.
    std::istringstream lines(example);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] == '#') {
            EXPECT_EQ(line.find('='), std::string::npos) << line;
        }
    }
}

} // namespace
