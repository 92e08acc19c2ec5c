// The serial line as the UPS end sees it: a pseudo-terminal master, bytes
// timed as a 2400-baud line would deliver them, commands framed on CR, the
// faults a real cable and unit can show, and the transcript of all of it.
#ifndef VOLTMIRA_TOOLS_UPSSIM_LINE_H
#define VOLTMIRA_TOOLS_UPSSIM_LINE_H

#include "ups.h"
#include "util.h"

#include <deque>
#include <map>
#include <string>

namespace upssim
{

// One line per event, "<ns> <KIND> <escaped bytes>", written with a single
// write so that a reader never sees half a line.
class Transcript
{
  public:
    ~Transcript();
    bool open(const std::string &path);
    void log(ns_t when, const char *kind, const std::string &bytes);

  private:
    int fd_ = -1;
};

// How a command is answered, set per command key (or "*" for all).
struct ReplyMode {
    enum Kind { Normal, Nak, None, Raw } kind = Normal;
    std::string raw;
};

struct Faults {
    bool silence = false; // cable pulled: everything read is ignored
    std::map<std::string, ReplyMode> replies;
    bool unknown_nak = true;    // unknown commands: "NAK" or nothing
    std::string cut_key = "Q1"; // cut the replies to this key ("*": any)
    long cut_bytes = 0;
    long cut_count = 0;
    long garbage_bytes = 0; // garbage ahead of the next replies
    long garbage_count = 0;
    long wake = 0;     // "WAKE" lines ahead of the next reply
    long delay_ms = 0; // before every reply
    bool pace = false; // 2400 baud timing of both directions
};

class Line
{
  public:
    Line(Ups &ups, Transcript &tr);
    ~Line();

    // Creates the pseudo-terminal and publishes its slave as the link.
    bool open(const std::string &link, std::string &err);
    // Removes the link if it is still ours.
    void unpublish();

    int fd() const { return master_; }
    const std::string &slave_path() const { return slave_; }

    void on_readable(ns_t now);
    // Frames and answers every command whose last byte has arrived by now,
    // and writes what may be written.
    void run(ns_t now);
    bool want_write(ns_t now) const;
    // The next instant run has something timed to do; what is already due
    // waits for the line to take it (want_write), not for a timer.
    ns_t next_deadline(ns_t now) const;

    // Unsolicited bytes, queued behind any reply in progress.
    void inject(const std::string &bytes, ns_t now);
    // Drops everything queued, in both directions.
    void reset_queues();

    Faults faults;
    long commands() const { return commands_; }

  private:
    struct In {
        char byte;
        ns_t at;
    };
    struct Out {
        std::string bytes;
        ns_t not_before;
        size_t done = 0;
    };

    void dispatch(const std::string &cmd, ns_t at);
    void queue(const std::string &bytes, ns_t not_before);
    // When the next byte of o may go out.
    ns_t ready_at(const Out &o) const;
    void write_out(ns_t now);

    Ups &ups_;
    Transcript &tr_;
    int master_ = -1;
    int slave_hold_ = -1;
    std::string slave_;
    std::string link_;

    std::deque<In> in_;
    ns_t last_in_ = 0; // modelled arrival of the latest byte
    std::string cmd_;
    bool overlong_ = false;
    std::string dropped_;

    std::deque<Out> out_;
    size_t out_size_ = 0;
    ns_t next_byte_ = 0; // earliest time the next paced byte may leave
    bool xoff_ = false;
    long commands_ = 0;
};

} // namespace upssim

#endif
