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

// A listing shown in place of the status, from its line first on.
struct Page {
    std::string title;
    std::vector<std::string> lines;
    size_t first = 0;
};

// Puts lines into p, showing the last ones that fit when latest is set
// (the logs), else the first ones.
void show_page(Page &p, const std::string &title, const std::vector<std::string> &lines,
               bool latest, int rows);
// A key pressed while p is shown: the space moves to the next lines while
// there are more (true); any other key, or the space at the end, takes
// the listing away (false, p empty).
bool page_key(Page &p, char key, int rows);

// The screen's lines: the status (or the page, under its title, when it has
// lines), padded to rows - 2 lines, then the note and the help line; the
// page, note and help cut to cols columns.
std::vector<std::string> screen(const std::vector<std::string> &status, int rows, int cols,
                                const Page &page, const std::string &note);

} // namespace vtop

#endif
