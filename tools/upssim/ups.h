// The UPS itself: what it measures, which switches it holds, how it answers
// each command and how its self-tests and shutdowns run over time.  Nothing
// here knows about the line; the line layer (line.h) decides whether and when
// a reply reaches the host.
#ifndef VOLTMIRA_TOOLS_UPSSIM_UPS_H
#define VOLTMIRA_TOOLS_UPSSIM_UPS_H

#include "util.h"

#include <string>
#include <vector>

namespace upssim
{

enum class Family { QA, QE, QR };

// Short name of a command, independent of the model, used to aim faults at
// it: Q1 Si SiCC CF V V2 BvB8 Lf Lf11 Bl BRR BRW T TL CT C S Sf SR An Af AR
// AC Bn Bf Bt VA VB VH VL; "?" for anything else.
std::string command_key(const std::string &cmd);

struct Measurements {
    double input = 100.0;    // Q1 1-5
    double input2 = 100.0;   // Q1 7-11
    double output = 100.0;   // Q1 13-17 while the output is on
    long load = 20;          // Q1 19-21 while the output is on
    double infreq = 60.0;    // Q1 23-26
    double outfreq = 60.0;   // "Lf ?" and "(Lf ?11)" while the output is on
    double battv = 27.4;     // Q1 28-31, "(BvB8)"
    bool batt_cells = false; // Q1 battery voltage as d.dd instead of dd.d
    long capacity = 100;     // "Bl ?"
    double temp = 30.0;      // Q1 33-36
    bool temp_known = true;  // false: "--.-"
};

class Ups
{
  public:
    enum class Test { None, Ten, Low };
    enum class Shut { None, Pending, Off };

    struct Result {
        bool known = true;  // false: the unit does not know this command
        bool reply = false; // whether the unit answers at all
        std::string text;   // the answer, CR included
    };

    explicit Ups(const std::string &model);

    // Changes the model (and with it the family, the bracket variant and the
    // capability flags, which go back to the family's defaults).  False when
    // the name is not one a unit could report.
    bool set_model(const std::string &name);

    // Runs one command (without its CR) received at now.
    Result handle(const std::string &cmd, ns_t now);

    // Advances self-tests and shutdowns to now.
    void tick(ns_t now);
    // The next instant tick has something to do; kNever when nothing is due.
    ns_t next_deadline() const;

    std::string q1() const;
    // The eight status characters b7..b0 as the Q1 reply shows them now.
    std::string status() const;
    std::string cf_reply() const { return cf_ + "\r"; }

    // Notes of what happened inside the unit since the last call (test
    // start/end, output off/on), for the transcript.
    std::vector<std::string> take_events();

    // Settings reached by the control channel.
    Measurements m;
    std::string fw = "1.00";              // text after the model name in model replies
    std::string base_status = "00000000"; // b7..b0 before test and shutdown
    std::string v = "00000000";           // "V" reply positions 0-7
    std::string v2 = "00000000";          // "V2" reply positions 0-7
    std::string battdate = "20230401";    // "BRR" reply
    double tdur = 10;                     // seconds of a "T" test
    double tldur = 60;                    // seconds of a "TL" test
    double timescale = 1;
    // What a test writes when it ends: b4, b0, V position 5, V position 7.
    bool out_b4 = false, out_b0 = false, out_v5 = false, out_v7 = false;
    bool output_on = true;

    const std::string &model() const { return model_; }
    Family family() const { return family_; }
    bool bracket() const { return bracket_; }
    // Capability reply without its CR: 39 characters normally.
    std::string &cf() { return cf_; }
    void reset_cf();

    Test test() const { return test_; }
    Shut shut() const { return shut_; }
    bool restore_pending() const { return shut_ != Shut::None && restore_; }
    long beeps() const { return beeps_; }
    long buzzer_tests() const { return bt_; }

    // Switches the output on at once, ending any shutdown.
    void force_output(bool on, ns_t now);
    // Utility failure on or off: b7, with input voltage and frequency 0
    // while it lasts.
    void set_mains(bool ok);

  private:
    ns_t scaled(double seconds) const;
    Result ok() const;
    Result refuse() const;
    Result shutdown(const std::string &cmd, ns_t now);
    Result start_test(Test kind, ns_t now);
    void end_test(bool apply_outcome);

    std::string model_;
    Family family_ = Family::QE;
    bool bracket_ = false;
    std::string cf_;

    Test test_ = Test::None;
    ns_t test_end_ = kNever;

    Shut shut_ = Shut::None;
    ns_t off_at_ = kNever;
    bool restore_ = false;
    ns_t restore_after_ = 0; // already scaled when the command came
    ns_t restore_at_ = kNever;

    double saved_input_ = 100.0;
    double saved_infreq_ = 60.0;
    long beeps_ = 0;
    long bt_ = 0;
    std::vector<std::string> events_;
};

} // namespace upssim

#endif
