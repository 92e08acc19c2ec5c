// What the drill saw, in the order it happened: each item is stamped on the
// monotonic clock and printed relative to the moment the mains failed.
#ifndef VOLTMIRA_TOOLS_FIREDRILL_TIMELINE_H
#define VOLTMIRA_TOOLS_FIREDRILL_TIMELINE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace firedrill
{

enum class Kind {
    Mains,    // the drill pulled or restored the mains
    Event,    // a line of the agent's event log
    Users,    // wall, write or mail as recorded by the stand-ins
    Told,     // a text the agent sent its monitors
    Deadline, // "Time is up!" reached the users
    UpsOff,   // the switch-off command on the serial line
    UpsOther, // other commands that matter (cancel, An/Af)
    Agents,   // the shutdown notice to other agents
    Monitors, // the going-down notice to monitors
    Shutdown, // the operating system's shutdown command
    Note,     // anything else worth a line
};

struct Item {
    int64_t at_ns = 0; // CLOCK_MONOTONIC
    Kind kind = Kind::Note;
    std::string text;
    int count = 1; // the same thing seen again right after
};

struct Timeline {
    int64_t t0_mono = 0; // the mains failure, monotonic
    int64_t t0_real = 0; // the same instant, wall clock (ns since the epoch)
    std::vector<Item> items;
    size_t printed = 0; // items already streamed
};

// CLOCK_MONOTONIC now, in ns: the one time base of every item, the stand-ins'
// records included.
int64_t timeline_mono_ns(void);
// Starts a fresh timeline whose zero is now.
void timeline_init(Timeline *t);
// Adds one item; returns 0.
int timeline_add(Timeline *t, int64_t at_ns, Kind kind, const std::string &text);
// Adds one item, or counts it on an item of the same kind and text seen
// within the last 5 seconds (a notice is sent several times); returns 0.
int timeline_merge(Timeline *t, int64_t at_ns, Kind kind, const std::string &text);
// "+m:ss.s  hh:mm:ss.s" for an instant, relative to t0 (negative before it).
std::string timeline_stamp(const Timeline *t, int64_t at_ns);
// Prints the items not yet printed, in time order of what is known so far.
void timeline_stream(Timeline *t, FILE *out);
// Sorts the items by time (stable) and prints them all under a heading.
void timeline_print(Timeline *t, FILE *out);
// The first item of a kind at or after t0; null when there is none.
const Item *timeline_first(const Timeline *t, Kind kind);
// Number of things of a kind seen (repeats counted).
int timeline_count(const Timeline *t, Kind kind);

// A switch-off command as received ("S.3", "S01R00005", "Sf02"...) in words:
// "switch off after 18 s, stays off".  Empty when cmd is no such command.
// delay_s and restore_min (-1: stays off) are set when given.
std::string decode_switch_off(const std::string &cmd, int *delay_s, int *restore_min);

// m:ss for a span in seconds ("1:05").
std::string span_text(double seconds);

} // namespace firedrill

#endif
