#include "ea/ea_events.h"

#include "agent/strings.h"
#include "agent/sysroot.h"
#include "ea/ea_state.h"
#include "ea/filehandle.h"
#include "engine_stage.h"
#include "testutil.h"

#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

int quiet(int, char *, unsigned, unsigned)
{
    return 0;
}

class EventSettings : public testing::Test, protected testutil::EngineRecords
{
  protected:
    void SetUp() override
    {
        ea_stateinit();
        ea_setcallback(quiet);
        filehandle_init();
        memset(events, 0x5a, sizeof events);
        memset(users, 0x5a, sizeof users);
        up.logparam.MaxEventRec = 200;
        char h[260] = "";
        gethostname(h, sizeof h - 1);
        host = h;
    }
    void TearDown() override
    {
        ea_setcallback(nullptr);
        filehandle_fini();
    }
    static void put(const std::string &s) { testutil::write_file(sysroot_path(SP_CONFIG), s); }
    static std::string file() { return testutil::read_file(sysroot_path(SP_CONFIG)); }
    std::vector<int> ids() const
    {
        std::vector<int> v;
        for (int i = 0; i < uinfo.nusers; i++)
            v.push_back(users[i].UserID);
        return v;
    }

    testutil::Sysroot root_;
    testutil::SinkWatch sink_;
    std::string host;
};

TEST(EventCatalogue, OrderTextsAndDefaults)
{
    const int order[EA_NEVENTROWS] = {128, 129, 130, 131, 132, 133, 134, 64, 65, 66, 67, 68, 69, 70,
                                      71,  72,  73,  74,  75,  76,  77,  78, 79, 80, 0,  1,  2,  3,
                                      4,   5,   6,   7,   8,   9,   10,  11, 12, 13, 15, 14, 16, 17,
                                      18,  19,  20,  21,  22,  255, 48,  49, 50, 51, 52, 53};
    // Everything else tells nobody.
    const std::set<int> to_all = {128, 129, 130, 131, 132, 133, 134, 65, 74, 75,
                                  76,  79,  80,  0,   48,  49,  50,  51, 52, 53};
    for (int n = 0; n < EA_NEVENTROWS; n++) {
        const UPS_EVENTINFO *e = eventdefault_at(n);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->EventID, order[n]) << n;
        EXPECT_EQ(eventdefault_row(order[n]), e);
        EXPECT_NE(EventMsg(order[n]), nullptr);
        EXPECT_EQ(e->Shutdown, n < 7 ? 1 : 0) << n;
        EXPECT_EQ(e->BroadcastType, to_all.count(order[n]) ? 0u : 3u) << n;
        EXPECT_EQ(e->Record, 1);
        EXPECT_EQ(e->BroadcastUser | e->MailUser, 0u);
        EXPECT_STREQ(e->Command, "");
    }
    struct {
        int id;
        const char *text;
    } texts[] = {
        {128, "UPS Battery Low"},
        {65, "UPS Ac fail"},
        {79, "Receive shutdown Command From Users on %s"},
        {15, "Enable the Buzzer"},
        {14, "Disable the Buzzer"},
        {255, "No event"},
        {52, "Protector's parameters is set"},
        {134, "Shut Down Time Initiated by other Agent is arrived at"},
    };
    for (const auto &t : texts)
        EXPECT_STREQ(EventMsg(t.id), t.text);
    for (int id : {23, 47, 81, 127, 135, 254, -1, 256})
        EXPECT_EQ(EventMsg(id), nullptr) << id;
    EXPECT_EQ(eventdefault_row(23), nullptr);
    EXPECT_EQ(eventdefault_at(EA_NEVENTROWS), nullptr);
    EXPECT_EQ(eventdefault_at(-1), nullptr);
}

TEST(EventCatalogue, NextItemWalk)
{
    struct {
        const char *list;
        std::vector<std::string> items;
    } cases[] = {
        {"0,1,5", {"0", "1", "5"}},
        {"3, 7", {"3", "7"}},
        {",3", {}},
        {"3,,7", {"3", "7"}},
        {" 3 ,7 ", {"3", "7"}},
        {"3 7\t9", {"3", "7", "9"}},
        {"", {}},
        {"12,", {"12"}},
        {"03", {"03"}},
        {"ab,c", {"ab", "c"}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> got;
        int cursor = 0;
        while (const char *p = nextitem(c.list, &cursor))
            got.push_back(p);
        EXPECT_EQ(got, c.items) << c.list;
    }
    std::string longitem(500, '9');
    int cursor = 0;
    EXPECT_EQ(strlen(nextitem(longitem.c_str(), &cursor)), size_t(EA_USERLIST_MAX - 1));
    EXPECT_EQ(nextitem(longitem.c_str(), &cursor), nullptr);
}

TEST_F(EventSettings, EmptyFileLoadsDefaultsAndNoUsers)
{
    put("");
    ASSERT_EQ(getevent(events, &in, &out), 0);
    for (int n = 0; n < EA_NEVENTROWS; n++)
        EXPECT_EQ(memcmp(&events[n], eventdefault_at(n), sizeof events[n]), 0) << n;
    EXPECT_EQ(uinfo.nusers, 0);
    for (const USERSDATA &u : users)
        EXPECT_EQ(u.UserID, USERID_UNUSED);
    EXPECT_EQ(sink_.seen, std::vector<std::string>{"Missing User Info in config file"});
}

TEST_F(EventSettings, StoredSettingsAndUserLists)
{
    struct {
        const char *text;
        int record, shutdown;
        unsigned btype, buser;
        const char *command;
        std::vector<int> ids;
    } cases[] = {
        {"[ Event65 ]\n Record = No\n[ UserInfo ]\n UserID = 3, 7\n", 0, 0, 0, 0, "", {3, 7}},
        {"[ Event65 ]\n Record = no\n ShutDown = 1\n[ UserInfo ]\n UserID = ,3\n",
         1,
         1,
         0,
         0,
         "",
         {}},
        {"[ Event65 ]\n Record = \n BroadcastType = 2\n BroadcastUser = 4294967295\n"
         " Command = /bin/echo a = b\n[ UserInfo ]\n UserID = 3,,7\n",
         1,
         0,
         2,
         4294967295u,
         "/bin/echo a = b",
         {3, 7}},
        {"[ Event65 ]\n[ UserInfo ]\n UserID = \n", 1, 0, 0, 0, "", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        put(std::string(c.text) + "[ 3 ]\n Name = carol\n Email = c@x\n Address = elsewhere\n");
        ASSERT_EQ(getevent(events, &in, &out), 0);
        const UPS_EVENTINFO &e = events[8];
        EXPECT_EQ(e.EventID, 65);
        EXPECT_EQ(e.Record, c.record);
        EXPECT_EQ(e.Shutdown, c.shutdown);
        EXPECT_EQ(e.BroadcastType, c.btype);
        EXPECT_EQ(e.BroadcastUser, c.buser);
        EXPECT_EQ(e.MailUser, 0u);
        EXPECT_STREQ(e.Command, c.command);
        EXPECT_EQ(ids(), c.ids);
        EXPECT_TRUE(sink_.seen.empty());
    }
    // Users 3 and 7 of the last list with users: 3 has a section, 7 none.
    put("[ UserInfo ]\n UserID = 3, 7\n[ 3 ]\n Name = carol\n Email = c@x\n Address = elsewhere\n");
    getevent(events, &in, &out);
    EXPECT_STREQ(users[0].UserName, "carol");
    EXPECT_STREQ(users[0].Email, "c@x");
    EXPECT_EQ(users[0].Address, host);
    EXPECT_STREQ(users[1].UserName, "");
    EXPECT_STREQ(users[1].Email, "");
    EXPECT_EQ(users[2].UserID, USERID_UNUSED);

    // A number with a leading zero is looked up as written.
    put("[ UserInfo ]\n UserID = 03\n[ 3 ]\n Name = wrong\n[ 03 ]\n Name = right\n");
    getevent(events, &in, &out);
    EXPECT_EQ(ids(), std::vector<int>{3});
    EXPECT_STREQ(users[0].UserName, "right");
}

// What a monitor stores reads back the same, whatever the file held before.
TEST_F(EventSettings, StoreAndLoadRoundTrip)
{
    put("[ UserInfo ]\n UserID = 9\n[ 9 ]\n Name = gone\n");
    UPS_EVENTINFO want[AGENT_NEVENTS];
    memset(want, 0, sizeof want);
    for (int n = 0; n < EA_NEVENTROWS; n++) {
        UPS_EVENTINFO &e = want[n];
        e.EventID = eventdefault_at(n)->EventID;
        e.Record = n % 2;
        e.Shutdown = n % 3 == 0;
        e.BroadcastType = static_cast<uint32_t>(n % 4);
        e.BroadcastUser = 0x80000000u >> (n % 32);
        e.MailUser = static_cast<uint32_t>(n * 7);
        snprintf(e.Command, sizeof e.Command, n % 5 ? "/usr/local/bin/on-event %d" : "", n);
    }
    memcpy(events, want, sizeof want);
    memset(users, 0, sizeof users);
    users[0].UserID = 0;
    wp_strlcpy(users[0].UserName, "root", sizeof users[0].UserName);
    wp_strlcpy(users[0].Email, "root@localhost", sizeof users[0].Email);
    users[1].UserID = USERID_UNUSED;
    users[2].UserID = 5;
    wp_strlcpy(users[2].UserName, "operator", sizeof users[2].UserName);
    uinfo.nusers = 3;
    ea_st.CURRENTCMD = EA_SETEVENT;
    ASSERT_EQ(setevent(&in, &out), 0);
    EXPECT_EQ(ea_st.last2event[1].EventId, 11);
    EXPECT_NE(file().find("[ UserInfo ]\n UserID = 0,5\n"), std::string::npos);
    // Storing the same again leaves the file as it is.
    struct stat before, after;
    ASSERT_EQ(stat(sysroot_path(SP_CONFIG), &before), 0);
    ASSERT_EQ(setevent(&in, &out), 0);
    ASSERT_EQ(stat(sysroot_path(SP_CONFIG), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);

    memset(events, 0, sizeof events);
    memset(users, 0, sizeof users);
    ASSERT_EQ(getevent(events, &in, &out), 0);
    for (int n = 0; n < EA_NEVENTROWS; n++)
        EXPECT_EQ(memcmp(&events[n], &want[n], sizeof want[n]), 0) << n;
    EXPECT_EQ(ids(), (std::vector<int>{0, 5}));
    EXPECT_STREQ(users[0].UserName, "root");
    EXPECT_STREQ(users[0].Email, "root@localhost");
    EXPECT_STREQ(users[1].UserName, "operator");

    // No users: an empty list, and the old sections stay.
    uinfo.nusers = 0;
    ea_st.CURRENTCMD = 0;
    ASSERT_EQ(setevent(&in, &out), 0);
    EXPECT_NE(file().find(" UserID = \n"), std::string::npos);
    EXPECT_NE(file().find("[ 9 ]\n Name = gone"), std::string::npos);
}

// The list, its numbers and the names have fixed buffers: what lies beyond
// is cut at an item's edge, and never more than the 32 slots are filled.
TEST_F(EventSettings, OverlongListsAndNamesAreCut)
{
    std::string list;
    for (int i = 0; i < 60; i++)
        list += std::to_string(100 + i) + ",";
    list.pop_back(); // 239 characters
    put("[ UserInfo ]\n UserID = " + list + "\n[ 100 ]\n Name = " + std::string(40, 'n') +
        "\n Email = " + std::string(300, 'e') + "\n");
    ASSERT_EQ(getevent(events, &in, &out), 0);
    EXPECT_EQ(uinfo.nusers, AGENT_NUSERS);
    EXPECT_EQ(users[31].UserID, static_cast<int8_t>(131));
    EXPECT_EQ(users[0].UserName, std::string(EA_USERNAME_MAX, 'n'));
    EXPECT_EQ(users[0].Email, std::string(259, 'e'));

    // Numbers of eight digits: the cut at 199 characters falls just after
    // the first digit of the 23rd, which is dropped rather than read as 1.
    std::string split;
    for (int i = 0; i < 30; i++)
        split += std::to_string(10000000 + i) + ",";
    put("[ UserInfo ]\n UserID = " + split + "\n");
    ASSERT_EQ(getevent(events, &in, &out), 0);
    EXPECT_EQ(uinfo.nusers, 22);
    put("[ UserInfo ]\n UserID = 1,12345678901\n[ 123456789 ]\n Name = long\n");
    ASSERT_EQ(getevent(events, &in, &out), 0);
    ASSERT_EQ(uinfo.nusers, 2);
    EXPECT_STREQ(users[1].UserName, "long");

    // Stored from a monitor: fields that are not ended and a count past the
    // slots.
    for (int n = 0; n < EA_NEVENTROWS; n++)
        memcpy(&events[n], eventdefault_at(n), sizeof events[n]);
    memset(events[3].Command, 'c', sizeof events[3].Command);
    memset(users, 'u', sizeof users);
    for (USERSDATA &u : users)
        u.UserID = 1;
    users[0].UserID = 4;
    uinfo.nusers = 1000;
    ASSERT_EQ(setevent(&in, &out), 0);
    ASSERT_EQ(getevent(events, &in, &out), 0);
    EXPECT_EQ(events[3].Command, std::string(259, 'c'));
    EXPECT_EQ(users[0].UserName, std::string(EA_USERNAME_MAX, 'u'));
    EXPECT_EQ(users[1].Email, std::string(259, 'u'));
    EXPECT_EQ(uinfo.nusers, AGENT_NUSERS);
}

// A monitor's records stored in one batch end as they did stored key by key:
// a repeated id takes its last record even where the file already held that
// value, and a text with a line feed is refused alone.
TEST_F(EventSettings, RepeatedIdsAndRefusedTextsStoreAsKeyByKey)
{
    put("[ Event65 ]\n Record = Yes\n");
    for (int n = 0; n < EA_NEVENTROWS; n++)
        memcpy(&events[n], eventdefault_at(n), sizeof events[n]);
    events[9].EventID = 65; // position 8 holds 65 too
    events[8].Record = 0;
    events[9].Record = 1;
    wp_strlcpy(events[8].Command, "/bin/first", sizeof events[8].Command);
    wp_strlcpy(events[9].Command, "/bin/second", sizeof events[9].Command);
    wp_strlcpy(events[20].Command, "/bin/true\n Command = /bin/sh", sizeof events[20].Command);
    uinfo.nusers = 0;
    ea_st.CURRENTCMD = EA_SETEVENT;
    EXPECT_EQ(setevent(&in, &out), -1);
    EXPECT_NE(ea_st.last2event[1].EventId, 11);
    EXPECT_EQ(std::string(readparam("Event65", "Record")), "Yes");
    EXPECT_EQ(std::string(readparam("Event65", "Command")), "/bin/second");
    EXPECT_EQ(readparam("Event77", "Command"), nullptr);
    EXPECT_EQ(std::string(readparam("Event77", "Record")), "Yes");
    EXPECT_EQ(std::string(readparam("UserInfo", "UserID")), "");
    EXPECT_EQ(testutil::count_of(file(), "[ Event65 ]"), 1u);
}

} // namespace
