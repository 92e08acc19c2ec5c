#include "screen.h"

#include "display.h"
#include "keys.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace vtop
{

bool ask_line(int rows, int cols, const std::string &question, bool echo, std::string &answer)
{
    answer.clear();
    fputs("\x1b[?25h", stdout);
    int r = 0;
    while (r == 0) {
        const std::string shown = printable(question + (echo ? answer : ""));
        printf("\x1b[%d;1H\x1b[K%s", rows, cut_to_width(shown, cols - 1).c_str());
        fflush(stdout);
        struct pollfd pf = {STDIN_FILENO, POLLIN, 0};
        if (poll(&pf, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            r = -1;
            break;
        }
        unsigned char b = 0;
        const ssize_t n = read(STDIN_FILENO, &b, 1);
        if (n == 1)
            r = edit_line(answer, b);
        else if ((pf.revents & (POLLHUP | POLLERR)) || (n < 0 && errno != EINTR && errno != EAGAIN))
            r = -1;
    }
    fputs("\x1b[?25l", stdout);
    fflush(stdout);
    return r == 1;
}

namespace
{

size_t body_rows(int rows)
{
    return rows > 3 ? static_cast<size_t>(rows - 2) : 1;
}

size_t page_room(int rows)
{
    return std::max<size_t>(1, body_rows(rows) - 1);
}

} // namespace

void show_page(Page &p, const std::string &title, const std::vector<std::string> &lines,
               bool latest, int rows)
{
    p.title = title;
    p.lines = lines;
    const size_t room = page_room(rows);
    p.first = latest && lines.size() > room ? lines.size() - room : 0;
}

bool page_key(Page &p, char key, int rows)
{
    const size_t room = page_room(rows);
    if (key == ' ' && p.first + room < p.lines.size()) {
        p.first += room;
        return true;
    }
    p.lines.clear();
    p.first = 0;
    return false;
}

std::vector<std::string> screen(const std::vector<std::string> &status, int rows, int cols,
                                const Page &page, const std::string &note)
{
    const size_t body = body_rows(rows);
    std::vector<std::string> out;
    std::string help = help_line();
    if (!page.lines.empty()) {
        const size_t room = page_room(rows);
        const size_t first = std::min(page.first, page.lines.size() - 1);
        const size_t last = std::min(first + room, page.lines.size());
        out.push_back("\x1b[1m" +
                      cut_to_width(page.title + "  (lines " + std::to_string(first + 1) + "-" +
                                       std::to_string(last) + " of " +
                                       std::to_string(page.lines.size()) + ")",
                                   cols) +
                      "\x1b[0m");
        for (size_t i = first; i < last; i++)
            out.push_back(cut_to_width(page.lines[i], cols));
        help = last < page.lines.size() ? "space: more   any other key: back to the status"
                                        : "any key: back to the status";
    } else {
        out = status;
        if (out.size() > body)
            out.resize(body);
    }
    while (out.size() < body)
        out.push_back("");
    out.push_back(cut_to_width(note, cols));
    out.push_back("\x1b[7m" + cut_to_width(help, cols) + "\x1b[0m");
    return out;
}

} // namespace vtop
