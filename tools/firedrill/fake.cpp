#include "fake.h"

#include "timeline.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace firedrill
{

const char *const kFakePaths[] = {"/sbin/shutdown", "/usr/bin/wall", "/usr/bin/write",
                                  "/usr/bin/mesg",  "/bin/mail",     "/usr/bin/who",
                                  nullptr};

namespace
{

// Messages are short; anything longer is cut, and a writer that never ends
// its input is not waited for.
constexpr size_t kMaxInput = 64 * 1024;
constexpr int kInputWaitMs = 5000;

const char *base_of(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool reads_input(const char *name)
{
    return strcmp(name, "wall") == 0 || strcmp(name, "write") == 0 || strcmp(name, "mail") == 0;
}

std::string read_input()
{
    std::string in;
    if (isatty(0))
        return in;
    char buf[4096];
    while (in.size() < kMaxInput) {
        struct pollfd p = {0, POLLIN, 0};
        if (poll(&p, 1, kInputWaitMs) <= 0)
            break;
        ssize_t n = read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        in.append(buf, static_cast<size_t>(n) > kMaxInput - in.size() ? kMaxInput - in.size()
                                                                      : static_cast<size_t>(n));
    }
    return in;
}

// <root>/.drill/record for a stand-in at <root>/<dirs>/<name>: the nearest
// directory above that holds one.
std::string record_for(const char *exe_path)
{
    std::string dir = exe_path;
    for (int up = 0; up < 4; up++) {
        size_t slash = dir.rfind('/');
        if (slash == std::string::npos || slash == 0)
            break;
        dir.erase(slash);
        std::string rec = dir + "/.drill/record";
        struct stat sb;
        if (lstat(rec.c_str(), &sb) == 0 && S_ISREG(sb.st_mode))
            return rec;
    }
    return "";
}

} // namespace

const char *fake_name(const char *exe_path)
{
    const char *base = base_of(exe_path);
    for (int i = 0; kFakePaths[i] != nullptr; i++)
        if (strcmp(base, base_of(kFakePaths[i])) == 0)
            return base_of(kFakePaths[i]);
    return nullptr;
}

std::string escape_bytes(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

std::string unescape_bytes(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'n')
            out += '\n';
        else if (c == 'r')
            out += '\r';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < text.size() &&
                 isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                 isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

int fake_main(const char *name, const char *exe_path, int argc, char **argv)
{
    std::string rec = "CALL " + std::to_string(timeline_mono_ns()) + " " + name + "\n";
    for (int i = 1; i < argc; i++)
        rec += "ARG " + escape_bytes(argv[i]) + "\n";
    if (reads_input(name))
        rec += "IN " + escape_bytes(read_input()) + "\n";
    rec += "END\n";

    std::string path = record_for(exe_path);
    if (!path.empty()) {
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0) {
            // One write: stand-ins started close together never interleave.
            ssize_t n = write(fd, rec.data(), rec.size());
            (void)n;
            close(fd);
        }
    }
    if (strcmp(name, "who") == 0) {
        // One session, so that messages to root's terminal have a target.
        printf("root     pts/0        2026-01-01 09:00\n");
    }
    return 0;
}

} // namespace firedrill
