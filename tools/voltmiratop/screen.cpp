#include "screen.h"

#include "display.h"
#include "keys.h"

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

std::vector<std::string> screen(const std::vector<std::string> &status, int rows, int cols,
                                const std::string &title, const std::vector<std::string> &page,
                                const std::string &note)
{
    const size_t body = rows > 3 ? static_cast<size_t>(rows - 2) : 1;
    std::vector<std::string> out;
    if (!page.empty()) {
        out.push_back("\x1b[1m" + cut_to_width(title, cols) + "\x1b[0m");
        const size_t room = body - 1;
        for (size_t i = page.size() > room ? page.size() - room : 0; i < page.size(); i++)
            out.push_back(cut_to_width(page[i], cols));
    } else {
        out = status;
        if (out.size() > body)
            out.resize(body);
    }
    while (out.size() < body)
        out.push_back("");
    out.push_back(cut_to_width(note, cols));
    out.push_back("\x1b[7m" +
                  cut_to_width(page.empty() ? help_line() : "any key: back to the status", cols) +
                  "\x1b[0m");
    return out;
}

} // namespace vtop
