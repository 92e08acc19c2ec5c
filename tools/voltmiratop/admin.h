// The administrator's requests, without any socket: logging in, the read
// requests for the two logs, and the UPS commands that carry no answer.
// Each builder gives the whole packet; each decoder takes an answer's data
// and refuses a length the record cannot have.
#ifndef VOLTMIRA_TOOLS_VOLTMIRATOP_ADMIN_H
#define VOLTMIRA_TOOLS_VOLTMIRATOP_ADMIN_H

#include <cstdint>
#include <string>
#include <vector>

#include "protocol.h"

namespace vtop
{

// The rights a password answer grants.
inline constexpr int32_t RIGHT_ADMIN = 1;
inline constexpr int32_t RIGHT_USER = 2;
inline constexpr int32_t RIGHT_REJECTED = 4;

// "administrator", "user", "rejected", or "right N" for anything else.
std::string right_words(int32_t right);

// Kind 23.  False (with why) when the name or the password does not fit its
// field with its terminating NUL; nothing is cut silently.
bool make_password(const std::string &user, const std::string &password, std::vector<uint8_t> &out,
                   std::string &why);
// Kind 24 with sub-command cmd and the range of records wanted.
std::vector<uint8_t> make_read(int cmd, int first, int count);
// Kind 20: a self-test of the given minutes.
std::vector<uint8_t> make_selftest(int32_t minutes);
// Kind 18: a shutdown in delay seconds, ordered by the named monitor.
std::vector<uint8_t> make_shutdown(int16_t delay, const std::string &monitor);
// Kind 19: the cancel, naming the monitor that gives it.
std::vector<uint8_t> make_cancel(const std::string &monitor);

// Kind 67: the right granted.  False (with why) for another length.
bool decode_right(const std::vector<uint8_t> &data, int32_t &right, std::string &why);

// Kinds 65 and 66: whole records only.  False (with why) when the data is
// not a multiple of the record.
bool decode_eventlog(const std::vector<uint8_t> &data, std::vector<UPS_EVENTLOGINFO> &out,
                     std::string &why);
bool decode_datalog(const std::vector<uint8_t> &data, std::vector<UPS_DATALOGINFO> &out,
                    std::string &why);
// One log record as a line of text (UTF-8, printable).
std::string eventlog_line(const UPS_EVENTLOGINFO &e);
std::string datalog_line(const UPS_DATALOGINFO &d);

// UTF-8 typed by the user into the Shift_JIS the agent expects from a
// monitor of this version.  False (with why) for a character that code has
// not, or a result longer than limit bytes (NUL not counted).
bool utf8_to_sjis(const std::string &utf8, size_t limit, std::string &out, std::string &why);

} // namespace vtop

#endif
