// The terminal monitor's protocol and display code: where a byte stream is
// cut into packets, how the agent's raw UPS record becomes the values shown,
// how texts from the network are converted and made harmless, and how JSON
// output is escaped.
#include "voltmiratop/display.h"
#include "voltmiratop/protocol.h"

#include <gtest/gtest.h>

#include <cstring>
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
