// The three settings an administrator reads and writes back whole: the
// configuration record, the event settings with their users, and the
// schedule list.  Decoding, showing, changing one item, and encoding the
// record to send back, without any socket.
#ifndef VOLTMIRA_TOOLS_VOLTMIRATOP_SETTINGS_H
#define VOLTMIRA_TOOLS_VOLTMIRATOP_SETTINGS_H

#include <cstdint>
#include <string>
#include <vector>

#include "protocol.h"

namespace vtop
{

// --- configuration (kind 82) -----------------------------------------------

// False (with why) unless the data is exactly one UPS_PARAM.
bool decode_config(const std::vector<uint8_t> &data, UPS_PARAM &out, std::string &why);
std::vector<uint8_t> make_config(const UPS_PARAM &p);
// The main keys, one "Key = value" line each, named as in the agent's
// configuration file.
std::vector<std::string> config_lines(const UPS_PARAM &p);
// The value of one settable key as config_lines shows it; "" for an
// unknown key.
std::string config_value(const UPS_PARAM &p, const std::string &key);
// Sets "KEY=VALUE" (key case aside) in p.  False (with why) for a key that
// cannot be set this way or a value out of its range; p is then unchanged.
bool config_set(UPS_PARAM &p, const std::string &assignment, std::string &key, std::string &why);

// --- event settings (kind 81) ----------------------------------------------

struct EventSettings {
    std::vector<UPS_EVENTINFO> events; // the 47 that travel
    std::vector<USERSDATA> users;      // as the agent sent them
};
// False (with why) unless the data is the event records and whole users.
bool decode_eventset(const std::vector<uint8_t> &data, EventSettings &out, std::string &why);
std::vector<uint8_t> make_eventset(const EventSettings &s);
// One line per event: id, text and actions; then one per user.
std::vector<std::string> eventset_lines(const EventSettings &s);
// "ID key=value ..." with keys record, shutdown (yes/no), broadcast
// (all/users/none or a number), users and mail (bit masks) and command
// (the rest of the text).  False (with why) for an id not in the list or a
// bad key or value; s is then unchanged.  id receives the event's id.
bool eventset_change(EventSettings &s, const std::string &spec, unsigned &id, std::string &why);
// The event record of an id; null when it does not travel.
const UPS_EVENTINFO *find_event(const EventSettings &s, unsigned id);

// --- schedules (kind 80) -----------------------------------------------------

bool decode_schedules(const std::vector<uint8_t> &data, std::vector<SCHEDULEINFO> &out,
                      std::string &why);
std::vector<uint8_t> make_schedules(const std::vector<SCHEDULEINFO> &list);
// "shutdown weekly 30 22 * * 5 to 0 7 * * 1" (with " stay-off" for a
// shutdown that leaves the UPS off): action, kind, then start and end in
// the agent's own notation (minute hour day month weekday [year]; months
// 0..11 and years since 1900 for special days).
std::string schedule_text(const SCHEDULEINFO &s);
// The reverse; false (with why) for anything the agent would not store.
bool parse_schedule(const std::string &text, SCHEDULEINFO &out, std::string &why);
bool same_schedule(const SCHEDULEINFO &a, const SCHEDULEINFO &b);

} // namespace vtop

#endif
