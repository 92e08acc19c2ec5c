// Small helpers shared by the test UPS: the clock and byte escaping.
#ifndef VOLTMIRA_TOOLS_UPSSIM_UTIL_H
#define VOLTMIRA_TOOLS_UPSSIM_UTIL_H

#include <cstdint>
#include <string>
#include <vector>

namespace upssim
{

using ns_t = int64_t;
constexpr ns_t kNever = INT64_MAX;

// CLOCK_MONOTONIC in nanoseconds: the time base of every deadline and of the
// transcript, so that tests can compare it with their own clock_gettime.
ns_t mono_now();

// Bytes as one printable line: printable ASCII as is, backslash doubled, CR,
// LF and tab as \r \n \t, everything else as \xHH.
std::string escape(const std::string &bytes);

// The inverse of escape; also accepts \e (ESC) and \0.  False on a malformed
// escape.
bool unescape(const std::string &text, std::string &out);

// Splits on runs of blanks.
std::vector<std::string> split_words(const std::string &line);

// Whole-string number parsing; false when text is not entirely a number.
bool parse_double(const std::string &text, double &out);
bool parse_long(const std::string &text, long &out);

} // namespace upssim

#endif
