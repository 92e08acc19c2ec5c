// The terminal monitor's protocol and display code: where a byte stream is
// cut into packets, how the agent's raw UPS record becomes the values shown,
// how texts from the network are converted and made harmless, how JSON
// output is escaped; the administrator's requests and answers byte by byte,
// and the --do forms against a real agent in a lab host.
#include "voltmiratop/actions.h"
#include "voltmiratop/admin.h"
#include "voltmiratop/display.h"
#include "voltmiratop/keys.h"
#include "voltmiratop/protocol.h"
#include "voltmiratop/screen.h"
#include "voltmiratop/settings.h"

#include "lab/lab.h"
#include "testutil.h"
#include "upssim_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace vtop;

namespace
{

std::vector<uint8_t> packet(uint8_t kind, const std::string &data)
{
    return make_packet(kind, data.data(), data.size());
}

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<uint8_t> header(uint8_t kind, uint32_t length)
{
    UPS_PACKET_HEAD h{};
    h.Version = NET_VERSION_110;
    h.DataId = kind;
    h.Length = length;
    std::vector<uint8_t> b(sizeof h);
    memcpy(b.data(), &h, sizeof h);
    return b;
}

std::string as_text(const std::vector<uint8_t> &d)
{
    return std::string(d.begin(), d.end());
}

// Every packet the framer gives for the stream pushed in pieces of size
// step; the last result of next() goes into last.
std::vector<Packet> frame(const std::vector<uint8_t> &stream, size_t step, int &last, Framer &f)
{
    std::vector<Packet> got;
    last = 0;
    for (size_t i = 0; i < stream.size(); i += step) {
        f.push(stream.data() + i, std::min(step, stream.size() - i));
        Packet p;
        while ((last = f.next(p)) == 1)
            got.push_back(p);
        if (last < 0)
            break;
    }
    return got;
}

UPS_TIMEINFO when(int year, int month, int day, int hour, int minute, int second)
{
    UPS_TIMEINFO t{};
    t.year = static_cast<uint8_t>(year - 1900);
    t.month = static_cast<int8_t>(month);
    t.day = static_cast<int8_t>(day);
    t.hour = static_cast<int8_t>(hour);
    t.minute = static_cast<int8_t>(minute);
    t.second = static_cast<int8_t>(second);
    return t;
}

// A record as the agent sends it while it talks to a QE1000 on ttyS1 during
// a mains failure.
UPS_UPSINFO sample_info()
{
    UPS_UPSINFO ui{};
    ui.ComId = 2; // the agent counts ports from 1 on the wire
    ui.upsstat = 33;
    ui.BattStatus = 1;
    ui.CommStatus = COMM_ESTABLISHED;
    ui.BuzzerCan = 1;
    ui.iDetectionLvl = 3;
    strcpy(ui.upsmodel, "QE1000");
    ui.upsdata.InPutINT = 0;
    ui.upsdata.InPutREM = 0;
    ui.upsdata.OutPutINT = 100;
    ui.upsdata.OutPutREM = 2;
    ui.upsdata.FreqInputINT = 0;
    ui.upsdata.FreqOutputINT = 60;
    ui.upsdata.FreqOutputREM = 1;
    ui.upsdata.TempINT = 31;
    ui.upsdata.TempREM = 5;
    ui.upsdata.BattVolINT = 27;
    ui.upsdata.BattVolREM = 4;
    ui.upsdata.BattCap = 96;
    ui.upsdata.Load = 200; // above 127: the field is unsigned
    ui.timeinfo = when(2026, 3, 7, 9, 5, 1);
    ui.PreChangeBatt = when(2023, 4, 1, 0, 0, 0);
    ui.events[0].EventId = 255; // "No event": not shown
    ui.events[1].EventId = 79;
    ui.events[1].timeinfo = when(2026, 3, 7, 9, 4, 58);
    strcpy(ui.events[1].AgentName, "desk7");
    ui.sftResBattery.Result = SELFTEST_NORESULT;
    ui.sftResUPS.Result = SELFTEST_FAILED;
    ui.sftResUPS.timeinfo = when(2026, 3, 1, 8, 0, 0);
    ui.ufStatus = 0x4208;
    return ui;
}

std::vector<uint8_t> bytes_of(const UPS_UPSINFO &ui)
{
    std::vector<uint8_t> d(sizeof ui);
    memcpy(d.data(), &ui, sizeof ui);
    return d;
}

UpsView decoded(const UPS_UPSINFO &ui)
{
    UpsView v;
    std::string why;
    EXPECT_TRUE(decode_upsinfo(bytes_of(ui), v, why)) << why;
    return v;
}

std::string all_lines(const Snapshot &s)
{
    std::string t;
    for (const std::string &l : render_lines(s, false, 0))
        t += l + "\n";
    return t;
}

Snapshot snapshot_of(const UpsView &v)
{
    Snapshot s;
    s.address = "10.0.0.2";
    s.lang = "en";
    s.connected = true;
    s.connection = "connected";
    s.have_ups = true;
    s.ups = v;
    return s;
}

} // namespace

// ---------------------------------------------------------------------------
// Framing

TEST(VoltmiratopFraming, WholePacketsComeOutWhateverTheSegments)
{
    const auto a = packet(PK_UPSINFO, std::string(220, 'u'));
    const auto b = packet(PK_MESSAGE, std::string("UPS Ac fail\0", 12));
    const auto c = header(PK_EMPTY, 8);
    const auto stream = join({a, b, c});
    for (size_t step :
         {size_t(1), size_t(3), size_t(7), size_t(8), size_t(9), size_t(229), stream.size()}) {
        Framer f;
        int last;
        const auto got = frame(stream, step, last, f);
        ASSERT_EQ(got.size(), 3u) << "pieces of " << step;
        EXPECT_EQ(last, 0);
        EXPECT_EQ(got[0].kind, PK_UPSINFO);
        EXPECT_EQ(got[0].data.size(), 220u);
        EXPECT_EQ(got[1].kind, PK_MESSAGE);
        EXPECT_EQ(as_text(got[1].data), std::string("UPS Ac fail\0", 12));
        EXPECT_EQ(got[2].kind, PK_EMPTY);
        EXPECT_TRUE(got[2].data.empty());
        EXPECT_EQ(f.buffered(), 0u);
    }
}

TEST(VoltmiratopFraming, APartialHeaderOrBodyWaitsForTheRest)
{
    const auto a = packet(PK_OSINFO, std::string(28, 'o'));
    Framer f;
    Packet p;
    f.push(a.data(), 5);
    EXPECT_EQ(f.next(p), 0);
    f.push(a.data() + 5, 10);
    EXPECT_EQ(f.next(p), 0);
    EXPECT_EQ(f.buffered(), 15u);
    f.push(a.data() + 15, a.size() - 15);
    ASSERT_EQ(f.next(p), 1);
    EXPECT_EQ(p.kind, PK_OSINFO);
    EXPECT_EQ(p.data.size(), 28u);
    EXPECT_EQ(f.next(p), 0);
}

TEST(VoltmiratopFraming, KeepAliveBytesBetweenPacketsAreSkipped)
{
    const auto a = packet(PK_MESSAGE, std::string("a\0", 2));
    const auto b = packet(PK_MESSAGE, std::string("b\0", 2));
    const std::vector<uint8_t> ka = {NET_KEEPALIVE};
    const auto stream = join({ka, a, ka, ka, b, ka});
    for (size_t step : {size_t(1), stream.size()}) {
        Framer f;
        int last;
        const auto got = frame(stream, step, last, f);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(as_text(got[0].data), std::string("a\0", 2));
        EXPECT_EQ(as_text(got[1].data), std::string("b\0", 2));
        EXPECT_EQ(f.keepalives(), 4u);
        EXPECT_EQ(f.buffered(), 0u);
    }
}

TEST(VoltmiratopFraming, AByte0xFFInsideAPacketIsData)
{
    const auto a = packet(PK_MESSAGE, std::string("\xff\xff\0", 3));
    Framer f;
    int last;
    const auto got = frame(a, 1, last, f);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(as_text(got[0].data), std::string("\xff\xff\0", 3));
    EXPECT_EQ(f.keepalives(), 0u);
}

TEST(VoltmiratopFraming, ALengthBelowTheHeaderBreaksTheStreamForGood)
{
    const auto good = packet(PK_MESSAGE, std::string("x\0", 2));
    const auto stream = join({good, header(PK_UPSINFO, 7), good});
    Framer f;
    int last;
    const auto got = frame(stream, stream.size(), last, f);
    ASSERT_EQ(got.size(), 1u); // the packet before the bad one still counts
    EXPECT_EQ(last, -1);
    EXPECT_NE(f.error().find("length 7"), std::string::npos) << f.error();
    // No resynchronising on bytes that merely look like a header.
    Packet p;
    f.push(good.data(), good.size());
    EXPECT_EQ(f.next(p), -1);
}

TEST(VoltmiratopFraming, LengthsUpTo65536AreTakenAndAboveAreNot)
{
    {
        const auto big =
            join({header(PK_EVENTSET, MAX_PACKET), std::vector<uint8_t>(MAX_PACKET - 8, 0x5A)});
        Framer f;
        int last;
        const auto got = frame(big, 4096, last, f);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].data.size(), MAX_PACKET - 8u);
    }
    {
        Framer f;
        Packet p;
        const auto h = header(PK_EVENTSET, MAX_PACKET + 1);
        f.push(h.data(), h.size());
        EXPECT_EQ(f.next(p), -1);
    }
    {
        Framer f;
        Packet p;
        const auto h = header(PK_UPSINFO, 0);
        f.push(h.data(), h.size());
        EXPECT_EQ(f.next(p), -1);
    }
    {
        // A header-only packet is the smallest there is.
        Framer f;
        Packet p;
        const auto h = header(PK_EMPTY, 8);
        f.push(h.data(), h.size());
        EXPECT_EQ(f.next(p), 1);
        EXPECT_TRUE(p.data.empty());
    }
}

// ---------------------------------------------------------------------------
// Requests

TEST(VoltmiratopRequests, OsInfoCarriesTheLanguageAndOurSystemKind)
{
    const auto p = make_osinfo(LANG_ENGLISH, "Linux");
    ASSERT_EQ(p.size(), 36u);
    const uint8_t head[8] = {0x10, 0x01, 0x01, PK_OSINFO, 36, 0, 0, 0};
    EXPECT_EQ(memcmp(p.data(), head, 8), 0);
    PAOSINFO oi;
    memcpy(&oi, p.data() + 8, sizeof oi);
    EXPECT_EQ(oi.lang, 2);
    EXPECT_EQ(oi.os, NET_OS_OWN);
    EXPECT_STREQ(oi.osname, "Linux");
    PAOSINFO ja;
    memcpy(&ja, make_osinfo(LANG_TRANSLATED, "Linux").data() + 8, sizeof ja);
    EXPECT_EQ(ja.lang, 1);
}

TEST(VoltmiratopRequests, UpsInfoAndInquiryHaveTheirLengths)
{
    const auto g = make_getupsinfo();
    ASSERT_EQ(g.size(), 8u);
    EXPECT_EQ(g[3], PK_GETUPSINFO);
    EXPECT_EQ(g[4], 8);

    const auto q = make_inquiry("a-monitor-with-a-long-name");
    ASSERT_EQ(q.size(), 28u);
    EXPECT_EQ(q[3], PK_INQAGENT);
    EXPECT_EQ(q[4], 28);
    UPS_INQAGENT in;
    memcpy(&in, q.data() + 8, sizeof in);
    EXPECT_EQ(in.cmd, eAdd);
    EXPECT_EQ(std::string(in.Monitor), "a-monitor-with-"); // 15 characters and NUL
}

// ---------------------------------------------------------------------------
// The UPS record

TEST(VoltmiratopUpsInfo, EveryShownValueComesFromItsField)
{
    const UpsView v = decoded(sample_info());
    EXPECT_EQ(v.port, "/dev/ttyS1");
    EXPECT_EQ(v.state, 33);
    EXPECT_EQ(v.state_text, "utility failure");
    EXPECT_EQ(v.battery_text, "normal");
    EXPECT_EQ(v.comm_text, "established");
    EXPECT_EQ(v.model, "QE1000");
    EXPECT_DOUBLE_EQ(v.input_v, 0.0);
    EXPECT_DOUBLE_EQ(v.output_v, 100.2);
    EXPECT_DOUBLE_EQ(v.output_hz, 60.1);
    EXPECT_DOUBLE_EQ(v.battery_v, 27.4);
    EXPECT_TRUE(v.temp_known);
    EXPECT_DOUBLE_EQ(v.temp_c, 31.5);
    EXPECT_EQ(v.capacity, 96);
    EXPECT_EQ(v.load, 200);
    EXPECT_EQ(format_time(v.measured), "2026-03-07 09:05:01");
    EXPECT_EQ(format_date(v.battery_date), "2023-04-01");
    EXPECT_EQ(v.battery_test.text, "no result");
    EXPECT_FALSE(v.battery_test.when.valid);
    EXPECT_EQ(v.ups_test.text, "failed");
    EXPECT_EQ(format_time(v.ups_test.when), "2026-03-01 08:00:00");
    ASSERT_EQ(v.events.size(), 1u);
    EXPECT_EQ(v.events[0].id, 79u);
    EXPECT_EQ(v.events[0].text, "Receive shutdown Command From Users on desk7");
    EXPECT_EQ(v.detection_level, 3);
    EXPECT_TRUE(v.buzzer);
    EXPECT_FALSE(v.autotest);
    EXPECT_EQ(v.functions, 0x4208u);

    const std::string shown = all_lines(snapshot_of(v));
    EXPECT_NE(shown.find("utility failure (33)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("100.2 V   60.1 Hz"), std::string::npos) << shown;
    EXPECT_NE(shown.find("31.5 \xC2\xB0"
                         "C"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("2023-04-01"), std::string::npos) << shown;
}

TEST(VoltmiratopUpsInfo, Temperature255IsNotAvailable)
{
    UPS_UPSINFO ui = sample_info();
    ui.upsdata.TempINT = static_cast<int8_t>(255);
    ui.upsdata.TempREM = static_cast<int8_t>(255);
    const UpsView v = decoded(ui);
    EXPECT_FALSE(v.temp_known);
    const Snapshot s = snapshot_of(v);
    EXPECT_NE(all_lines(s).find("Temperature         n/a"), std::string::npos) << all_lines(s);
    EXPECT_NE(render_json(s).find("\"temperature_c\": null"), std::string::npos) << render_json(s);
}

TEST(VoltmiratopUpsInfo, MeasurementsOfAnUnreachedUpsAreNotShownAsZeros)
{
    UPS_UPSINFO ui{};
    ui.ComId = static_cast<int8_t>(0xFF);
    ui.CommStatus = COMM_LOST;
    strcpy(ui.upsmodel, "         "); // "UNKNOWN" as the agent sends it
    const UpsView v = decoded(ui);
    EXPECT_EQ(v.port, "none");
    EXPECT_EQ(v.comm_text, "not established or lost");
    EXPECT_EQ(v.battery_text, "not read yet");
    EXPECT_EQ(v.model, "");
    EXPECT_TRUE(v.events.empty()); // an all-zero event record was never written
    const Snapshot s = snapshot_of(v);
    EXPECT_NE(all_lines(s).find("Input               -\n"), std::string::npos) << all_lines(s);
    EXPECT_NE(render_json(s).find("\"measurements\": null"), std::string::npos);

    ui.ComId = static_cast<int8_t>(0xFE);
    ui.CommStatus = COMM_NOUPS;
    EXPECT_EQ(decoded(ui).port, "none (no UPS configured)");
    EXPECT_EQ(decoded(ui).comm_text, "no UPS configured");
}

TEST(VoltmiratopUpsInfo, UnknownCodesAreShownAsNumbers)
{
    UPS_UPSINFO ui = sample_info();
    ui.upsstat = 99;
    ui.BattStatus = static_cast<int8_t>(200);
    ui.events[1].EventId = 200;
    const UpsView v = decoded(ui);
    EXPECT_EQ(v.state_text, "code 99");
    EXPECT_EQ(v.battery_text, "code 200");
    EXPECT_EQ(v.events.at(0).text, "event 200");
}

TEST(VoltmiratopUpsInfo, AShortRecordIsRefused)
{
    std::vector<uint8_t> d = bytes_of(sample_info());
    d.resize(219);
    UpsView v;
    std::string why;
    EXPECT_FALSE(decode_upsinfo(d, v, why));
    EXPECT_NE(why.find("219"), std::string::npos) << why;
}

TEST(VoltmiratopUpsInfo, TheModelIsBoundedByItsField)
{
    UPS_UPSINFO ui = sample_info();
    memset(ui.upsmodel, 'M', sizeof ui.upsmodel); // no terminator
    EXPECT_EQ(decoded(ui).model, std::string(32, 'M'));
}

TEST(VoltmiratopAnswers, AnAgentAnswerIsDecoded)
{
    UPS_ANSAGENT a{};
    a.cmd = Reply;
    strcpy(a.Agent, "ups-room");
    strcpy(a.upsmodel, "QE1000");
    strcpy(a.Group, "\x89\x63\x8b\xc6"); // Shift_JIS for the group name "営業"
    a.UPSStatus = 33;
    a.NT = 2;
    a.AgentType = 4;
    a.BattStatus = 1;
    a.CommStatus = 2;
    Packet p;
    p.kind = PK_ANSAGENT;
    p.data.resize(sizeof a);
    memcpy(p.data.data(), &a, sizeof a);
    AgentAnswer got;
    ASSERT_TRUE(decode_answer(p, got));
    EXPECT_FALSE(got.protector);
    EXPECT_EQ(got.name, "ups-room");
    EXPECT_EQ(got.group, "\xe5\x96\xb6\xe6\xa5\xad");
    EXPECT_EQ(got.model, "QE1000");
    EXPECT_EQ(got.state, 33);
    EXPECT_EQ(got.comm, 2);
    EXPECT_EQ(got.agent_type, 4u);
    p.data.resize(sizeof a - 1);
    EXPECT_FALSE(decode_answer(p, got));
}

// ---------------------------------------------------------------------------
// Texts

TEST(VoltmiratopText, AShiftJisMessageBecomesUtf8)
{
    // "UPS" and the two kanji for a power failure, as the agent sends them.
    const std::string sjis = "UPS\x92\xe2\x93\x64";
    const std::vector<uint8_t> data(sjis.begin(), sjis.end() + 1); // with its NUL
    EXPECT_EQ(message_text(data), "UPS\xe5\x81\x9c\xe9\x9b\xbb");
}

TEST(VoltmiratopText, AnEucJpMessageBecomesUtf8)
{
    const std::string euc = "UPS\xc4\xe4\xc5\xc5 (\xa4\xa2)";
    const std::vector<uint8_t> data(euc.begin(), euc.end() + 1);
    EXPECT_EQ(message_text(data), "UPS\xe5\x81\x9c\xe9\x9b\xbb (\xe3\x81\x82)");
}

TEST(VoltmiratopText, HiraganaInShiftJisIsNotTakenForEucJp)
{
    const std::string sjis = "\x82\xa0"; // "a" in hiragana
    EXPECT_EQ(message_text(std::vector<uint8_t>(sjis.begin(), sjis.end())), "\xe3\x81\x82");
}

TEST(VoltmiratopText, TheTextEndsAtItsNulOrItsPacket)
{
    const std::string withnul("UPS Ac fail\0junk", 16);
    EXPECT_EQ(message_text(std::vector<uint8_t>(withnul.begin(), withnul.end())), "UPS Ac fail");
    const std::string unterminated = "no terminator";
    EXPECT_EQ(message_text(std::vector<uint8_t>(unterminated.begin(), unterminated.end())),
              "no terminator");
    EXPECT_EQ(message_text({}), "");
}

TEST(VoltmiratopText, BytesOfNoCodeAreShownAsHex)
{
    // A Shift_JIS lead byte cut off by the end of the text.
    const std::string cut = "UPS\x92\xe2\x93";
    EXPECT_EQ(message_text(std::vector<uint8_t>(cut.begin(), cut.end())), "UPS\xe5\x81\x9c\\x93");
    const std::string stray = "a\x80z";
    EXPECT_EQ(message_text(std::vector<uint8_t>(stray.begin(), stray.end())), "a\\x80z");
    // In EUC-JP text too ("n" in hiragana and a stray byte), where the
    // converter would pass it as a control character, and where the bytes
    // could also be read as Shift_JIS with a user-defined character.
    const std::string euc = "\xa4\xf3\x85";
    EXPECT_EQ(message_text(std::vector<uint8_t>(euc.begin(), euc.end())), "\xe3\x82\x93\\x85");
}

TEST(VoltmiratopText, ControlCharactersCannotSteerTheTerminal)
{
    EXPECT_EQ(printable("evil \x1b[2J\x07 text\r\n"), "evil ?[2J? text  ");
    EXPECT_EQ(printable("c1 \xc2\x9b"
                        "31m"),
              "c1 ?31m");
    EXPECT_EQ(printable("broken \xe5\x81 end"), "broken ?? end");
    EXPECT_EQ(printable("\xe5\x81\x9c\xe9\x9b\xbb ok"), "\xe5\x81\x9c\xe9\x9b\xbb ok");
    // Overlong forms and surrogates are not characters.
    EXPECT_EQ(printable("\xc0\x9b"), "??");
    EXPECT_EQ(printable("\xed\xa0\x80"), "???");
}

TEST(VoltmiratopText, WideCharactersTakeTwoColumns)
{
    const std::string kanji = "\xe5\x81\x9c\xe9\x9b\xbb"; // two kanji
    EXPECT_EQ(text_width(kanji), 4);
    EXPECT_EQ(text_width("\xef\xbd\xb1"), 1); // half-width katakana
    EXPECT_EQ(text_width("\x1b[31mab\x1b[0m"), 2);
    EXPECT_EQ(cut_to_width("ab" + kanji, 5), "ab\xe5\x81\x9c");
    EXPECT_EQ(cut_to_width("\x1b[31mabcdef\x1b[0m", 3), "\x1b[31mabc\x1b[0m");
}

// ---------------------------------------------------------------------------
// JSON

TEST(VoltmiratopJson, StringsAreEscaped)
{
    EXPECT_EQ(json_string("plain"), "\"plain\"");
    EXPECT_EQ(json_string("say \"hi\" \\ bye"), "\"say \\\"hi\\\" \\\\ bye\"");
    EXPECT_EQ(json_string("a\nb\tc\rd\be\ff"), "\"a\\nb\\tc\\rd\\be\\ff\"");
    EXPECT_EQ(json_string(std::string("nul\0x", 5)), "\"nul\\u0000x\"");
    EXPECT_EQ(json_string("\x1b[0m\x7f"), "\"\\u001b[0m\\u007f\"");
    EXPECT_EQ(json_string("\xe5\x81\x9c"), "\"\xe5\x81\x9c\"");
    EXPECT_EQ(json_string("bad \xff byte"), "\"bad \\ufffd byte\"");
    EXPECT_EQ(json_string("\xe2\x80\xa8"), "\"\\u2028\"");
}

TEST(VoltmiratopJson, TheDocumentCarriesCodesAndWords)
{
    Snapshot s = snapshot_of(decoded(sample_info()));
    s.agent_name = "ups \"room\"";
    s.messages.push_back(Message{0, "line \"one\"\\"});
    const std::string j = render_json(s);
    EXPECT_NE(j.find("\"name\": \"ups \\\"room\\\"\""), std::string::npos) << j;
    EXPECT_NE(j.find("\"state\": {\"code\": 33, \"text\": \"utility failure\"}"), std::string::npos)
        << j;
    EXPECT_NE(j.find("\"comm\": {\"code\": 2, \"text\": \"established\"}"), std::string::npos) << j;
    EXPECT_NE(j.find("\"temperature_c\": 31.5"), std::string::npos) << j;
    EXPECT_NE(j.find("\"battery_replaced\": \"2023-04-01\""), std::string::npos) << j;
    EXPECT_NE(j.find("\"text\": \"line \\\"one\\\"\\\\\""), std::string::npos) << j;
    // Balanced, and one document.
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < j.size(); i++) {
        if (in_string) {
            if (j[i] == '\\')
                i++;
            else if (j[i] == '"')
                in_string = false;
            continue;
        }
        if (j[i] == '"')
            in_string = true;
        else if (j[i] == '{' || j[i] == '[')
            depth++;
        else if (j[i] == '}' || j[i] == ']')
            depth--;
        ASSERT_GE(depth, 0);
    }
    EXPECT_EQ(depth, 0);
    EXPECT_FALSE(in_string);
    EXPECT_EQ(j.back(), '\n');
}

TEST(VoltmiratopJson, NoUpsYetIsNull)
{
    Snapshot s;
    s.address = "10.0.0.2";
    s.connection = "connecting";
    const std::string j = render_json(s);
    EXPECT_NE(j.find("\"ups\": null"), std::string::npos) << j;
    EXPECT_NE(j.find("\"connected\": false"), std::string::npos) << j;
}

// --- administration ----------------------------------------------------------

namespace
{

std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::vector<uint8_t> bytes(const std::string &s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

SCHEDULEINFO parsed(const std::string &text)
{
    SCHEDULEINFO s{};
    std::string why;
    EXPECT_TRUE(parse_schedule(text, s, why)) << text << ": " << why;
    return s;
}

} // namespace

// Every request an administrator sends: its kind, its Length and the bytes
// its data begins with.
TEST(VoltmiratopAdmin, RequestsCarryTheirKindLengthAndData)
{
    std::vector<uint8_t> pw;
    std::string why;
    ASSERT_TRUE(make_password("demo", "secret", pw, why)) << why;
    UPS_PARAM param{};
    param.workparam.TurnOffDelay = 0x1234;
    EventSettings ev;
    ev.events.resize(NET_EVENTSET_NEVENTS);
    ev.events[0].EventID = 128;
    ev.users.resize(2);
    ev.users[1].UserID = 5;
    const std::vector<SCHEDULEINFO> sched = {parsed("shutdown weekly 30 22 * * 5 to 0 7 * * 1"),
                                             parsed("test monthly 0 3 15 * * to 10 3 15 * *")};
    const struct {
        const char *what;
        std::vector<uint8_t> packet;
        uint8_t kind;
        uint32_t length;
        size_t at;        // where in the data the expected bytes begin
        std::string data; // hex
    } cases[] = {
        {"password name", pw, PK_PASSWORD, 68, 0, "64656d6f00"},
        {"password", pw, PK_PASSWORD, 68, 40, "73656372657400"},
        {"event log", make_read(RD_EVENTLOG, 0, 2000), PK_READ, 16, 0, "01000000d0070000"},
        {"configuration", make_read(RD_CONFIG, 0, 0), PK_READ, 16, 0, "0500000000000000"},
        {"self-test", make_selftest(5), PK_SELFTEST, 12, 0, "05000000"},
        {"shutdown delay", make_shutdown(600, "mon"), PK_SHUTDOWN, 48, 0, "0000580200000000"},
        {"shutdown name", make_shutdown(600, "mon"), PK_SHUTDOWN, 48, 8, "6d6f6e00"},
        {"cancel", make_cancel("a-monitor-name-too-long"), PK_CANCELSHUTDOWN, 24, 0,
         "612d6d6f6e69746f722d6e616d652d00"},
        {"configuration set", make_config(param), PK_CONFIG, 880, 12, "34120000"},
        {"event settings", make_eventset(ev), PK_EVENTSET, 13356 + 2 * 543, 0, "8000"},
        {"event settings users", make_eventset(ev), PK_EVENTSET, 13356 + 2 * 543, 13348 + 543,
         "05"},
        {"schedules", make_schedules(sched), PK_SCHEDULE, 48, 0,
         "02000100000005161e0000000000010700000000"},
        {"schedules, test", make_schedules(sched), PK_SCHEDULE, 48, 20, "0301000000000f0300"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_GE(c.packet.size(), 8u);
        UPS_PACKET_HEAD h;
        memcpy(&h, c.packet.data(), sizeof h);
        EXPECT_EQ(h.Version, NET_VERSION_110);
        EXPECT_EQ(h.DataId, c.kind);
        EXPECT_EQ(h.Length, c.length);
        EXPECT_EQ(c.packet.size(), c.length);
        const size_t n = c.data.size() / 2;
        ASSERT_LE(8 + c.at + n, c.packet.size());
        EXPECT_EQ(hex(c.packet.data() + 8 + c.at, n), c.data);
    }
}

// Names and passwords that would not reach the agent whole are refused.
TEST(VoltmiratopAdmin, PasswordFieldsAreNeverCut)
{
    std::vector<uint8_t> p;
    std::string why;
    EXPECT_TRUE(make_password(std::string(39, 'u'), std::string(19, 'p'), p, why));
    EXPECT_FALSE(make_password(std::string(40, 'u'), "", p, why));
    EXPECT_FALSE(make_password("", "x", p, why));
    EXPECT_FALSE(make_password("demo", std::string(20, 'p'), p, why));
    EXPECT_NE(why.find("at most 19"), std::string::npos) << why;
}

// Every answer is taken only in the lengths its records allow.
TEST(VoltmiratopAdmin, AnswersAreTakenOnlyWhole)
{
    std::string why;
    int32_t right = 0;
    EXPECT_TRUE(decode_right(bytes(std::string("\x01\0\0\0", 4)), right, why));
    EXPECT_EQ(right, RIGHT_ADMIN);
    EXPECT_EQ(right_words(right), "administrator");
    EXPECT_EQ(right_words(4), "rejected");
    EXPECT_FALSE(decode_right(bytes("abc"), right, why));

    std::vector<UPS_EVENTLOGINFO> el;
    std::vector<UPS_DATALOGINFO> dl;
    UPS_PARAM p;
    EventSettings es;
    std::vector<SCHEDULEINFO> sl;
    const size_t ev = NET_EVENTSET_NEVENTS * sizeof(UPS_EVENTINFO);
    const struct {
        size_t size;
        bool el, dl, config, events, schedules;
    } cases[] = {
        {0, true, true, false, false, true},
        {56, true, false, false, false, false},
        {48, false, true, false, false, false},
        {60, false, false, false, false, true},
        {872, false, false, true, false, false},
        {ev, false, false, false, true, false},
        {ev + 543, false, false, false, true, false},
        {ev + 542, false, false, false, false, false},
        {ev + 32 * 543, false, false, false, true, false},
        {ev + 33 * 543, false, false, false, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        const std::vector<uint8_t> d(c.size);
        EXPECT_EQ(decode_eventlog(d, el, why), c.el);
        EXPECT_EQ(decode_datalog(d, dl, why), c.dl);
        EXPECT_EQ(decode_config(d, p, why), c.config);
        EXPECT_EQ(decode_eventset(d, es, why), c.events);
        EXPECT_EQ(decode_schedules(d, sl, why), c.schedules);
    }
    EXPECT_EQ(es.users.size(), 32u);

    UPS_EVENTLOGINFO e{};
    e.EventId = 79;
    e.timeinfo = when(2026, 3, 7, 9, 5, 0);
    memcpy(e.AgentName, "mon\x1b[2J", 7);
    EXPECT_EQ(eventlog_line(e),
              "2026-03-07 09:05:00   79  Receive shutdown Command From Users on mon?[2J");
    UPS_DATALOGINFO d{};
    d.upsdata.InPutINT = 100;
    d.upsdata.Load = 20;
    d.upsdata.TempINT = -1;
    EXPECT_NE(datalog_line(d).find("in 100.0 V"), std::string::npos) << datalog_line(d);
    EXPECT_NE(datalog_line(d).find("temp -"), std::string::npos) << datalog_line(d);
}

// Schedule entries in the agent's own notation: what is read is shown as
// the same text, and what the agent would not store is refused.
TEST(VoltmiratopAdmin, ScheduleTextsAndTheirRecords)
{
    const struct {
        const char *text;
        int id, action, on;
        int year, month, day, hour, minute;
    } good[] = {
        {"shutdown special 0 22 24 11 * 126 to 30 7 25 11 * 126", 1, 0, 1, 126, 11, 24, 22, 0},
        {"shutdown weekly 30 22 * * 5 to 0 7 * * 1 stay-off", 2, 0, 0, 0, 0, 5, 22, 30},
        {"test monthly 0 3 31 * * to 10 3 31 * *", 3, 1, 0, 0, 0, 31, 3, 0},
        {"test weekly 59 23 * * 0 to 0 0 * * 6", 2, 1, 0, 0, 0, 0, 23, 59},
    };
    for (const auto &g : good) {
        SCOPED_TRACE(g.text);
        const SCHEDULEINFO s = parsed(g.text);
        EXPECT_EQ(s.ID, g.id);
        EXPECT_EQ(s.ActionID, g.action);
        EXPECT_EQ(s.ScheduleOn, g.on);
        EXPECT_EQ(s.stimeInfo.year, g.year);
        EXPECT_EQ(s.stimeInfo.month, g.month);
        EXPECT_EQ(s.stimeInfo.day, g.day);
        EXPECT_EQ(s.stimeInfo.hour, g.hour);
        EXPECT_EQ(s.stimeInfo.minute, g.minute);
        EXPECT_EQ(s.stimeInfo.second, 0);
        EXPECT_EQ(schedule_text(s), g.text);
    }
    const char *bad[] = {
        "shutdown weekly 30 22 * * 7 to 0 7 * * 1",             // weekday 0..6
        "shutdown special 0 22 24 12 * 126 to 0 7 25 11 * 126", // months 0..11
        "shutdown special 0 22 24 11 * 201 to 0 7 25 11 * 126", // years to 200
        "shutdown monthly 0 22 0 * * to 0 7 1 * *",             // days from 1
        "shutdown monthly 60 22 1 * * to 0 7 1 * *",
        "shutdown weekly 30 22 1 * 5 to 0 7 * * 1", // '*' where the kind has none
        "shutdown weekly 30 22 * * 5 0 7 * * 1",    // no "to"
        "test weekly 30 22 * * 5 to 0 7 * * 1 stay-off",
        "reboot weekly 30 22 * * 5 to 0 7 * * 1",
        "shutdown daily 30 22 * * 5 to 0 7 * * 1",
        "shutdown weekly 30 22 * * 5,6 to 0 7 * * 1",
    };
    for (const char *b : bad) {
        SCHEDULEINFO s{};
        std::string why;
        EXPECT_FALSE(parse_schedule(b, s, why)) << b;
        EXPECT_FALSE(why.empty()) << b;
    }
}

// A configuration change touches the one field named, in its range.
TEST(VoltmiratopAdmin, ConfigurationKeysAndTheirRanges)
{
    UPS_PARAM p{};
    snprintf(p.commparam.Agent, sizeof p.commparam.Agent, "lab-agent");
    const struct {
        const char *set;
        bool ok;
        const char *key, *value;
    } cases[] = {
        {"TurnOffDelay=45", true, "TurnOffDelay", "45"},
        {" turnoffdelay = 46 ", true, "TurnOffDelay", "46"},
        {"AutoBoot=0", true, "AutoBoot", "0"},
        {"AutoBoot=2", false, "AutoBoot", "0"},
        {"ComSet=-2", true, "ComSet", "-2"},
        {"EXPECTBLIFE=-1", false, "EXPECTBLIFE", "0"},
        {"EXPECTBLIFE=12x", false, "EXPECTBLIFE", "0"},
        {"Group=Lab Group", true, "Group", "Lab Group"},
        {"Group=0123456789abcdef", false, "Group", "Lab Group"},
        {"AgentName=other", false, "AgentName", "lab-agent"},
        {"NoSuchKey=1", false, "NoSuchKey", ""},
        {"TurnOffDelay", false, "TurnOffDelay", "46"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.set);
        const UPS_PARAM before = p;
        std::string key, why;
        EXPECT_EQ(config_set(p, c.set, key, why), c.ok) << why;
        EXPECT_EQ(config_value(p, c.key), c.value);
        if (!c.ok) {
            EXPECT_EQ(memcmp(&before, &p, sizeof p), 0);
        }
    }
    EXPECT_EQ(p.workparam.TurnOffDelay, 46u);
    EXPECT_EQ(p.workparam.ComSet, -2);
    // A Japanese group goes out in Shift_JIS, as the agent expects from a
    // monitor of this version.
    std::string key, why;
    ASSERT_TRUE(config_set(p, "Group=\xe4\xba\x9c", key, why)) << why;
    EXPECT_EQ(std::string(p.commparam.Group), "\x88\x9f");
    EXPECT_EQ(config_value(p, "Group"), "\xe4\xba\x9c");
    const std::vector<std::string> lines = config_lines(p);
    EXPECT_EQ(lines.front(), "AgentName = lab-agent  (not settable)");
}

// One event's actions change; the others and the users go back as read.
TEST(VoltmiratopAdmin, AnEventChangeTouchesThatEventOnly)
{
    EventSettings s;
    s.events.resize(NET_EVENTSET_NEVENTS);
    for (size_t i = 0; i < s.events.size(); i++)
        s.events[i].EventID = static_cast<uint16_t>(i == 8 ? 65 : 200 + i);
    s.users.resize(1);
    memcpy(s.users[0].UserName, "ops", 3);
    const EventSettings before = s;
    unsigned id = 0;
    std::string why;
    ASSERT_TRUE(eventset_change(s,
                                "65 record=no shutdown=yes broadcast=users users=0x5 mail=3 "
                                "command=logger -t ups  down",
                                id, why))
        << why;
    EXPECT_EQ(id, 65u);
    const UPS_EVENTINFO &e = s.events[8];
    EXPECT_EQ(e.Record, 0);
    EXPECT_EQ(e.Shutdown, 1);
    EXPECT_EQ(e.BroadcastType, 2u);
    EXPECT_EQ(e.BroadcastUser, 5u);
    EXPECT_EQ(e.MailUser, 3u);
    EXPECT_STREQ(e.Command, "logger -t ups  down");
    for (size_t i = 0; i < s.events.size(); i++)
        if (i != 8) {
            EXPECT_EQ(memcmp(&s.events[i], &before.events[i], sizeof e), 0);
        }
    const std::vector<uint8_t> sent = make_eventset(s);
    EXPECT_EQ(hex(sent.data() + 8 + 13348, 6),
              hex(reinterpret_cast<const uint8_t *>(&before.users[0]), 6));

    const char *refused[] = {"66 shutdown=yes", "65",         "65 shutdown=maybe", "65 colour=red",
                             "x shutdown=yes",  "65 users=-1"};
    for (const char *r : refused) {
        const EventSettings kept = s;
        EXPECT_FALSE(eventset_change(s, r, id, why)) << r;
        EXPECT_EQ(memcmp(s.events.data(), kept.events.data(), 13348), 0) << r;
    }
    EXPECT_NE(eventset_lines(s)[8].find("log no, shutdown yes, broadcast users, users 0x5, mail "
                                        "0x3, command \"logger -t ups  down\""),
              std::string::npos)
        << eventset_lines(s)[8];
}

// The prompt line: typing, taking back whole characters, ending and
// cancelling; the help fits a terminal of 80 columns.
TEST(VoltmiratopAdmin, PromptLineAndKeys)
{
    std::string l;
    const std::string typed = "ab\xc3\xa9\x7f\x7f"
                              "c\x01";
    for (unsigned char b : typed)
        EXPECT_EQ(edit_line(l, b), 0);
    EXPECT_EQ(l, "ac");
    EXPECT_EQ(edit_line(l, '\r'), 1);
    EXPECT_EQ(edit_line(l, 0x1b), -1);
    EXPECT_EQ(edit_line(l, 0x03), -1);
    EXPECT_LE(text_width(help_line()), 80);
    for (char k : std::string("ledcsvEhaxtSkbB")) {
        const KeyAction *a = key_action(k);
        ASSERT_NE(a, nullptr) << k;
        std::string why;
        const std::string sample = a->prompt ? std::string(a->action) + "=1" : a->action;
        EXPECT_TRUE(std::string(a->action) == "login" || check_action(sample, why)) << k << why;
    }
    EXPECT_EQ(key_action('q'), nullptr);

    // A log shows its last lines, other listings their first, with the
    // space for more; the status is padded to keep note and help at the
    // bottom.
    Page pg;
    show_page(pg, "log", {"1", "2", "3", "4", "5"}, true, 5);
    std::vector<std::string> sc = screen({"status"}, 5, 80, pg, "note");
    ASSERT_EQ(sc.size(), 5u);
    EXPECT_EQ(sc[0], "\x1b[1mlog  (lines 4-5 of 5)\x1b[0m");
    EXPECT_EQ(sc[1] + sc[2] + sc[3], "45note");
    EXPECT_EQ(sc[4], "\x1b[7many key: back to the status\x1b[0m");
    show_page(pg, "events", {"1", "2", "3", "4", "5"}, false, 5);
    EXPECT_EQ(screen({}, 5, 80, pg, "")[1], "1");
    EXPECT_NE(screen({}, 5, 80, pg, "")[4].find("space: more"), std::string::npos);
    EXPECT_TRUE(page_key(pg, ' ', 5));
    EXPECT_TRUE(page_key(pg, ' ', 5));
    EXPECT_EQ(screen({}, 5, 80, pg, "")[1], "5");
    EXPECT_FALSE(page_key(pg, ' ', 5));
    EXPECT_TRUE(pg.lines.empty());
    sc = screen({"status"}, 5, 4, pg, "a long note");
    ASSERT_EQ(sc.size(), 5u);
    EXPECT_EQ(sc[0] + "|" + sc[1] + "|" + sc[3], "status||a lo");
    EXPECT_NE(sc[4].find("l:lo"), std::string::npos);
}

// --- against a real agent ------------------------------------------------------

namespace
{

constexpr int kPassMs = 1000; // the agent's loop passes at least once a second

lab::CommandResult voltmiratop(lab::LabHost &from, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {VOLTMIRA_VOLTMIRATOP_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return from.run_command(argv, 60 * kPassMs);
}

} // namespace

// The --do forms on one agent: an administrator's changes reach the file and
// the UPS's line, each command reports its effect; without rights nothing
// is done and the monitor says why it heard nothing.
TEST(VoltmiratopLab, AdministratorActionsThroughTheDoForms)
{
    std::unique_ptr<lab::LabNet> net;
    LAB_OR_SKIP(net = std::make_unique<lab::LabNet>());
    lab::HostOptions o;
    o.users = {{"demo", 4242, "demo-pw"}};
    o.config_owner = "demo";
    o.config = "[ UPS ]\nAgentType = 4\nGroup = Lab\n[ ShutDown ]\nTurnOffDelay = 30\n";
    lab::LabHost &a = net->add_host("a", o);
    lab::LabHost &m = net->add_host("m");
    testutil::UpsSim &ups = a.attach_ups();
    ASSERT_EQ(a.start_agent(), 0) << a.console();
    ASSERT_TRUE(a.wait_agent_up(10 * kPassMs)) << a.debug_log();
    ASSERT_TRUE(testutil::eventually(
        [&] { return a.aginfo() && a.aginfo()->ups.ui.CommStatus == COMM_ESTABLISHED; },
        30 * kPassMs))
        << a.debug_log();
    const std::string pwfile = net->dir() + "/pw";
    testutil::write_file(pwfile, "demo-pw\n");
    const std::vector<std::string> as_admin = {"--agent", a.addr(), "--timeout",       "10",
                                               "--user",  "demo",   "--password-file", pwfile};
    ups.clear_transcript();

    auto args = as_admin;
    for (const char *d :
         {"config-set=TurnOffDelay=45", "event-set=65 mail=0x1", "buzzer=off", "selftest=1",
          "shutdown=600", "cancel", "eventlog", "config", "events",
          "schedule-add=shutdown weekly 30 22 * * 5 to 0 7 * * 1",
          "schedule-add=test monthly 0 3 15 * * to 10 3 15 * *", "schedule-del=2"}) {
        args.push_back("--do");
        args.push_back(d);
    }
    lab::CommandResult r = voltmiratop(m, args);
    EXPECT_EQ(r.status, 0) << r.output;
    for (const char *said :
         {"logged in as demo: administrator\n", "TurnOffDelay = 45 (was 30)\n",
          "event 65  UPS Ac fail:  log yes, shutdown no, broadcast all, mail 0x1\n",
          "buzzer off done: ", "event: Disable the Buzzer", "self-test of 1 min done: ",
          "shutdown in 600 s done: ", "Receive shutdown Command From Users on ",
          "cancel of the shutdown done: ", "\n  TurnOffDelay = 45\n",
          "  65  UPS Ac fail:  log yes, shutdown no, broadcast all, mail 0x1\n",
          "schedule added; 2 schedule entries\n  1  shutdown weekly 30 22 * * 5 to 0 7 * * 1\n"
          "  2  test monthly 0 3 15 * * to 10 3 15 * *\n",
          "schedule 2 deleted; 1 schedule entry\n  1  shutdown weekly 30 22 * * 5 to 0 7 * * 1\n"})
        EXPECT_NE(r.output.find(said), std::string::npos) << said << "\n" << r.output;
    EXPECT_NE(r.output.find("\n  AgentName = " + a.hostname() + "  (not settable)\n"),
              std::string::npos)
        << r.output;
    // The log read last holds what the commands did, in order.
    const size_t buzz = r.output.find("14  Disable the Buzzer");
    const size_t down = r.output.find("79  Receive shutdown Command");
    const size_t cancel = r.output.find("21  The Shutdown is Canceled");
    EXPECT_TRUE(buzz < down && down < cancel && cancel != std::string::npos) << r.output;
    for (const char *line : {"Bf\r", "T\r"})
        EXPECT_TRUE(ups.wait_rx(line, 10 * kPassMs)) << "the UPS never got " << line;
    const std::string config = testutil::read_file(a.at("/usr/lib/voltmira/config"));
    for (const char *kept : {"TurnOffDelay = 45", "WEEKLYSTART1 = 30 22 * * 5", "MONTHLYNO = 0"})
        EXPECT_NE(config.find(kept), std::string::npos) << kept << "\n" << config;

    // Without a login: refused in silence, and said so.
    ups.clear_transcript();
    r = voltmiratop(m, {"--agent", a.addr(), "--timeout", "3", "--do", "buzzer=on"});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("buzzer on: no answer (not logged in as administrator?)"),
              std::string::npos)
        << r.output;
    r = voltmiratop(m, {"--agent", a.addr(), "--timeout", "3", "--do", "config-set=AutoBoot=0"});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("AutoBoot stays 1: no answer"), std::string::npos) << r.output;
    // A wrong password is rejected and ends the run before its actions.
    testutil::write_file(pwfile, "wrong\n");
    r = voltmiratop(
        m, {"--agent", a.addr(), "--user", "demo", "--password-file", pwfile, "--do", "buzzer=on"});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_EQ(r.output, "logged in as demo: rejected\n");
    for (const auto &e : ups.transcript("RX"))
        EXPECT_NE(e.bytes, "Bn\r");
}
