// The administrator's actions over an open connection to the agent: each
// sends its request, waits for the answer or, for the commands the agent
// answers with nothing, for their effect on the UPS information, and says
// what came of it.  The keys of the live screen and the --do forms of the
// command line both run them through run_action.
#ifndef VOLTMIRA_TOOLS_VOLTMIRATOP_ACTIONS_H
#define VOLTMIRA_TOOLS_VOLTMIRATOP_ACTIONS_H

#include <functional>
#include <string>
#include <vector>

#include "client.h"

namespace vtop
{

// What the agent did not answer when it refuses a request.
inline constexpr const char *NO_ANSWER = "no answer (not logged in as administrator?)";

struct Outcome {
    bool ok = false;
    std::string summary;            // one line: what came of it, or why not
    std::vector<std::string> lines; // a listing (logs, settings), oldest first
};

// A request and its answer on a connection.  Every packet that arrives
// meanwhile, the awaited one included, is shown to seen first, so that the
// status and the messages the agent pushes are not lost.
class Exchange
{
  public:
    using Seen = std::function<void(const Packet &)>;
    Exchange(Connection &c, double timeout, Seen seen)
        : c_(c), timeout_(timeout), seen_(std::move(seen))
    {
    }
    // Sends req and waits up to the time-out for a packet of kind want.
    // 1: ans holds it; 0: time-out; -1: the connection broke (err).
    int ask(const std::vector<uint8_t> &req, uint8_t want, Packet &ans, std::string &err);
    bool send(const std::vector<uint8_t> &req, std::string &err);
    // Takes what arrives for the given seconds.  False when the connection
    // broke (err).
    bool pause(double seconds, std::string &err);
    double timeout() const { return timeout_; }
    // Texts of kind 79 seen since the last call.
    std::vector<std::string> take_messages();

  private:
    int wait(double until, uint8_t want, Packet *ans, std::string &err);
    Connection &c_;
    double timeout_;
    Seen seen_;
    std::vector<std::string> messages_;
};

// Logs in with kind 23; ok when the agent grants administrator or user
// rights.  right receives the answer (0 when none came).
Outcome login(Exchange &x, const std::string &user, const std::string &password, int32_t &right);

// ACTION[=ARG] as given to --do: selftest=MIN, shutdown=SEC, cancel,
// buzzer=on|off, eventlog, datalog, config, config-set=KEY=VALUE, events,
// event-set=ID KEY=VALUE..., schedules, schedule-add=TEXT, schedule-del=N.
// monitor is the name the shutdown and its cancel carry.
Outcome run_action(Exchange &x, const std::string &action, const std::string &monitor);

// False (with why) for an action run_action does not know or whose
// argument is missing, without asking the agent anything.
bool check_action(const std::string &action, std::string &why);

} // namespace vtop

#endif
