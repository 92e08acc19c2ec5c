// What the monitor shows: one snapshot of what it knows about the agent,
// laid out as lines for the terminal or as JSON for scripts.  Nothing here
// touches the terminal or the network.
#ifndef VOLTMIRA_TOOLS_VOLTMIRATOP_DISPLAY_H
#define VOLTMIRA_TOOLS_VOLTMIRATOP_DISPLAY_H

#include <ctime>
#include <string>
#include <vector>

#include "protocol.h"

namespace vtop
{

struct Message {
    time_t received = 0;
    std::string text; // UTF-8, already made printable
};

struct Snapshot {
    std::string address; // "10.0.0.2"
    int port = NET_PORT_AGENT_TCP;
    std::string agent_name; // from the inquiry answer; may be empty
    std::string lang;       // "en" or "ja"
    bool connected = false;
    std::string connection; // words for the connection state
    bool have_ups = false;  // ups holds a decoded answer
    UpsView ups;
    time_t updated = 0;         // when ups arrived
    time_t connected_since = 0; // when the current connection was made
    time_t now = 0;
    std::vector<Message> messages; // oldest first
    std::vector<AgentAnswer> discovered;
};

// The status as lines of text.  color adds ANSI colours and bold; width
// (0: no limit) cuts each line to that many terminal columns.
std::vector<std::string> render_lines(const Snapshot &s, bool color, int width);

// The status as one JSON document (ending in a newline).
std::string render_json(const Snapshot &s);

// A JSON string literal for a UTF-8 text: quotes, backslashes and control
// characters escaped, broken UTF-8 replaced by U+FFFD.
std::string json_string(const std::string &utf8);

// Terminal columns taken by a UTF-8 text (East Asian wide characters count
// two), and the text cut to at most cols columns.  ANSI colour sequences
// count nothing.
int text_width(const std::string &utf8);
std::string cut_to_width(const std::string &utf8, int cols);

} // namespace vtop

#endif
