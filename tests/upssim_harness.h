// The test UPS (tools/upssim) from a test's side: started on a serial port
// of the staged system root, driven through its control socket, watched
// through its transcript, and always stopped and reaped with the object,
// also when the test fails.
//
//   testutil::UpsSim ups("QE1000");          // <sysroot>/dev/ttyS2
//   ups.control("set load 55");              // "OK"
//   ups.get("output");                       // "on"
//   auto rx = ups.wait_rx("S.5\r", 2000);    // what reached the line, when
//
// The full list of control commands, the transcript format and the
// behaviour of the unit are at the top of tools/upssim/main.cpp.
#ifndef VOLTMIRA_TESTS_UPSSIM_HARNESS_H
#define VOLTMIRA_TESTS_UPSSIM_HARNESS_H

#include "testutil.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testutil
{

class UpsSim
{
  public:
    struct Options {
        std::string model = "QE1000";
        int port = 2;                      // serial port index 0..3 under the staged root
        std::string link;                  // overrides port: any path under the staged root
        double timescale = 1;              // UPS seconds per real second
        bool pace = false;                 // 2400-baud timing of both directions
        std::vector<std::string> commands; // control commands applied before ready
        std::vector<std::string> args;     // further command-line arguments
    };

    // One transcript line.
    struct Entry {
        int64_t ns;        // CLOCK_MONOTONIC
        std::string kind;  // RX, TX, DROP, EV, CTL
        std::string bytes; // unescaped
    };

    explicit UpsSim(const std::string &model = "QE1000", int port = 2);
    explicit UpsSim(const Options &opt);
    ~UpsSim();
    UpsSim(const UpsSim &) = delete;
    UpsSim &operator=(const UpsSim &) = delete;

    // Sends one control command; returns the answer line without its
    // newline ("OK", "OK <value>", "ERR <reason>"), or "ERR no answer".
    std::string control(const std::string &cmd);
    // The value of "get what" ("on", "00000000", ...); "" on an error.
    std::string get(const std::string &what);

    // Transcript entries written since the mark (all, before any mark).
    std::vector<Entry> transcript() const;
    // Entries of one kind only (RX: commands received, TX: bytes sent).
    std::vector<Entry> transcript(const std::string &kind) const;
    // Later calls of transcript() see only what comes after now.
    void clear_transcript();

    // Waits until an entry after the mark satisfies pred; returns it.
    std::optional<Entry> wait_for(const std::function<bool(const Entry &)> &pred,
                                  int timeout_ms) const;
    // Waits for a command received with exactly these bytes (CR included).
    std::optional<Entry> wait_rx(const std::string &bytes, int timeout_ms) const;
    // Waits for an EV note beginning with text.
    std::optional<Entry> wait_event(const std::string &text, int timeout_ms) const;

    const std::string &link() const { return link_; }
    const std::string &transcript_path() const { return transcript_; }
    pid_t pid() const { return pid_; }

  private:
    void start(const Options &opt);
    void stop();
    std::vector<Entry> read_from(size_t offset) const;

    TempDir dir_;
    std::string link_;
    std::string socket_;
    std::string transcript_;
    size_t mark_ = 0;
    pid_t pid_ = -1;
};

// Current CLOCK_MONOTONIC in nanoseconds, comparable with Entry::ns.
int64_t mono_ns();
// Milliseconds from the mono_ns() reading ns until now.
double ms_since(int64_t ns);
void sleep_ms(int ms);
// Polls cond every 5 ms; whether it held within the time.
bool eventually(const std::function<bool()> &cond, int timeout_ms);

} // namespace testutil

#endif
