// Shared scaffolding of the unit tests: temporary directories and a staged
// system root, so that no test ever reaches a real system path.
#ifndef VOLTMIRA_TESTS_TESTUTIL_H
#define VOLTMIRA_TESTS_TESTUTIL_H

#include <string>

namespace testutil
{

// A fresh directory under $TMPDIR (or /tmp), removed with all it holds.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// A staged system: a temporary directory with the installation directory,
// /etc, /dev, /sbin, /bin, /usr/bin and /tmp made, set as VOLTMIRA_SYSROOT
// for as long as the object lives.  The previous value comes back after it.
class Sysroot
{
  public:
    Sysroot();
    ~Sysroot();
    Sysroot(const Sysroot &) = delete;
    Sysroot &operator=(const Sysroot &) = delete;
    const std::string &root() const { return dir_.path(); }
    // root() followed by an absolute path p.
    std::string at(const std::string &p) const { return dir_.path() + p; }

  private:
    TempDir dir_;
    std::string saved_;
};

std::string read_file(const std::string &path);
// All that fd gives until end of file or an error; interrupted reads are
// retried.  Never throws.
std::string read_all(int fd);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);
// Occurrences of what in text, overlapping ones included.
size_t count_of(const std::string &text, const std::string &what);
void remove_tree(const std::string &path);

} // namespace testutil

#endif
