// The monitor's side of the packet protocol, without any socket: building
// the requests a monitor sends, cutting the agent's TCP byte stream into
// packets, and turning the raw records the agent sends into values fit to
// show.  Kept apart from the network code so that every rule here can be
// tested byte by byte.
#ifndef VOLTMIRA_TOOLS_VOLTMIRATOP_PROTOCOL_H
#define VOLTMIRA_TOOLS_VOLTMIRATOP_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "agent/net.h"

namespace vtop
{

// Bounds of a sane packet Length.  The largest packet the agent sends (the
// event settings with all 32 users) is about 30 kB; anything outside these
// bounds means the stream has lost its packet boundaries.
inline constexpr uint32_t MIN_PACKET = sizeof(UPS_PACKET_HEAD);
inline constexpr uint32_t MAX_PACKET = 65536;

// The monitor languages the agent's message filter knows: 1 receives the
// translated texts, 2 the English ones.
inline constexpr int32_t LANG_TRANSLATED = 1;
inline constexpr int32_t LANG_ENGLISH = 2;

// One packet as received.
struct Packet {
    int16_t version = 0;
    int8_t prototype = 0;
    uint8_t kind = 0;
    std::vector<uint8_t> data; // the bytes after the header
};

// Cuts a TCP byte stream into packets.  Bytes go in as they arrive, in
// pieces of any size; packets come out whole.  A lone 0xFF where a header
// would begin is the agent's keep-alive and is dropped.
class Framer
{
  public:
    void push(const void *bytes, size_t n);
    // 1: a packet was taken into out; 0: more bytes are needed; -1: the
    // stream carries a Length outside MIN_PACKET..MAX_PACKET.  After -1
    // there is no telling where the next packet begins, so the connection
    // must be dropped; error() says what was seen.
    int next(Packet &out);
    size_t keepalives() const { return keepalives_; }
    size_t buffered() const { return buf_.size() - off_; }
    const std::string &error() const { return error_; }

  private:
    std::vector<uint8_t> buf_;
    size_t off_ = 0; // first byte not yet consumed
    size_t keepalives_ = 0;
    std::string error_;
};

// A whole request: header (Version 1.10) and data.
std::vector<uint8_t> make_packet(uint8_t kind, const void *data, size_t n);
// Kind 17: the monitor's language and system kind.
std::vector<uint8_t> make_osinfo(int32_t lang, const char *osname);
// Kind 16: the UPS information.
std::vector<uint8_t> make_getupsinfo();
// Kind 241: which agents are there.
std::vector<uint8_t> make_inquiry(const char *monitor);

// A date and time as the agent sends it.  valid is false for the all-zero
// record, which stands for "no time".
struct When {
    bool valid = false;
    int year = 0; // full year
    int month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
When decode_time(const UPS_TIMEINFO &t);
// "2026-03-07 09:05:00", "2026-03-07" for a date only, or "" when invalid.
std::string format_time(const When &w);
std::string format_date(const When &w);

struct TestResult {
    uint32_t code = 0; // SELFTEST_*
    std::string text;
    When when;
};

struct EventView {
    unsigned id = 0;
    std::string text; // the agent's English text for the id
    When when;
    std::string name; // monitor or agent named by the event, if any
};

// UPS_UPSINFO made readable.  Numbers keep their raw codes beside the words
// so that scripts need not parse the words.
struct UpsView {
    int comid = -1; // as sent: port number counted from 1, or 0xFF/0xFE
    std::string port;
    int state = 0;
    std::string state_text;
    int battery = 0;
    std::string battery_text;
    int comm = 0;
    std::string comm_text;
    std::string model;
    std::string group;
    double input_v = 0, output_v = 0, input_hz = 0, output_hz = 0, battery_v = 0;
    int load = 0, capacity = 0;
    bool temp_known = false;
    double temp_c = 0;
    When measured;
    When battery_date;
    When next_down, next_boot;
    TestResult battery_test, ups_test;
    std::vector<EventView> events; // oldest first; "No event" entries left out
    bool shutdown_commanded = false, shutdown_running = false;
    bool buzzer = false, autotest = false, autoreboot = false, ignore_down = false;
    int detection_level = 0;
    unsigned functions = 0; // ufStatus
    uint32_t agent_type = 0;
};

// Decodes the data of a kind-64 packet.  Returns false (with why) when the
// data is too short to hold the record.
bool decode_upsinfo(const std::vector<uint8_t> &data, UpsView &out, std::string &why);

// Words for the codes.  Unknown codes come back as "code N".
std::string state_words(int code);
std::string battery_words(int code);
std::string comm_words(int code);
std::string test_words(uint32_t code);
std::string port_words(int comid);
// The agent's English text of an event id; "" for an id it does not know.
const char *event_text(unsigned id);
// An event's text with the name it carries put where the text has its
// place for one; "event N" for an id without a text.
std::string event_line(unsigned id, const std::string &name);

// An agent's answer or announcement (kinds 240 and 242).
struct AgentAnswer {
    bool protector = false; // kind 242
    int32_t cmd = 0;        // NSCommands
    std::string name, group, model;
    int state = 0, battery = 0, comm = 0;
    uint32_t agent_type = 0;
    std::string address; // where it came from, filled by the caller
};
bool decode_answer(const Packet &p, AgentAnswer &out);

// A kind-79 text in UTF-8.  The agent sends its Japanese texts in Shift_JIS,
// but its own code is EUC-JP and other agents may send either, so the code
// is detected; text that fits both is taken as EUC-JP when it converts
// cleanly.  Bytes that convert in neither code are shown as \xHH.
std::string message_text(const std::vector<uint8_t> &data);
// Any NUL-terminated Japanese text field (group names and the like), to
// UTF-8 in the same way.
std::string japanese_to_utf8(const char *text, size_t field_size);

// Decodes one UTF-8 sequence at s[i] (i < s.size()); returns its length,
// 1 with cp = 0xFFFD for a byte that starts no well-formed sequence.
size_t utf8_at(const std::string &s, size_t i, uint32_t &cp);

// A copy of a UTF-8 text that a terminal cannot be steered by: control
// characters (C0, DEL and C1) become '?', and broken UTF-8 sequences are
// replaced too.  Texts from the network pass through this before display.
std::string printable(const std::string &utf8);

// in converted from the code from to the code to with iconv, into out.
// strict: false at the first byte that does not convert; otherwise such a
// byte becomes \xHH and the conversion goes on.  False too when iconv lacks
// either code.
bool recode(const std::string &in, const char *from, const char *to, bool strict, std::string &out);

} // namespace vtop

#endif
