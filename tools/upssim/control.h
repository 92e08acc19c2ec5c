// The control channel: a Unix stream socket taking one command per line and
// answering one line, "OK", "OK <value>" or "ERR <reason>".  The same
// interpreter runs the --cmd lines given on the command line.
#ifndef VOLTMIRA_TOOLS_UPSSIM_CONTROL_H
#define VOLTMIRA_TOOLS_UPSSIM_CONTROL_H

#include "line.h"
#include "ups.h"

#include <string>
#include <vector>

namespace upssim
{

class Control
{
  public:
    Control(Ups &ups, Line &line, Transcript &tr) : ups_(ups), line_(line), tr_(tr) {}
    ~Control();

    bool listen(const std::string &path, std::string &err);
    void unpublish();

    int listen_fd() const { return listen_; }
    std::vector<int> client_fds() const;
    void on_accept();
    void on_client(int fd);

    std::string execute(const std::string &line, ns_t now);

  private:
    struct Client {
        int fd;
        std::string buf;
        bool overlong = false;
    };

    std::string set(const std::vector<std::string> &w, const std::string &line, ns_t now);
    std::string get(const std::string &what) const;
    std::string reply_mode(const std::vector<std::string> &w, const std::string &line);
    void drop(int fd);

    Ups &ups_;
    Line &line_;
    Transcript &tr_;
    int listen_ = -1;
    std::string path_;
    std::vector<Client> clients_;
};

} // namespace upssim

#endif
