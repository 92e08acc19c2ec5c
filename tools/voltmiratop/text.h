// Small readers of what a user types, shared by the settings editors.
#ifndef VOLTMIRA_TOOLS_VOLTMIRATOP_TEXT_H
#define VOLTMIRA_TOOLS_VOLTMIRATOP_TEXT_H

#include <cerrno>
#include <cstdlib>
#include <string>

namespace vtop
{

// True when s is a whole decimal number within lo..hi (into v).
inline bool number(const std::string &s, long lo, long hi, long &v)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    v = strtol(s.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && v >= lo && v <= hi;
}

// s without blanks and tabs at either end.
inline std::string trim(const std::string &s)
{
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    const size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

} // namespace vtop

#endif
