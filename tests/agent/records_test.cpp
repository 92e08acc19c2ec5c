// Byte images of the records that cross a process or network boundary.
//
// The expected bytes are written out by hand, offsets and all, rather than
// derived from the declarations: a field that moved, changed width or lost
// its byte order shows up here even when the compiler agrees with itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include <arpa/inet.h>

#include "agent/agent.h"
#include "agent/net.h"

namespace
{

typedef std::vector<uint8_t> Bytes;

// Bytes placed at a hand-written offset of an otherwise zero image.
struct Patch {
    size_t offset;
    Bytes bytes;
};

Bytes image(size_t size, std::initializer_list<Patch> patches)
{
    Bytes out(size, 0);
    for (const Patch &p : patches) {
        EXPECT_LE(p.offset + p.bytes.size(), size) << "patch at " << p.offset;
        for (size_t i = 0; i < p.bytes.size() && p.offset + i < size; i++)
            out[p.offset + i] = p.bytes[i];
    }
    return out;
}

// The text's characters without its NUL (the image is zero around it).
Bytes text(const char *s)
{
    return Bytes(s, s + strlen(s));
}

template <typename T> Bytes raw(const T &rec)
{
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&rec);
    return Bytes(p, p + sizeof rec);
}

// Compares byte by byte so that a failure names the offset.
void expect_image(const Bytes &got, const Bytes &want)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_EQ(got[i], want[i]) << "at byte offset " << i;
}

UPS_TIMEINFO when(uint8_t year, int8_t month, int8_t day, int8_t hour, int8_t minute, int8_t second,
                  int16_t reserved)
{
    UPS_TIMEINFO t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.wReserver = reserved;
    return t;
}

} // namespace

// ---------------------------------------------------------------------------
// Records of the shared segment and of the UPS state sent to monitors

TEST(RecordsUpsInfo, EveryFieldLandsAtItsWireOffset)
{
    UPS_UPSINFO ui;
    memset(&ui, 0, sizeof ui);
    ui.ComId = 3;
    ui.upsstat = 33;
    ui.BattStatus = 5;
    ui.CommStatus = COMM_ESTABLISHED;
    ui.CommandDownS = 0x11223344;
    ui.ShutdownS = 0x01020304;
    ui.BuzzerCan = 1;
    ui.AutoTestCan = -1;
    ui.bIgnoreDown = 0x00000100;
    ui.bAutoReboot = 0x00010000;
    ui.iDetectionLvl = 4;
    ui.AgentType = 0xA0B0C0D0;
    strcpy(ui.upsmodel, "QE1000");
    ui.upsdata.InPutINT = 230;
    ui.upsdata.OutPutINT = 0x0102;
    ui.upsdata.InPutREM = 1;
    ui.upsdata.OutPutREM = 2;
    ui.upsdata.FreqInputINT = 50;
    ui.upsdata.FreqInputREM = 3;
    ui.upsdata.FreqOutputINT = 60;
    ui.upsdata.FreqOutputREM = 4;
    ui.upsdata.TempINT = -5;
    ui.upsdata.TempREM = 6;
    ui.upsdata.BattVolINT = 27;
    ui.upsdata.BattVolREM = 7;
    ui.upsdata.BattCap = 100;
    ui.upsdata.Load = 200;
    ui.timeinfo = when(124, 5, 15, 12, 34, 56, 0x0A0B);
    ui.nextdown = when(125, 0, 1, 2, 3, 4, 0);
    ui.nextboot = when(125, 11, 31, 23, 59, 58, 0);
    ui.PreChangeBatt = when(120, 2, 9, 0, 0, 0, 0);
    strcpy(ui.Group, "grp");
    ui.events[0].EventId = 0xF0;
    ui.events[0].byDownToEvt = -2;
    ui.events[0].wReserve = 0x0304;
    ui.events[0].timeinfo = when(124, 1, 2, 3, 4, 5, 0);
    strcpy(ui.events[0].AgentName, "alpha");
    ui.events[1].EventId = 0x17;
    ui.events[1].timeinfo = when(124, 6, 7, 8, 9, 10, 0);
    strcpy(ui.events[1].AgentName, "beta");
    ui.sftResBattery.Result = SELFTEST_PASSED;
    ui.sftResBattery.timeinfo = when(123, 3, 4, 5, 6, 7, 0);
    ui.sftResUPS.Result = SELFTEST_NORESULT;
    ui.sftResUPS.timeinfo = when(122, 8, 9, 10, 11, 12, 0);
    ui.ufStatus = 0xBEEF;
    ui.wReserve = -1;
    ui.bACPI = 0x7FFFFFFE;

    expect_image(raw(ui), image(220, {
                                         {0, {0x03, 0x21, 0x05, 0x02}},
                                         {4, {0x44, 0x33, 0x22, 0x11}},
                                         {8, {0x04, 0x03, 0x02, 0x01}},
                                         {12, {0x01, 0x00, 0x00, 0x00}},
                                         {16, {0xFF, 0xFF, 0xFF, 0xFF}},
                                         {20, {0x00, 0x01, 0x00, 0x00}},
                                         {24, {0x00, 0x00, 0x01, 0x00}},
                                         {28, {0x04, 0x00, 0x00, 0x00}},
                                         {32, {0xD0, 0xC0, 0xB0, 0xA0}},
                                         {36, text("QE1000")},
                                         // upsdata
                                         {68,
                                          {0xE6, 0x00, 0x02, 0x01, 0x01, 0x02, 0x32, 0x03, 0x3C,
                                           0x04, 0xFB, 0x06, 0x1B, 0x07, 0x64, 0xC8}},
                                         {84, {0x7C, 0x05, 0x0F, 0x0C, 0x22, 0x38, 0x0B, 0x0A}},
                                         {92, {0x7D, 0x00, 0x01, 0x02, 0x03, 0x04}},
                                         {100, {0x7D, 0x0B, 0x1F, 0x17, 0x3B, 0x3A}},
                                         {108, {0x78, 0x02, 0x09}},
                                         {116, text("grp")},
                                         // events[0]
                                         {132, {0xF0, 0xFE, 0x04, 0x03}},
                                         {136, {0x7C, 0x01, 0x02, 0x03, 0x04, 0x05}},
                                         {144, text("alpha")},
                                         // events[1]
                                         {160, {0x17}},
                                         {164, {0x7C, 0x06, 0x07, 0x08, 0x09, 0x0A}},
                                         {172, text("beta")},
                                         // sftResBattery, sftResUPS
                                         {188, {0x01, 0x00, 0x00, 0x00}},
                                         {192, {0x7B, 0x03, 0x04, 0x05, 0x06, 0x07}},
                                         {200, {0x02, 0x00, 0x00, 0x00}},
                                         {204, {0x7A, 0x08, 0x09, 0x0A, 0x0B, 0x0C}},
                                         {212, {0xEF, 0xBE, 0xFF, 0xFF}},
                                         {216, {0xFE, 0xFF, 0xFF, 0x7F}},
                                     }));
}

TEST(RecordsUpsParam, ConfigurationSentRawKeepsItsOffsets)
{
    UPS_PARAM up;
    memset(&up, 0, sizeof up);
    up.workparam.BSuspend = 1;
    up.workparam.BattLife = 0x0102;
    up.workparam.ComSet = COMSET_NOUPS;
    up.workparam.TurnOffDelay = 3;
    up.workparam.nCloseAppTime = 0x01020304;
    up.logparam.EnableEventLog = 1;
    up.logparam.MaxDataRec = 0x2710; // 10000
    up.logparam.DataLogInterval = 60;
    up.commparam.AgentType = 4;
    up.commparam.bIgnore = 1;
    strcpy(up.commparam.Agent, "host-a");
    strcpy(up.commparam.lpszAccount, "acct");
    strcpy(up.commparam.lpszDomain, "dom");
    strcpy(up.commparam.Group, "g1");

    expect_image(raw(up), image(872, {
                                         {0, {0x01, 0x00, 0x00, 0x00}},
                                         {4, {0x02, 0x01, 0x00, 0x00}},
                                         {8, {0xFE, 0xFF, 0xFF, 0xFF}},
                                         {12, {0x03}},
                                         {32, {0x04, 0x03, 0x02, 0x01}},
                                         // logparam
                                         {36, {0x01}},
                                         {48, {0x10, 0x27, 0x00, 0x00}},
                                         {52, {0x3C}},
                                         // commparam
                                         {56, {0x04}},
                                         {72, {0x01}},
                                         {76, text("host-a")},
                                         {336, text("acct")},
                                         {596, text("dom")},
                                         {856, text("g1")},
                                     }));
}

TEST(RecordsAgentInfo, SharedSlotsSitWhereTheManagerLooks)
{
    AGINFO ai;
    memset(&ai, 0, sizeof ai);
    ai.agpid = 0x00012345;
    ai.upspid = 0x00012346;
    ai.locked = 1;
    ai.ups.ui.ComId = COMID_NONE;
    ai.ups.ui.CommStatus = COMM_LOST;
    ai.ups.up.workparam.ComSet = COMSET_NONE;
    ai.ups.protocol = 0x0203;
    ai.ups.isstandby = 1;
    ai.ups.upsstat = 0x00001000;
    ai.isagentchg = -1;
    ai.ba2u.msglen = 8;
    ai.ba2u.msgseqno = 1;
    ai.ba2u.msgremained = 0;
    ai.ba2u.buf[0] = static_cast<char>(0xAA);
    ai.ba2u.buf[255] = static_cast<char>(0xAB);
    ai.bu2a.msglen = 4;
    ai.bu2a.msgseqno = 2;
    ai.bu2a.msgremained = 0x0100;
    ai.bu2a.buf[0] = 0x55;
    ai.bu2a.buf[255] = 0x56;
    ai.udinfo = 0x7F000001;

    expect_image(raw(ai),
                 image(1660, {
                                 {0, {0x45, 0x23, 0x01, 0x00}},
                                 {4, {0x46, 0x23, 0x01, 0x00}},
                                 {8, {0x01, 0x00, 0x00, 0x00}},    // locked
                                 {12, {0xFF}},                     // ups.ui.ComId
                                 {15, {0x11}},                     // ups.ui.CommStatus
                                 {240, {0xFF, 0xFF, 0xFF, 0xFF}},  // 12+220+8: ComSet
                                 {1104, {0x03, 0x02}},             // 12+1092: protocol
                                 {1108, {0x01}},                   // isstandby
                                 {1112, {0x00, 0x10, 0x00, 0x00}}, // upsstat
                                 {1116, {0xFF, 0xFF, 0xFF, 0xFF}}, // isagentchg
                                 // ba2u
                                 {1120, {0x08, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xAA}},
                                 {1387, {0xAB}},
                                 // bu2a
                                 {1388, {0x04, 0, 0, 0, 0x02, 0, 0, 0, 0, 0x01, 0, 0, 0x55}},
                                 {1655, {0x56}},
                                 {1656, {0x01, 0x00, 0x00, 0x7F}}, // udinfo
                             }));
}

TEST(RecordsLogRecords, EventAndDataLogRecordsFollowEachOtherUnpadded)
{
    // Log answers carry the records back to back after the header.
    UPS_EVENTLOGINFO ev[2];
    memset(ev, 0, sizeof ev);
    ev[0].EventId = 200;
    ev[0].byDownToEvt = 1;
    ev[0].timeinfo = when(124, 0, 31, 23, 0, 1, 0);
    strcpy(ev[0].AgentName, "fifteen-chars-x");
    ev[1].EventId = 7;
    ev[1].wReserve = -2;
    ev[1].timeinfo = when(99, 11, 1, 0, 0, 0, 0);
    strcpy(ev[1].AgentName, "b");

    Bytes evraw(reinterpret_cast<const uint8_t *>(ev), reinterpret_cast<const uint8_t *>(ev) + 56);
    expect_image(evraw, image(56, {
                                      {0, {0xC8, 0x01}},
                                      {4, {0x7C, 0x00, 0x1F, 0x17, 0x00, 0x01}},
                                      {12, text("fifteen-chars-x")},
                                      {28, {0x07, 0x00, 0xFE, 0xFF}},
                                      {32, {0x63, 0x0B, 0x01}},
                                      {40, text("b")},
                                  }));

    UPS_DATALOGINFO dl;
    memset(&dl, 0, sizeof dl);
    dl.timeinfo = when(124, 2, 3, 4, 5, 6, 0);
    dl.upsdata.InPutINT = 0x0203;
    dl.upsdata.OutPutINT = 100;
    dl.upsdata.BattCap = 55;
    dl.upsdata.Load = 0xFF;
    expect_image(raw(dl), image(24, {
                                        {0, {0x7C, 0x02, 0x03, 0x04, 0x05, 0x06}},
                                        {8, {0x03, 0x02, 0x64, 0x00}},
                                        {22, {0x37, 0xFF}},
                                    }));
}

TEST(RecordsUsersData, PackedEntriesAreExactly543BytesApart)
{
    // The event settings packet carries user entries back to back; the
    // second entry starts at an odd offset with no padding before it.
    USERSDATA us[2];
    memset(us, 0, sizeof us);
    us[0].UserID = 3;
    us[0].Reserved = 0x7E;
    strcpy(us[0].UserName, "twenty-characters-ab");
    strcpy(us[0].Address, "pts/1");
    strcpy(us[0].Email, "taro@example.org");
    us[1].UserID = USERID_UNUSED;
    strcpy(us[1].UserName, "x");
    strcpy(us[1].Email, "y");

    const uint8_t *p = reinterpret_cast<const uint8_t *>(us);
    expect_image(Bytes(p, p + 1086), image(1086, {
                                                     {0, {0x03, 0x7E}},
                                                     {2, text("twenty-characters-ab")},
                                                     {23, text("pts/1")},
                                                     {283, text("taro@example.org")},
                                                     {543, {0xFF}},
                                                     {545, text("x")},
                                                     {826, text("y")},
                                                 }));
}

TEST(RecordsEventInfo, SettingsOfOneEvent)
{
    UPS_EVENTINFO ei;
    memset(&ei, 0, sizeof ei);
    ei.EventID = 0x0135;
    ei.Reserved = -1;
    ei.Record = 1;
    ei.Shutdown = 0;
    ei.BroadcastType = 3;
    ei.BroadcastUser = 0x80000000u;
    ei.MailUser = 0x00000005;
    strcpy(ei.Command, "/bin/true");
    expect_image(raw(ei), image(284, {
                                         {0, {0x35, 0x01, 0xFF, 0xFF, 0x01}},
                                         {12, {0x03, 0, 0, 0, 0, 0, 0, 0x80, 0x05}},
                                         {24, text("/bin/true")},
                                     }));
}

TEST(RecordsSchedule, EntryBytes)
{
    SCHEDULEINFO si;
    memset(&si, 0, sizeof si);
    si.ID = 9;
    si.ActionID = 2;
    si.ScheduleOn = 0x0201;
    si.stimeInfo = when(124, 0, 6, 22, 30, 0, 0);
    si.etimeInfo = when(124, 0, 7, 6, 0, 0, 0x0304);
    expect_image(raw(si), image(20, {
                                        {0, {0x09, 0x02, 0x01, 0x02}},
                                        {4, {0x7C, 0x00, 0x06, 0x16, 0x1E}},
                                        {12, {0x7C, 0x00, 0x07, 0x06, 0, 0, 0x04, 0x03}},
                                    }));
}

// ---------------------------------------------------------------------------
// Packets

TEST(RecordsPacket, InquiryHeaderAndWholePacket)
{
    UPS_PACKET_HEAD hd;
    hd.Version = NET_VERSION_110;
    hd.Prototype = 1;
    hd.DataId = PK_INQAGENT;
    hd.Length = 28;
    expect_image(raw(hd), Bytes{0x10, 0x01, 0x01, 0xF1, 0x1C, 0x00, 0x00, 0x00});

    UPS_INQAGENT inq;
    memset(&inq, 0, sizeof inq);
    inq.cmd = Reply;
    strcpy(inq.Monitor, "mon");
    Bytes pkt = raw(hd);
    Bytes data = raw(inq);
    pkt.insert(pkt.end(), data.begin(), data.end());
    expect_image(pkt, image(28, {
                                    {0, {0x10, 0x01, 0x01, 0xF1, 0x1C, 0x00, 0x00, 0x00}},
                                    {8, {0x02, 0x00, 0x00, 0x00}},
                                    {12, text("mon")},
                                }));
}

TEST(RecordsPacket, ReceivedReadRequestDecodes)
{
    // A version 1.00 read request for ten event-log records from record 5.
    const uint8_t wire[16] = {0x00, 0x01, 0x00, 0x18, 0x10, 0x00, 0x00, 0x00,
                              0x01, 0x00, 0x05, 0x00, 0x0A, 0x00, 0x00, 0x00};
    UPS_PACKET_HEAD hd;
    UPS_COMMAND_PACKET cp;
    memcpy(&hd, wire, sizeof hd);
    memcpy(&cp, wire + 8, sizeof cp);
    EXPECT_EQ(hd.Version, NET_VERSION_100);
    EXPECT_EQ(hd.Prototype, 0);
    EXPECT_EQ(hd.DataId, PK_READ);
    EXPECT_EQ(hd.Length, 16u);
    EXPECT_EQ(cp.cmd, RD_EVENTLOG);
    EXPECT_EQ(cp.firstline, 5);
    EXPECT_EQ(cp.linecounts, 10);

    // A protector's event log of 477 records: the kind above 127 stays
    // unsigned and the length takes both of its low bytes.
    const uint8_t big[8] = {0x10, 0x01, 0x02, 0xC6, 0x34, 0x34, 0x00, 0x00};
    memcpy(&hd, big, sizeof hd);
    EXPECT_EQ(hd.DataId, PK_PROTEVENTLOG);
    EXPECT_EQ(hd.Length, 8u + 28u * 477u);
    EXPECT_EQ(hd.Prototype, 2);
}

TEST(RecordsPacket, AgentAnswerBytes)
{
    UPS_ANSAGENT aa;
    memset(&aa, 0, sizeof aa);
    aa.cmd = Reply;
    strcpy(aa.Agent, "agent-one");
    strcpy(aa.upsmodel, "QE1000");
    aa.UPSStatus = 33;
    aa.NT = NET_OS_OWN;
    strcpy(aa.Group, "grp");
    aa.AgentType = 4;
    aa.BattStatus = 0x00000012;
    aa.CommStatus = 17;
    aa.bIgnore = 1;
    expect_image(raw(aa), image(92, {
                                        {0, {0x02, 0x00, 0x00, 0x00}},
                                        {4, text("agent-one")},
                                        {20, text("QE1000")},
                                        {52, {0x21, 0x00, 0x00, 0x00}},
                                        {56, {0x02, 0x00, 0x00, 0x00}},
                                        {60, text("grp")},
                                        {76, {0x04, 0x00, 0x00, 0x00}},
                                        {80, {0x12, 0x00, 0x00, 0x00}},
                                        {84, {0x11, 0x00, 0x00, 0x00}},
                                        {88, {0x01, 0x00, 0x00, 0x00}},
                                    }));

    UPS_ANSPROT ap;
    memset(&ap, 0, sizeof ap);
    ap.cmd = Delete;
    ap.NT = NET_OS_OWN;
    strcpy(ap.Agent, "agent-one");
    strcpy(ap.myname, "guarded");
    expect_image(raw(ap), image(40, {
                                        {0, {0x01, 0, 0, 0, 0x02, 0, 0, 0}},
                                        {8, text("agent-one")},
                                        {24, text("guarded")},
                                    }));
}

TEST(RecordsPacket, ShutdownRequestBetweenAgents)
{
    // What an agent broadcasts to its group when it goes down.
    struct {
        UPS_PACKET_HEAD hd;
        UPS_AGENTDOWNINFO di;
    } pkt;
    memset(&pkt, 0, sizeof pkt);
    pkt.hd.Version = NET_VERSION_110;
    pkt.hd.Prototype = 0;
    pkt.hd.DataId = PK_SHUTDOWN;
    pkt.hd.Length = 48;
    pkt.di.DownId = 22;
    pkt.di.delay = 0x0102;
    pkt.di.AgentType = 5;
    strcpy(pkt.di.Agent, "agent-one");
    strcpy(pkt.di.Group, "grp");
    expect_image(raw(pkt), image(48, {
                                         {0, {0x10, 0x01, 0x00, 0x12, 0x30, 0x00, 0x00, 0x00}},
                                         {8, {0x16, 0x00, 0x02, 0x01, 0x05, 0x00, 0x00, 0x00}},
                                         {16, text("agent-one")},
                                         {32, text("grp")},
                                     }));
}

TEST(RecordsPacket, SmallPayloads)
{
    BATTCHGTIME bt;
    memset(&bt, 0, sizeof bt);
    bt.uBattStatus = 0xFFFFFFEE; // a negative status, sign-extended
    bt.BattTime = when(121, 3, 30, 0, 0, 0, 0);
    expect_image(raw(bt), Bytes{0xEE, 0xFF, 0xFF, 0xFF, 0x79, 0x03, 0x1E, 0, 0, 0, 0, 0});

    PAOSINFO os;
    memset(&os, 0, sizeof os);
    os.lang = 0x0411;
    os.os = NET_OS_OWN;
    os.reserved = -1;
    strcpy(os.osname, "Linux");
    expect_image(raw(os),
                 image(28, {
                               {0, {0x11, 0x04, 0, 0, 0x02, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
                               {12, text("Linux")},
                           }));

    UPS_PROTECTORINFO pi;
    memset(&pi, 0, sizeof pi);
    pi.TimeNeeded = 90;
    pi.sreserved = 0x0201;
    strcpy(pi.Protector, "guarded");
    expect_image(raw(pi), image(46, {
                                        {0, {0x5A, 0x00, 0x01, 0x02}},
                                        {4, text("guarded")},
                                    }));

    PROTECTORCFG pc;
    memset(&pc, 0, sizeof pc);
    pc.TimeDelay = 300;
    strcpy(pc.lpszAgentName, "agent-one");
    expect_image(raw(pc), image(20, {
                                        {0, {0x2C, 0x01, 0x00, 0x00}},
                                        {4, text("agent-one")},
                                    }));

    UPS_PASSWORD pw;
    memset(&pw, 0, sizeof pw);
    strcpy(pw.username, "root");
    strcpy(pw.password, "secret");
    expect_image(raw(pw), image(60, {{0, text("root")}, {40, text("secret")}}));
}

TEST(RecordsPacket, BufferHeadPrecedesThePacket)
{
    // The daemon's packet buffer: where the packet came from, then the
    // packet itself at byte 28.
    UPS_MSGBLOCK_HEAD mb;
    memset(&mb, 0, sizeof mb);
    mb.cliaddr.sockfd = 7;
    mb.cliaddr.addr.sin_family = AF_INET;
    mb.cliaddr.addr.sin_port = htons(NET_PORT_AGENT_UDP);
    mb.cliaddr.addr.sin_addr.s_addr = htonl(0xC0A80001); // 192.168.0.1
    mb.cliaddr.os = NET_OS_OWN;
    mb.cliaddr.lang = 1;
    mb.head.Version = NET_VERSION_110;
    mb.head.DataId = PK_UPSINFO;
    mb.head.Length = 228;
    expect_image(raw(mb), image(36, {
                                        {0, {0x07, 0x00, 0x00, 0x00}},
                                        {4, {AF_INET, 0x00, 0x10, 0x12, 0xC0, 0xA8, 0x00, 0x01}},
                                        {20, {0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}},
                                        {28, {0x10, 0x01, 0x00, 0x40, 0xE4, 0x00, 0x00, 0x00}},
                                    }));
}
