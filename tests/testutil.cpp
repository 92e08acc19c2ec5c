#include "testutil.h"

#include "agent/sysroot.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace testutil
{

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && base[0] ? base : "/tmp") + "/voltmira-test.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    remove_tree(path_);
}

Sysroot::Sysroot()
{
    const char *old = getenv("VOLTMIRA_SYSROOT");
    saved_ = old ? old : "";
    for (const char *d : {"/usr", "/usr/lib", "/usr/lib/voltmira", "/usr/bin", "/etc", "/dev",
                          "/sbin", "/bin", "/tmp"}) {
        if (mkdir(at(d).c_str(), 0755) != 0)
            throw std::runtime_error("mkdir in sysroot failed");
    }
    setenv("VOLTMIRA_SYSROOT", root().c_str(), 1);
    if (sysroot_init() != 0)
        throw std::runtime_error("sysroot_init refused the staged root");
}

Sysroot::~Sysroot()
{
    setenv("VOLTMIRA_SYSROOT", saved_.c_str(), 1);
    sysroot_init();
}

std::string read_file(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        throw std::runtime_error("cannot read " + path);
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

std::string read_all(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            s.append(buf, static_cast<size_t>(n));
    }
    return s;
}

void write_file(const std::string &path, const std::string &content)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        throw std::runtime_error("cannot write " + path);
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

bool file_exists(const std::string &path)
{
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0;
}

void remove_tree(const std::string &path)
{
    struct stat sb;
    if (lstat(path.c_str(), &sb) != 0)
        return;
    if (S_ISDIR(sb.st_mode)) {
        if (DIR *d = opendir(path.c_str())) {
            while (struct dirent *e = readdir(d)) {
                if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                    continue;
                remove_tree(path + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        n++;
    return n;
}

} // namespace testutil
