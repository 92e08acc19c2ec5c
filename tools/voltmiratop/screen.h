// The live screen's frame around the status: a listing in its place, the
// result of the last action, the help line, and the questions asked on the
// bottom line.
#ifndef VOLTMIRA_TOOLS_VOLTMIRATOP_SCREEN_H
#define VOLTMIRA_TOOLS_VOLTMIRATOP_SCREEN_H

#include <string>
#include <vector>

namespace vtop
{

// Asks on the bottom row of a rows x cols terminal whose input is raw,
// echoing what is typed only when echo is set (never for a password).
// False when the question was cancelled or the keyboard went away.
bool ask_line(int rows, int cols, const std::string &question, bool echo, std::string &answer);

// The screen's lines: the status (or, when page is not empty, its title and
// as many of its last lines as fit), padded to rows - 2 lines, then the note
// and the help line; every line cut to cols columns.
std::vector<std::string> screen(const std::vector<std::string> &status, int rows, int cols,
                                const std::string &title, const std::vector<std::string> &page,
                                const std::string &note);

} // namespace vtop

#endif
