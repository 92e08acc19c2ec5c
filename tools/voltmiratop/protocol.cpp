#include "protocol.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>

#include "jconv/jconv.h"

namespace vtop
{

// ---------------------------------------------------------------------------
// Framing

void Framer::push(const void *bytes, size_t n)
{
    if (n == 0)
        return;
    // Drop what was consumed before growing, so a long session does not keep
    // every byte it ever received.
    if (off_ > 0 && off_ == buf_.size()) {
        buf_.clear();
        off_ = 0;
    } else if (off_ >= 4096) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(off_));
        off_ = 0;
    }
    const auto *p = static_cast<const uint8_t *>(bytes);
    buf_.insert(buf_.end(), p, p + n);
}

int Framer::next(Packet &out)
{
    if (!error_.empty())
        return -1;
    for (;;) {
        const size_t avail = buf_.size() - off_;
        if (avail == 0)
            return 0;
        if (buf_[off_] == NET_KEEPALIVE) {
            off_++;
            keepalives_++;
            continue;
        }
        if (avail < sizeof(UPS_PACKET_HEAD))
            return 0;
        UPS_PACKET_HEAD h;
        memcpy(&h, &buf_[off_], sizeof h);
        if (h.Length < MIN_PACKET || h.Length > MAX_PACKET) {
            char why[96];
            snprintf(why, sizeof why, "packet of kind %u with impossible length %u",
                     static_cast<unsigned>(h.DataId), static_cast<unsigned>(h.Length));
            error_ = why;
            return -1;
        }
        if (avail < h.Length)
            return 0;
        out.version = h.Version;
        out.prototype = h.Prototype;
        out.kind = h.DataId;
        const uint8_t *d = &buf_[off_ + sizeof h];
        out.data.assign(d, d + (h.Length - sizeof h));
        off_ += h.Length;
        return 1;
    }
}

// ---------------------------------------------------------------------------
// Requests

std::vector<uint8_t> make_packet(uint8_t kind, const void *data, size_t n)
{
    UPS_PACKET_HEAD h{};
    h.Version = NET_VERSION_110;
    // The agent accepts 0 or 1 here, but a header that reaches it in pieces
    // must carry exactly 1, so 1 is the value that is always right.
    h.Prototype = 1;
    h.DataId = kind;
    h.Length = static_cast<uint32_t>(sizeof h + n);
    std::vector<uint8_t> p(sizeof h + n);
    memcpy(p.data(), &h, sizeof h);
    if (n > 0)
        memcpy(p.data() + sizeof h, data, n);
    return p;
}

std::vector<uint8_t> make_osinfo(int32_t lang, const char *osname)
{
    PAOSINFO oi{};
    oi.lang = lang;
    // A monitor on the agent's own kind of system: the agent then skips the
    // adaptations it makes for older monitors of other systems.
    oi.os = NET_OS_OWN;
    snprintf(oi.osname, sizeof oi.osname, "%s", osname ? osname : "");
    return make_packet(PK_OSINFO, &oi, sizeof oi);
}

std::vector<uint8_t> make_getupsinfo()
{
    return make_packet(PK_GETUPSINFO, nullptr, 0);
}

std::vector<uint8_t> make_inquiry(const char *monitor)
{
    UPS_INQAGENT q{};
    q.cmd = eAdd;
    snprintf(q.Monitor, sizeof q.Monitor, "%s", monitor ? monitor : "");
    return make_packet(PK_INQAGENT, &q, sizeof q);
}

// ---------------------------------------------------------------------------
// Times

When decode_time(const UPS_TIMEINFO &t)
{
    When w;
    if (t.year == 0 && t.month == 0 && t.day == 0 && t.hour == 0 && t.minute == 0 && t.second == 0)
        return w;
    w.valid = true;
    w.year = 1900 + t.year;
    w.month = t.month;
    w.day = t.day;
    w.hour = t.hour;
    w.minute = t.minute;
    w.second = t.second;
    return w;
}

std::string format_time(const When &w)
{
    if (!w.valid)
        return "";
    char s[64];
    snprintf(s, sizeof s, "%04d-%02d-%02d %02d:%02d:%02d", w.year, w.month, w.day, w.hour, w.minute,
             w.second);
    return s;
}

std::string format_date(const When &w)
{
    if (!w.valid)
        return "";
    char s[32];
    snprintf(s, sizeof s, "%04d-%02d-%02d", w.year, w.month, w.day);
    return s;
}

// ---------------------------------------------------------------------------
// Words

namespace
{

std::string code_words(int code)
{
    return "code " + std::to_string(code);
}

// A text field that need not be terminated.
std::string field(const char *f, size_t size)
{
    size_t n = 0;
    while (n < size && f[n] != '\0')
        n++;
    return std::string(f, n);
}

std::string trim_right(std::string s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    return s;
}

// The agent's two-part measurements: whole units and tenths.
double tenths(int whole, int tenth)
{
    return whole + tenth / 10.0;
}

} // namespace

std::string state_words(int code)
{
    switch (code) {
    case 0:
        return "normal";
    case 3:
        return "self-test running";
    case 4:
        return "shutdown active";
    case 16:
        return "bypass";
    case 20:
        return "UPS fault";
    case 21:
        return "overload";
    case 33:
        return "utility failure";
    }
    return code_words(code);
}

std::string battery_words(int code)
{
    switch (code) {
    case 0:
        return "not read yet";
    case 1:
        return "normal";
    case 5:
        return "under test";
    case 18:
        return "weak";
    case 19:
        return "disconnected";
    case 34:
        return "low";
    }
    return code_words(code);
}

std::string comm_words(int code)
{
    switch (code) {
    case COMM_ESTABLISHED:
        return "established";
    case COMM_NOUPS:
        return "no UPS configured";
    case COMM_LOST:
        return "not established or lost";
    }
    return code_words(code);
}

std::string test_words(uint32_t code)
{
    switch (code) {
    case SELFTEST_FAILED:
        return "failed";
    case SELFTEST_PASSED:
        return "passed";
    case SELFTEST_NORESULT:
        return "no result";
    }
    return code_words(static_cast<int>(code));
}

std::string port_words(int comid)
{
    // The agent counts the port from 1 on the wire and sets the top bit when
    // it has none.
    if (comid == 0xFE)
        return "none (no UPS configured)";
    if (comid & 0x80)
        return "none";
    if (comid >= 1 && comid <= 4)
        return "/dev/ttyS" + std::to_string(comid - 1);
    return "port code " + std::to_string(comid);
}

const char *event_text(unsigned id)
{
    // The agent's English event texts, which it also uses as the keys of its
    // translations.
    static const struct {
        unsigned id;
        const char *text;
    } texts[] = {
        {128, "UPS Battery Low"},
        {129, "UPS AC Fail Delay Run out"},
        {130, "specified date to turn off UPS is arrived at"},
        {131, "weekly time to turn off UPS is arrived at"},
        {132, "monthly time to turn off UPS is arrived at"},
        {133, "Shutdown Time Initiated by Users is arrived at"},
        {134, "Shut Down Time Initiated by other Agent is arrived at"},
        {64, "UPS communication Lost"},
        {65, "UPS Ac fail"},
        {66, "UPS Battery Disconnect"},
        {67, "UPS is Bypass"},
        {68, "UPS Battery is weak"},
        {69, "UPS SelfTest by User Failed"},
        {70, "UPS Special Day SelfTest Failed"},
        {71, "UPS Weekly SelfTest Failed"},
        {72, "UPS Monthly SelfTest Failed"},
        {73, "Battery SelfTest Failed"},
        {74, "System begin specially turn off UPS warning"},
        {75, "System begin weekly turn off UPS Warning"},
        {76, "System begin monthly turn off UPS Warning"},
        {77, "UPS abnormal"},
        {78, "UPS overload"},
        {79, "Receive shutdown Command From Users on %s"},
        {80, "Network Shutdown Triggered by Other Agent"},
        {0, "UPS AC Restore"},
        {1, "UPS Communication established"},
        {2, "SelfTest by User succeeded"},
        {3, "Special Day Selftest succeeded"},
        {4, "Weekly SelfTest succeeded"},
        {5, "Monthly Selftest succeeded"},
        {6, "UPS Battery Selftest succeeded"},
        {7, "UPS Agent Start up"},
        {8, "UPS Agent stop"},
        {9, "UPS Working SetParameters is changed"},
        {10, "UPS Schedule Setparameters is changed"},
        {11, "UPS Smart Event Setparameters is changed"},
        {12, "Disable UPS Automatic Selftest Timer"},
        {13, "Enable UPS Automatic Selftest Timer"},
        {15, "Enable the Buzzer"},
        {14, "Disable the Buzzer"},
        {16, "The Battery is Changed"},
        {17, "Set up to output voltage 100V standard sensitivity"},
        {18, "Set up to output voltage 100V low sensitivity"},
        {19, "Set up to output voltage 115V standard sensitivity"},
        {20, "Set up to output voltage 115V low sensitivity"},
        {21, "The Shutdown is Canceled by Users on %s"},
        {22, "System is shutdown"},
        {255, "No event"},
        {48, "Protector start"},
        {49, "Protector stop"},
        {50, "Protector not find Agent"},
        {51, "Protector find Agent"},
        {52, "Protector's parameters is set"},
        {53, "Protector shutdown to Agent"},
    };
    for (const auto &t : texts)
        if (t.id == id)
            return t.text;
    return "";
}

std::string event_line(unsigned id, const std::string &name)
{
    std::string t = event_text(id);
    if (t.empty())
        return "event " + std::to_string(id);
    const size_t at = t.find("%s");
    if (at != std::string::npos)
        t.replace(at, 2, name.empty() ? "?" : name);
    return t;
}

// ---------------------------------------------------------------------------
// Records

bool decode_upsinfo(const std::vector<uint8_t> &data, UpsView &v, std::string &why)
{
    UPS_UPSINFO ui;
    if (data.size() < sizeof ui) {
        why = "UPS information of " + std::to_string(data.size()) + " bytes, " +
              std::to_string(sizeof ui) + " expected";
        return false;
    }
    memcpy(&ui, data.data(), sizeof ui);
    v = UpsView{};
    v.comid = static_cast<uint8_t>(ui.ComId);
    v.port = port_words(v.comid);
    v.state = static_cast<uint8_t>(ui.upsstat);
    v.state_text = state_words(v.state);
    v.battery = static_cast<uint8_t>(ui.BattStatus);
    v.battery_text = battery_words(v.battery);
    v.comm = static_cast<uint8_t>(ui.CommStatus);
    v.comm_text = comm_words(v.comm);
    // A model the agent could not read arrives as blanks.
    v.model = trim_right(field(ui.upsmodel, sizeof ui.upsmodel));
    v.group = japanese_to_utf8(ui.Group, sizeof ui.Group);

    const UPSDATA &d = ui.upsdata;
    v.input_v = tenths(d.InPutINT, d.InPutREM);
    v.output_v = tenths(d.OutPutINT, d.OutPutREM);
    v.input_hz = tenths(static_cast<uint8_t>(d.FreqInputINT), d.FreqInputREM);
    v.output_hz = tenths(static_cast<uint8_t>(d.FreqOutputINT), d.FreqOutputREM);
    v.battery_v = tenths(static_cast<uint8_t>(d.BattVolINT), d.BattVolREM);
    v.load = d.Load;
    v.capacity = static_cast<uint8_t>(d.BattCap);
    // 255 in the whole degrees: the unit has no thermometer.
    v.temp_known = static_cast<uint8_t>(d.TempINT) != 255;
    if (v.temp_known)
        v.temp_c = tenths(static_cast<uint8_t>(d.TempINT), static_cast<uint8_t>(d.TempREM));

    v.measured = decode_time(ui.timeinfo);
    v.battery_date = decode_time(ui.PreChangeBatt);
    v.next_down = decode_time(ui.nextdown);
    v.next_boot = decode_time(ui.nextboot);
    v.battery_test.code = ui.sftResBattery.Result;
    v.battery_test.text = test_words(ui.sftResBattery.Result);
    v.battery_test.when = decode_time(ui.sftResBattery.timeinfo);
    v.ups_test.code = ui.sftResUPS.Result;
    v.ups_test.text = test_words(ui.sftResUPS.Result);
    v.ups_test.when = decode_time(ui.sftResUPS.timeinfo);

    for (const UPS_EVENTLOGINFO &e : ui.events) {
        EventView ev;
        ev.id = e.EventId;
        ev.when = decode_time(e.timeinfo);
        // 255 is the agent's "no event"; an all-zero record was never
        // written.
        if (ev.id == 255 || (ev.id == 0 && !ev.when.valid))
            continue;
        ev.name = japanese_to_utf8(e.AgentName, sizeof e.AgentName);
        ev.text = event_line(ev.id, ev.name);
        v.events.push_back(ev);
    }

    v.shutdown_commanded = ui.CommandDownS != 0;
    v.shutdown_running = ui.ShutdownS != 0;
    v.buzzer = ui.BuzzerCan != 0;
    v.autotest = ui.AutoTestCan != 0;
    v.autoreboot = ui.bAutoReboot != 0;
    v.ignore_down = ui.bIgnoreDown != 0;
    v.detection_level = ui.iDetectionLvl;
    v.functions = ui.ufStatus;
    v.agent_type = ui.AgentType;
    return true;
}

bool decode_answer(const Packet &p, AgentAnswer &a)
{
    a = AgentAnswer{};
    if (p.kind == PK_ANSAGENT) {
        UPS_ANSAGENT r;
        if (p.data.size() < sizeof r)
            return false;
        memcpy(&r, p.data.data(), sizeof r);
        a.cmd = r.cmd;
        a.name = japanese_to_utf8(r.Agent, sizeof r.Agent);
        a.group = japanese_to_utf8(r.Group, sizeof r.Group);
        a.model = trim_right(field(r.upsmodel, sizeof r.upsmodel));
        a.state = static_cast<uint8_t>(r.UPSStatus);
        a.battery = static_cast<int>(r.BattStatus);
        a.comm = static_cast<int>(r.CommStatus);
        a.agent_type = r.AgentType;
        return true;
    }
    if (p.kind == PK_ANSPROT) {
        UPS_ANSPROT r;
        if (p.data.size() < sizeof r)
            return false;
        memcpy(&r, p.data.data(), sizeof r);
        a.protector = true;
        a.cmd = r.cmd;
        a.name = japanese_to_utf8(r.myname, sizeof r.myname);
        // The agent that protects this host.
        a.group = japanese_to_utf8(r.Agent, sizeof r.Agent);
        a.agent_type = AGTYPE_PROTECTOR;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Japanese text

namespace
{

void append_hex(std::string &out, uint8_t b)
{
    char s[8];
    snprintf(s, sizeof s, "\\x%02X", b);
    out += s;
}

// Converts to UTF-8 with recode, and then refuses (strict) or marks the
// bytes no Japanese text holds.
bool convert(const std::string &in, const char *from, bool strict, std::string &out)
{
    if (!recode(in, from, "UTF-8", strict, out))
        return false;
    // EUC-JP converters pass the C1 bytes through as control characters; in
    // a Japanese text they are stray bytes, not characters.  And a text in
    // the right code never lands in the private use area (the user-defined
    // rows of Shift_JIS do), so a strict reading that does is the wrong one.
    std::string clean;
    for (size_t i = 0; i < out.size(); i++) {
        const auto c = static_cast<unsigned char>(out[i]);
        const auto d = i + 1 < out.size() ? static_cast<unsigned char>(out[i + 1]) : 0;
        if (strict && ((c == 0xEE) || (c == 0xEF && d >= 0x80 && d <= 0xA3)))
            return false;
        if (c == 0xC2 && d >= 0x80 && d <= 0x9F) {
            if (strict)
                return false;
            append_hex(clean, d);
            i++;
        } else {
            clean += static_cast<char>(c);
        }
    }
    out = clean;
    return true;
}

std::string bytes_to_utf8(const std::string &raw)
{
    bool ascii = true;
    for (unsigned char c : raw)
        if (c >= 0x80)
            ascii = false;
    const int code =
        DetectCodeType(reinterpret_cast<const unsigned char *>(raw.c_str()), raw.size());
    // Plain 7-bit text needs nothing, unless it holds an escape sequence of
    // one of the 7-bit Japanese codes.
    if (ascii && code != CODE_JIS_NEW && code != CODE_JIS_OLD)
        return raw;

    const char *order[2];
    switch (code) {
    case CODE_JIS_NEW:
    case CODE_JIS_OLD:
        order[0] = "ISO-2022-JP";
        order[1] = "EUC-JP";
        break;
    case CODE_SJIS:
        order[0] = "CP932";
        order[1] = "EUC-JP";
        break;
    case CODE_EUC:
    case CODE_EUC_OR_SJIS:
        // Text that fits both codes is far more often EUC-JP kana and kanji
        // than a run of half-width katakana in Shift_JIS.
        order[0] = "EUC-JP";
        order[1] = "CP932";
        break;
    default:
        // Stray high bytes with no pair the detector recognised, e.g. one
        // half-width katakana byte from a Shift_JIS sender.
        order[0] = "CP932";
        order[1] = "EUC-JP";
        break;
    }
    std::string out;
    for (const char *from : order)
        if (convert(raw, from, true, out))
            return out;
    if (convert(raw, order[0], false, out))
        return out;
    // No converter at all: keep what is ASCII and show the rest.
    out.clear();
    for (unsigned char c : raw) {
        if (c < 0x80)
            out += static_cast<char>(c);
        else
            append_hex(out, c);
    }
    return out;
}

} // namespace

bool recode(const std::string &in, const char *from, const char *to, bool strict, std::string &out)
{
    out.clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    char *ip = const_cast<char *>(in.data());
    size_t ileft = in.size();
    char buf[256];
    bool ok = true;
    while (ileft > 0) {
        char *op = buf;
        size_t oleft = sizeof buf;
        const size_t r = iconv(cd, &ip, &ileft, &op, &oleft);
        out.append(buf, static_cast<size_t>(op - buf));
        if (r != static_cast<size_t>(-1))
            break;
        if (errno == E2BIG)
            continue;
        // EILSEQ or EINVAL (a sequence cut off by the end of the text).
        if (strict) {
            ok = false;
            break;
        }
        append_hex(out, static_cast<uint8_t>(*ip));
        ip++;
        ileft--;
        iconv(cd, nullptr, nullptr, nullptr, nullptr); // back to the initial shift state
    }
    if (ok) {
        // Flush a shift state (ISO-2022-JP ends in ASCII).
        char *op = buf;
        size_t oleft = sizeof buf;
        iconv(cd, nullptr, nullptr, &op, &oleft);
        out.append(buf, static_cast<size_t>(op - buf));
    }
    iconv_close(cd);
    return ok;
}

std::string japanese_to_utf8(const char *text, size_t field_size)
{
    return bytes_to_utf8(field(text, field_size));
}

std::string message_text(const std::vector<uint8_t> &data)
{
    return japanese_to_utf8(reinterpret_cast<const char *>(data.data()), data.size());
}

// Decodes one UTF-8 sequence at s[i]; returns its length (1 for a broken
// byte, with cp = 0xFFFD).
size_t utf8_at(const std::string &s, size_t i, uint32_t &cp)
{
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len = 0;
    uint32_t min = 0;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
        min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
        min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
        min = 0x10000;
    }
    if (len == 0 || i + len > s.size()) {
        cp = 0xFFFD;
        return 1;
    }
    for (size_t k = 1; k < len; k++) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            cp = 0xFFFD;
            return 1;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;
        return 1;
    }
    return len;
}

std::string printable(const std::string &s)
{
    std::string out;
    out.reserve(s.size());
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const size_t n = s.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            if (c == '\t' || c == '\n' || c == '\r')
                out += ' ';
            else if (c < 0x20 || c == 0x7F)
                out += '?';
            else
                out += static_cast<char>(c);
            i++;
            continue;
        }
        uint32_t cp = 0;
        const size_t len = utf8_at(s, i, cp);
        if (len == 1) { // a byte of no well-formed sequence
            out += '?';
            i++;
            continue;
        }
        // C1 controls steer terminals as the C0 ones do.
        if (cp >= 0x80 && cp <= 0x9F)
            out += '?';
        else
            out.append(s, i, len);
        i += len;
    }
    return out;
}

} // namespace vtop
