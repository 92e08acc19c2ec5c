// The UPS side of the agent: the serial line to the UPS, the command
// exchange, and the poll that keeps AGINFO.ups current.  Only the UPS channel
// process calls into this module; its state is one process-local record.
//
// Unless a contract says otherwise, every function taking an AGENTP needs ap
// and ap->aip non-null (it returns -1 without touching anything otherwise),
// returns 0 or a count on success and -1 on failure, and writes its results
// into ap->aip->ups.
#ifndef VOLTMIRA_AGENT_AGENT_UPS_H
#define VOLTMIRA_AGENT_AGENT_UPS_H

#include "agent/agent.h"
#include "agent/ups_flags.h"

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Codes written into the live record

// UPS_UPSINFO.BattStatus; 0 means not read yet.
inline constexpr int8_t BATT_NORMAL = 1;
inline constexpr int8_t BATT_TEST = 5;
inline constexpr int8_t BATT_WEAK = 18;
inline constexpr int8_t BATT_DISCONNECTED = 19;
inline constexpr int8_t BATT_LOW = 34;

// UPS_UPSINFO.ufStatus: the functions the unit offers.
inline constexpr uint16_t UPSFN_SFOFF = 0x0004;    // "Sf" shutdown without restore
inline constexpr uint16_t UPSFN_V2 = 0x0008;       // restart setting readable by "V2"
inline constexpr uint16_t UPSFN_CFSEEN = 0x0010;   // never left set
inline constexpr uint16_t UPSFN_AUTORST = 0x0080;  // "An"/"Af"
inline constexpr uint16_t UPSFN_BATTDATE = 0x0200; // "BRR"/"BRW"
inline constexpr uint16_t UPSFN_BUZZER = 0x1000;   // "Bn"/"Bf"
inline constexpr uint16_t UPSFN_CF = 0x4000;       // the unit answered "CF"

// AGINFO.udinfo bit 0: the unit reports its automatic-restart setting.
inline constexpr int32_t UDINFO_V2 = 0x1;

inline constexpr int UPS_NPORTS = 4;
inline constexpr int UPS_Q1LEN = 47; // the Q1 reply with its line end

// ---------------------------------------------------------------------------
// Module state

struct ups_state {
    int inited;                    // comfd below is ours to close
    char comlist[UPS_NPORTS][260]; // candidate ports, searched in order
    int comfd;                     // open port, or -1
    int comid;                     // index into comlist; -1 none, -2 no UPS
    char ups_model_s[100];         // model from the search, or the last poll's
    char model_lasttime[255];      // model of the previous model query
    int model_changed;             // 1 when that query found another model
    int mg;                        // the last poll's model query succeeded

    // What the "CF" reply offers, and what the model family is known to
    // offer when it has no "CF".
    int cf_V, cf_BTt, cf_Six, cf_Bv, cf_Lfx, cf_Blx, cf_Sfn;
    int cmd_V, cmd_BTt, cmd_Six, cmd_Bv, cmd_Lfx, cmd_Blx, cmd_Sfn, cmd_BvB8;

    // Self-test tracking across polls.
    int beTesting;       // a test is running
    int beRealtest;      // the running test was seen in a Q1 reply
    int beUpsTest;       // the test that just ended was a UPS test
    int beBattTest;      // ... or a battery test
    int lasttest;        // beTesting as the previous "V" query saw it
    int bSendTestCmd;    // a test command was just sent
    int tcmd;            // a test was asked for and not yet seen running
    double start_test_t; // sysclock_mono() when the test was first seen
    int gb_upstest_ok;   // outcome of the last UPS test

    // Latches of the last "V" and "V2" replies, fed to the next evaluation.
    int gb_Battest_HWFail;
    int gb_Battest_Weak;
    int gb_Funtest_HWFail; // last Q1 b4
    int gb_CommandV_BattDisconect;
    int bAutoRebootByV2;

    // The channel loop (ups_chan.cpp).
    uint32_t *u_status; // the flag word: AGINFO's, or upsstatus without one
    uint32_t upsstatus; // stand-in flag word while no shared record is there
    int old_comset;     // ComSet the open port (or the last search) was for
    double poll_start;  // sysclock_mono() when the poll stopwatch started
    int u_wait;         // the command being served still owes its reply word
    int buzzerStep;     // step of the buzzer test sequence, 0 = idle
};

extern ups_state ups_st;

// Fresh state: no port, comlist from the staged or real tty paths, nothing
// known about the unit.  Closes a port left open by an earlier init.
void ups_init(void);

// Closes the port, if any, and forgets everything.
void ups_fini(void);

// ---------------------------------------------------------------------------
// The line (ups_line.cpp)

// 1 when ap and ap->aip are both there, else 0.
int ups_usable(AGENTP ap);

// Closes the port, if one is open; comfd is -1 afterwards.
void ups_closeport(void);

// Discards pending input and output of the open port, if any.
void ups_flushline(void);

// 1 when the n bytes at buf (may be null) begin with the refusal "NAK".
int ups_isnak(const char *buf, int n);

// Applies the line settings (2400 8N1, raw, XON/XOFF) to comfd; -1 when no
// port is open.  On failure reports through perror and leaves closing the
// port to the caller.
int ups_cominit(AGENTP ap);

// Chooses the port by ComSet (a value outside -2..4 is rewritten to 0) and
// proves a UPS on it with one valid Q1 reply.  Returns the index 0..3 with the
// port open, or -1 with none open when no UPS answered.  ComSet -2 (no UPS)
// gives -1 with nothing touched.
int ups_comsearch(AGENTP ap);

// ups_comsearch, then reads the model into ups_model_s (two tries).  Returns
// the model's length, or -1.  The port stays open even when no model came.
int ups_comsearch_model(AGENTP ap);

// Closes and reopens comlist[comid] with the line settings; no UPS query.
// -1 with nothing touched when comid < 0, or when the port cannot be set up
// (then comfd is -1).
int ups_reopen(AGENTP ap);

// Reads one reply line into buf, which holds at least maxlen + 1 bytes.
// Returns the bytes read (line end included, text terminated), 0 when only
// "WAKE" notices or silence followed a "WAKE" notice, -1 for no complete
// reply.  Never blocks longer than about 1.8 s (3.0 s before communication is
// established) without a byte.
int ups_readdatafromups(AGENTP ap, char *buf, int maxlen);

// One exchange: discards pending input (and output only when it is stuck),
// sends fmt's expansion followed by a carriage return, and reads a reply into buf (maxlen + 1
// bytes) unless maxlen is 0.  Returns the reader's result, 0 when no reply is read, or -2 when the
// command could not be built or written whole.  buf may be null only when maxlen is 0.
int ups_command(AGENTP ap, char *buf, int maxlen, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// 0 when buf (len bytes) has the shape of a Q1 reply, else -1.  buf may be
// null (then -1).
int ups_q1check(const char *buf, int len);

// Sends "Q1" up to cx times; 0 at the first reply of the right shape, else -1.
int ups_q1(AGENTP ap, int cx);

// -1 when no UPS is configured (nothing done), 0 when the UPS answers Q1
// within two tries, 1 after dropping it as lost (ups_lostcomm).
int verify_commlost(AGENTP ap);

// ---------------------------------------------------------------------------
// Model and capabilities (ups_model.cpp)

// 1 when model (may be null) begins with prefix, else 0.
int ups_ismodel(const char *model, const char *prefix);

// 1 for the units that speak the bracket variant (QE350, QE5500), else 0.
int ups_isbracket(const char *model);

// Reads the model name: s = 1 stores it in ups_model_s (port search), s = 0
// in ui.upsmodel (poll).  Returns the name's length, or -1.
int ups_getupsmodel(AGENTP ap, int s);

// The two model queries: 0 name read and stored, 1 not answered in this form
// (try the other query), -1 an answer that names no known family.
int get_qe_model(AGENTP ap, int s);
int get_noqe_model(AGENTP ap, int s);

// The capability query; mg non-zero first takes ui.upsmodel as the model.
// -1 only when the command cannot be sent; an unusable reply falls back to
// the model family's fixed set.
int ups_getupsfunction(AGENTP ap, int mg);

// Decodes a "CF" reply of len bytes (reply may be null: no reply) into
// ui.ufStatus, the flag word and the cf_/cmd_ flags of st.  Returns 0, or -1
// for a null st or u.
int ups_evalcf(ups_state *st, UPS *u, const char *reply, int len);

// ---------------------------------------------------------------------------
// The poll (ups_query.cpp)

// One full poll.  -1 when Q1 got no answer, or the error budget ran out.
int ups_getupsstatus(AGENTP ap);

// Q1 exchange (two tries, the port reopened in between) and its evaluation.
int ups_getupsinfo(AGENTP ap);

// The single queries of the poll.  Each returns 0 when the reply was taken
// in, -1 for no reply (the port is then reopened), a refusal or a reply of
// another form.  Where the unit lacks the query:
// "V": the bracket units get fixed switch states (0), the others fail.
int ups_getcomplstatus(AGENTP ap);
// "V2": nothing asked, the record says the setting is not reported (0).
int ups_getrebootstatus(AGENTP ap);
// "(BvB8)": asked of the bracket units only; 0 for the others.
int ups_getbatteryvoltage(AGENTP ap);
// "Lf ?", or "(Lf ?11)" for the bracket units; other units fail.
int ups_getoutputfreq(AGENTP ap);
// "Bl ?": the bracket units report 0 % (0), other units fail.
int ups_getbattcapacity(AGENTP ap);
// "BRR": the bracket units have no date (cleared, 0), QA units keep it in
// the configuration (0), QR units keep what they had (0), other QE units
// fail.  A "BRR" that cannot be sent clears a QR200ZB's date.
int ups_getbattchgtime(AGENTP ap);
// "V", then "BRR" only if that worked; the result of the last one asked.
int ups_getbattchgtimeforcmd(AGENTP ap);
// The battery date a QA unit keeps in the configuration ("ChangeBattTime",
// years since 1900 first), into t; all zero when missing or unusable.
void ups_configbattdate(UPS_TIMEINFO *t);

// Applies a "V" reply of len bytes (reply may be null) to st and u.  -1 when
// the reply is unusable or the unit has no "V"; u->upsstat is the flag word.
int ups_evalv(ups_state *st, UPS *u, const char *reply, int len);

// ---------------------------------------------------------------------------
// Evaluation (ups_eval.cpp): no line needed

// Evaluates a Q1 reply of len bytes (reply may be null) into u: state code,
// flag word, battery state, test tracking in st, measurements.  -1 with
// nothing changed when st or u is null or the reply lacks the Q1 shape.
int ups_evalq1(ups_state *st, UPS *u, const char *reply, int len);

// Records rslt (SELFTEST_*) with the local time now.  -1 for a null rtp.
int ups_savetestrslt(SELFTESTRESULT *rtp, uint32_t rslt);

// ---------------------------------------------------------------------------
// Control commands (ups_command.cpp)

// The command words and the shutdown command's UPSDOWNARG are the
// contract between the two processes: agent.h.

// The largest values the shutdown commands can carry: two digits of delay
// minutes, four (bracket units) or five digits of restore minutes.
inline constexpr int UPS_MAXDOWNMIN = 99;
inline constexpr int UPS_MAXRESTMIN_BRACKET = 9999;
inline constexpr int UPS_MAXRESTMIN = 99999;

// Sends the single command of the upper 16 bits of cmd and checks its "OK".
// Bracket units take only the self-test, test-cancel and shutdown-cancel
// commands (and answer nothing); anything else is -1 with nothing sent.
int ups_docommand(AGENTP ap, uint32_t cmd);

// Switches the output off as UPSDOWNARG in ba2u says.  A delay or restore
// time beyond what the command can carry is clamped to the largest it can
// carry (and logged); a negative delay is refused (-1, logged, nothing sent).
int ups_shutdownups(AGENTP ap);

// 10-second self-test ("T"); ba2u.msglen must be 4.  A test already running
// (ui.upsstat 3) succeeds without a command.
int ups_selftest(AGENTP ap);

// The self-test the daemon asked for: UPSCMD_TEST10 or UPSCMD_TESTLOW.  On
// units with a self-test timer the timer is enabled around the test and
// disabled again if the user had it off; 0 whatever the unit said then.
int ups_selftest1(AGENTP ap, uint32_t cmd);

// Stores the battery-replacement date of the BATTCHGTIME in ba2u (msglen
// 12).  -1 with nothing sent for bracket units and for a month or day that
// does not fit two digits.
int ups_setbattchgtime(AGENTP ap);

// One step of the buzzer test sequence (enable, sound, disable), advancing
// buzzerStep; a unit without the buzzer switch just sounds once.
int doBuzzer(AGENTP ap);

// ---------------------------------------------------------------------------
// The channel process (ups_chan.cpp)

// The UPS channel process: finds and polls the UPS, serves the daemon's
// command words on ap->chna2u and decides about loss of communication.
// Never returns while ap and ap->aip are there (-1 at once otherwise); the
// process exits when its command pipe fails or reaches end of file.
int ups_doupschan(AGENTP ap);

// What ups_doupschan does before its loop: the module starts afresh on the
// shared record, communication not established.
int ups_chanstart(AGENTP ap);

// One pass of the loop: follow ComSet (search, no-UPS state), wait up to the
// next poll for a command or unasked line data, poll when due, run the
// buzzer sequence.  Returns 0; may exit the process (see above).
int ups_chanpass(AGENTP ap);

// Starts the poll stopwatch (monotonic clock; no timer signal involved).
int ups_setstartitimer(void);

// Reads and serves one command word, writing the reply word when one is
// owed.  Returns the action's result.  Exits the process when the word cannot
// be read whole or the reply cannot be written.
int ups_procagentcmd(AGENTP ap);

// The command being served owes no reply word.  Returns 0.
int response_nowait(AGENTP ap, uint32_t cmd);

// Drops the UPS after a loss of communication: port closed, the module
// forgets the unit, and the record (when ap and ap->aip are there) says so:
// ComId 0xFF, CommStatus 17, no battery or switch states, no measurements,
// no model, the test and disconnect flags cleared; a QA unit's battery date
// falls back to the configuration.  Returns 0.
int ups_lostcomm(AGENTP ap);

// The no-UPS state (ComSet -2): port closed, the module forgets the unit,
// the record shows CommStatus 6, ComId 0xFE and nothing about a unit; the
// flag word is left as it is.  Returns 0.
int ups_comnone(AGENTP ap);

#endif
