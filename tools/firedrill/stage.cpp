#include "stage.h"

#include "fake.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace firedrill
{

namespace
{

const char kTemplate[] = "/tmp/voltmira-firedrill.XXXXXX";
// Configurations are small; anything larger is not one.
constexpr off_t kMaxConfig = 1024 * 1024;
constexpr off_t kMaxCopy = 64 * 1024 * 1024;

int fail(char *err, size_t errlen, const std::string &what)
{
    snprintf(err, errlen, "%s: %s", what.c_str(), strerror(errno));
    return -1;
}

int write_file(const std::string &path, const std::string &text, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
        return -1;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    if (fchmod(fd, mode) != 0) {
        close(fd);
        return -1;
    }
    return close(fd);
}

// The whole of a regular file up to limit bytes; -1 when it is larger.
int read_file(const char *path, off_t limit, std::string &out)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat sb;
    if (fstat(fd, &sb) != 0) {
        close(fd);
        return -1;
    }
    if (!S_ISREG(sb.st_mode) || sb.st_size > limit) {
        close(fd);
        errno = S_ISREG(sb.st_mode) ? EFBIG : EINVAL;
        return -1;
    }
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return -1;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<size_t>(n));
        if (static_cast<off_t>(out.size()) > limit) {
            close(fd);
            errno = EFBIG;
            return -1;
        }
    }
    close(fd);
    return 0;
}

// Copies a tree of directories and regular files (the catalogues).
int copy_tree(const std::string &from, const std::string &to, int depth)
{
    if (depth > 4)
        return 0;
    DIR *d = opendir(from.c_str());
    if (d == nullptr)
        return -1;
    if (mkdir(to.c_str(), 0755) != 0 && errno != EEXIST) {
        closedir(d);
        return -1;
    }
    int rc = 0;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        std::string src = from + "/" + e->d_name, dst = to + "/" + e->d_name;
        struct stat sb;
        if (lstat(src.c_str(), &sb) != 0)
            continue;
        std::string text;
        if (S_ISDIR(sb.st_mode))
            rc |= copy_tree(src, dst, depth + 1);
        else if (S_ISREG(sb.st_mode))
            rc |= read_file(src.c_str(), kMaxCopy, text) == 0 && write_file(dst, text, 0644) == 0
                      ? 0
                      : -1;
    }
    closedir(d);
    return rc;
}

int remove_one(const char *path, const struct stat *, int type, struct FTW *)
{
    return type == FTW_DP ? rmdir(path) : unlink(path);
}

} // namespace

std::string stage_at(const Stage *s, const char *path)
{
    return s->root + path;
}

int stage_make(Stage *s, const char *config, const char *self_exe, const char *locale_dir,
               char *err, size_t errlen)
{
    std::string text;
    if (read_file(config, kMaxConfig, text) != 0)
        return fail(err, errlen, std::string("cannot read the configuration ") + config);

    char dir[sizeof kTemplate];
    memcpy(dir, kTemplate, sizeof kTemplate);
    if (mkdtemp(dir) == nullptr)
        return fail(err, errlen, "cannot make a directory under /tmp");
    s->root = dir;
    // The agent runs as root from here: the root must be root's alone, and
    // readable by the stand-ins it starts.
    if (chmod(dir, 0755) != 0)
        return fail(err, errlen, "chmod " + s->root);
    for (const char *d : {"/usr", "/usr/lib", "/usr/lib/voltmira", "/usr/bin", "/etc", "/dev",
                          "/sbin", "/bin", "/tmp", "/.drill"})
        if (mkdir(stage_at(s, d).c_str(), 0755) != 0)
            return fail(err, errlen, "mkdir " + stage_at(s, d));
    chmod(stage_at(s, "/tmp").c_str(), 01777);
    if (write_file(stage_at(s, "/etc/.ZERURIDO"), "voltmira fire drill\n", 0644) != 0 ||
        write_file(stage_at(s, "/dev/console"), "", 0644) != 0 ||
        write_file(stage_at(s, "/.drill/record"), "", 0644) != 0 ||
        write_file(stage_at(s, "/usr/lib/voltmira/config"), text, 0600) != 0)
        return fail(err, errlen, "cannot fill " + s->root);

    // One copy of this program, linked under every stand-in's name: it knows
    // by the name which one it is, and finds the record beside the root.
    std::string self;
    if (read_file(self_exe, kMaxCopy, self) != 0)
        return fail(err, errlen, std::string("cannot read ") + self_exe);
    const std::string image = stage_at(s, "/.drill/stand-in");
    if (write_file(image, self, 0755) != 0)
        return fail(err, errlen, "cannot write " + image);
    for (int i = 0; kFakePaths[i] != nullptr; i++)
        if (link(image.c_str(), stage_at(s, kFakePaths[i]).c_str()) != 0)
            return fail(err, errlen, "cannot link " + stage_at(s, kFakePaths[i]));

    struct stat sb;
    if (locale_dir != nullptr && stat(locale_dir, &sb) == 0 && S_ISDIR(sb.st_mode) &&
        copy_tree(locale_dir, stage_at(s, "/usr/lib/voltmira/locale"), 0) != 0)
        return fail(err, errlen, std::string("cannot copy the catalogues from ") + locale_dir);
    return 0;
}

int stage_remove(Stage *s)
{
    if (s->root.empty())
        return 0;
    // Only ever a root this program made.
    if (s->root.compare(0, sizeof kTemplate - 7, kTemplate, sizeof kTemplate - 7) != 0)
        return -1;
    int rc = nftw(s->root.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
    s->root.clear();
    return rc == 0 ? 0 : -1;
}

} // namespace firedrill
