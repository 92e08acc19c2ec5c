#include "ups.h"

#include <cctype>
#include <cstdio>

namespace upssim
{

namespace
{

bool all_digits(const std::string &s, size_t from, size_t count)
{
    if (from + count != s.size())
        return false;
    for (size_t i = from; i < s.size(); i++)
        if (!isdigit(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

// Length of a delay field ".d" or "dd" at pos, or 0 when there is none.
size_t delay_field(const std::string &s, size_t pos)
{
    if (pos + 2 > s.size())
        return 0;
    if (s[pos] == '.' && isdigit(static_cast<unsigned char>(s[pos + 1])))
        return 2;
    if (isdigit(static_cast<unsigned char>(s[pos])) &&
        isdigit(static_cast<unsigned char>(s[pos + 1])))
        return 2;
    return 0;
}

// A number in a fixed-width field: clamped so that it can never widen the
// field and shift every later position of the reply.
std::string field(double v, double max, const char *format)
{
    if (!(v >= 0))
        v = 0;
    if (v > max)
        v = max;
    char buf[32];
    snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string ifield(long v, long max)
{
    if (v < 0)
        v = 0;
    if (v > max)
        v = max;
    char buf[32];
    snprintf(buf, sizeof buf, "%03ld", v);
    return buf;
}

const char *const kFixed[] = {"Q1",   "Si ?",     "(SiCC)", "CF",  "V",  "V2", "(BvB8)",
                              "Lf ?", "(Lf ?11)", "Bl ?",   "BRR", "T",  "TL", "CT",
                              "C",    "An",       "Af",     "AR",  "AC", "Bn", "Bf",
                              "Bt",   "VA",       "VB",     "VH",  "VL"};
const char *const kFixedKeys[] = {"Q1", "Si",  "SiCC", "CF", "V",  "V2", "BvB8", "Lf", "Lf11",
                                  "Bl", "BRR", "T",    "TL", "CT", "C",  "An",   "Af", "AR",
                                  "AC", "Bn",  "Bf",   "Bt", "VA", "VB", "VH",   "VL"};

} // namespace

std::string command_key(const std::string &cmd)
{
    for (size_t i = 0; i < sizeof kFixed / sizeof kFixed[0]; i++)
        if (cmd == kFixed[i])
            return kFixedKeys[i];
    if (cmd.compare(0, 3, "BRW") == 0 && all_digits(cmd, 3, 8))
        return "BRW";
    if (cmd.size() >= 3 && cmd[0] == 'S') {
        size_t pos = cmd[1] == 'f' ? 2 : 1;
        size_t n = delay_field(cmd, pos);
        if (n == 0)
            return "?";
        pos += n;
        if (pos == cmd.size())
            return cmd[1] == 'f' ? "Sf" : "S";
        if (cmd[1] != 'f' && cmd[pos] == 'R' && pos + 1 < cmd.size() &&
            all_digits(cmd, pos + 1, cmd.size() - pos - 1))
            return "SR";
    }
    return "?";
}

Ups::Ups(const std::string &model)
{
    if (!set_model(model))
        set_model("QE1000");
}

bool Ups::set_model(const std::string &name)
{
    if (name.empty() || name.size() > 31)
        return false;
    for (unsigned char c : name)
        if (c <= 0x20 || c >= 0x7f)
            return false;
    model_ = name;
    // A name outside the three families is still reported as it is, so that
    // the host's handling of a strange unit can be tried; it behaves as QE.
    if (name.compare(0, 2, "QA") == 0)
        family_ = Family::QA;
    else if (name.compare(0, 2, "QR") == 0)
        family_ = Family::QR;
    else
        family_ = Family::QE;
    bracket_ = name.compare(0, 5, "QE350") == 0 || name.compare(0, 6, "QE5500") == 0;
    reset_cf();
    return true;
}

void Ups::reset_cf()
{
    // Reply positions: 1 "V", 12-13 buzzer switch, 14 battery test, 15-16
    // battery date, 18 "Si", 19 battery voltage, 20 "Lf ?", 21 "Bl ?",
    // 23-24 restart switch, 32 "V2", 33 "Sf".  QA units keep their battery
    // date on the host, so they do not offer it.
    const char *g2 = family_ == Family::QA ? "00011100" : "00011111";
    cf_ = std::string("01000000 ") + g2 + " 11110110 00000100 000";
}

ns_t Ups::scaled(double seconds) const
{
    double ts = timescale > 0 ? timescale : 1;
    double ns = seconds * 1e9 / ts;
    // Absurd settings must not overflow the clock arithmetic: a century is
    // as good as never.
    if (!(ns >= 0))
        return 0;
    if (ns > 3.2e18)
        return static_cast<ns_t>(3.2e18);
    return static_cast<ns_t>(ns);
}

Ups::Result Ups::ok() const
{
    Result r;
    // The bracket variant acknowledges nothing.
    if (!bracket_) {
        r.reply = true;
        r.text = "OK\r";
    }
    return r;
}

Ups::Result Ups::refuse() const
{
    Result r;
    if (!bracket_) {
        r.reply = true;
        r.text = "NAK\r";
    }
    return r;
}

static Ups::Result text_reply(const std::string &text)
{
    Ups::Result r;
    r.reply = true;
    r.text = text;
    return r;
}

Ups::Result Ups::handle(const std::string &cmd, ns_t now)
{
    tick(now);
    const std::string key = command_key(cmd);
    Result unknown;
    unknown.known = false;

    if (key == "Q1")
        return text_reply(q1());
    if (key == "T")
        return start_test(Test::Ten, now);
    if (key == "TL")
        return start_test(Test::Low, now);
    if (key == "CT") {
        if (test_ != Test::None)
            end_test(false);
        return ok();
    }
    if (key == "C") {
        if (shut_ == Shut::Pending) {
            shut_ = Shut::None;
            restore_ = false;
            off_at_ = kNever;
            events_.push_back("shutdown cancelled");
        }
        return ok();
    }
    if (key == "S" || key == "SR")
        return shutdown(cmd, now);

    if (bracket_) {
        if (key == "SiCC")
            return text_reply("[" + model_ + " " + fw + "\r");
        if (key == "BvB8")
            return text_reply("[" + field(m.battv, 99.9, "%04.1f") + "V\r");
        if (key == "Lf11")
            return text_reply("[" + field(output_on ? m.outfreq : 0, 99.9, "%04.1f") + "Hz\r");
        return unknown;
    }

    if (key == "Si") {
        // QR units follow the name with their firmware text; the host finds
        // the end of a QR name at the blank.
        if (family_ == Family::QR)
            return text_reply(model_ + " " + fw + "\r");
        return text_reply(model_ + "\r");
    }
    if (key == "CF")
        return text_reply(cf_reply());
    if (key == "V")
        return text_reply(v + "\r");
    if (key == "V2")
        return text_reply(v2 + "\r");
    if (key == "Lf")
        return text_reply(field(output_on ? m.outfreq : 0, 99.9, "%04.1f") + "\r");
    if (key == "Bl")
        return text_reply(ifield(m.capacity, 999) + "\r");
    if (key == "BRR")
        return text_reply(battdate + "\r");
    if (key == "BRW") {
        battdate = cmd.substr(3);
        events_.push_back("battery date " + battdate);
        return ok();
    }
    if (key == "Sf") {
        // Only units that announce the variant in their capability reply
        // know it.
        if (cf_.size() <= 33 || cf_[33] != '1')
            return unknown;
        return shutdown(cmd, now);
    }
    struct Switch {
        const char *key;
        std::string *where;
        size_t pos;
        char value;
    };
    const Switch switches[] = {
        {"Bn", &v, 1, '0'},  {"Bf", &v, 1, '1'},  {"AR", &v, 2, '0'}, {"AC", &v, 2, '1'},
        {"VH", &v, 3, '1'},  {"VL", &v, 3, '0'},  {"VA", &v, 4, '0'}, {"VB", &v, 4, '1'},
        {"An", &v2, 0, '0'}, {"Af", &v2, 0, '1'},
    };
    for (const Switch &s : switches) {
        if (key == s.key) {
            (*s.where)[s.pos] = s.value;
            return ok();
        }
    }
    if (key == "Bt") {
        bt_++;
        if (v[1] == '0') {
            beeps_++;
            events_.push_back("beep");
        }
        return ok();
    }
    return unknown;
}

Ups::Result Ups::start_test(Test kind, ns_t now)
{
    // A unit already testing, on battery or with its output off or going
    // off does not start another test.
    if (test_ != Test::None || !output_on || shut_ != Shut::None || base_status[0] == '1')
        return refuse();
    test_ = kind;
    double seconds = kind == Test::Ten ? tdur : tldur;
    test_end_ = now + scaled(seconds);
    events_.push_back(kind == Test::Ten ? "test start 10s" : "test start low");
    return ok();
}

void Ups::end_test(bool apply_outcome)
{
    test_ = Test::None;
    test_end_ = kNever;
    if (!apply_outcome) {
        events_.push_back("test cancelled");
        return;
    }
    // The result of the latest test replaces that of the one before.
    base_status[3] = out_b4 ? '1' : '0';
    base_status[7] = out_b0 ? '1' : '0';
    v[5] = out_v5 ? '1' : '0';
    v[7] = out_v7 ? '1' : '0';
    std::string note = "test end";
    if (out_b4)
        note += " b4";
    if (out_b0)
        note += " b0";
    if (out_v5)
        note += " v5";
    if (out_v7)
        note += " v7";
    if (!out_b4 && !out_b0 && !out_v5 && !out_v7)
        note += " pass";
    events_.push_back(note);
}

Ups::Result Ups::shutdown(const std::string &cmd, ns_t now)
{
    size_t pos = cmd[1] == 'f' ? 2 : 1;
    double delay;
    if (cmd[pos] == '.')
        delay = (cmd[pos + 1] - '0') * 6.0; // tenths of a minute
    else
        delay = ((cmd[pos] - '0') * 10 + (cmd[pos + 1] - '0')) * 60.0;
    pos += 2;
    bool restore = false;
    long minutes = 0;
    if (pos < cmd.size()) {
        // The bracket variant counts restore minutes in four digits, all
        // other units in five; the other width is not a command they know.
        size_t want = bracket_ ? 4 : 5;
        if (cmd.size() - pos - 1 != want)
            return refuse();
        restore = true;
        minutes = std::stol(cmd.substr(pos + 1));
    }
    shut_ = Shut::Pending;
    off_at_ = now + scaled(delay);
    restore_ = restore;
    restore_after_ = scaled(minutes * 60.0);
    restore_at_ = kNever;
    char note[96];
    if (restore)
        snprintf(note, sizeof note, "shutdown in %gs restore after %ldmin", delay, minutes);
    else
        snprintf(note, sizeof note, "shutdown in %gs stay off", delay);
    events_.push_back(note);
    if (cmd[1] == 'f') {
        Result none;
        return none;
    }
    return ok();
}

void Ups::tick(ns_t now)
{
    if (test_ != Test::None && now >= test_end_)
        end_test(true);
    if (shut_ == Shut::Pending && now >= off_at_) {
        if (test_ != Test::None)
            end_test(false);
        output_on = false;
        shut_ = Shut::Off;
        off_at_ = kNever;
        restore_at_ = restore_ ? now + restore_after_ : kNever;
        events_.push_back("output off");
    }
    // The output comes back only with mains present.
    if (shut_ == Shut::Off && restore_ && now >= restore_at_ && base_status[0] == '0') {
        output_on = true;
        shut_ = Shut::None;
        restore_ = false;
        restore_at_ = kNever;
        events_.push_back("output on");
    }
}

ns_t Ups::next_deadline() const
{
    ns_t t = kNever;
    if (test_ != Test::None && test_end_ < t)
        t = test_end_;
    if (shut_ == Shut::Pending && off_at_ < t)
        t = off_at_;
    if (shut_ == Shut::Off && restore_ && base_status[0] == '0' && restore_at_ < t)
        t = restore_at_;
    return t;
}

std::string Ups::status() const
{
    std::string s = base_status;
    if (test_ != Test::None)
        s[5] = '1'; // b2
    if (shut_ == Shut::Pending)
        s[6] = '1'; // b1
    return s;
}

std::string Ups::q1() const
{
    std::string r = "(";
    r += field(m.input, 999.9, "%05.1f") + " ";
    r += field(m.input2, 999.9, "%05.1f") + " ";
    r += field(output_on ? m.output : 0, 999.9, "%05.1f") + " ";
    r += ifield(output_on ? m.load : 0, 999) + " ";
    r += field(m.infreq, 99.9, "%04.1f") + " ";
    r += (m.batt_cells ? field(m.battv, 9.99, "%4.2f") : field(m.battv, 99.9, "%04.1f")) + " ";
    r += (m.temp_known ? field(m.temp, 99.9, "%04.1f") : std::string("--.-")) + " ";
    r += status() + "\r";
    return r;
}

std::vector<std::string> Ups::take_events()
{
    std::vector<std::string> out;
    out.swap(events_);
    return out;
}

void Ups::force_output(bool on, ns_t now)
{
    (void)now;
    if (test_ != Test::None && !on)
        end_test(false);
    shut_ = Shut::None;
    restore_ = false;
    off_at_ = restore_at_ = kNever;
    if (output_on != on)
        events_.push_back(on ? "output on" : "output off");
    output_on = on;
}

void Ups::set_mains(bool ok)
{
    // The input measurements follow the mains; what they were comes back
    // with it.
    if (!ok && base_status[0] == '0') {
        saved_input_ = m.input;
        saved_infreq_ = m.infreq;
        m.input = 0;
        m.infreq = 0;
    } else if (ok && base_status[0] == '1') {
        m.input = saved_input_;
        m.infreq = saved_infreq_;
    }
    base_status[0] = ok ? '0' : '1';
    events_.push_back(ok ? "mains on" : "mains off");
}

} // namespace upssim
