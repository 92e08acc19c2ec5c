// The helper's own client of the UPS serial protocol, just enough to read
// and store the battery-replacement date: prove that a UPS answers, find out
// whether it keeps the date, and run "BRR" or "BRW".  It differs from the
// agent's client where a one-shot program is better served: every byte is
// awaited once (1.3 s), any number of "WAKE" notices are skipped, and the
// model queries run in a fixed order.  Progress lines go to standard output.
#ifndef VOLTMIRA_CFGTOOL_CFG_BATT_H
#define VOLTMIRA_CFGTOOL_CFG_BATT_H

#include "agent/agent.h"

// Results of the battery-date operation.
enum {
    BATT_DONE = 0,   // date read (or marked empty), or stored
    BATT_QA = 1,     // a QA unit: its date lives in the agent's configuration
    BATT_NODATE = 2, // QE350 or QE5500: no battery date at all
};

enum { BATT_READ = 1, BATT_WRITE = 2 };
enum { CFG_MODEL_MAX = 32 }; // model name buffer, terminator included

// 1 when ti holds the empty marker (month and day 0xFF), else 0.
int batt_isempty(const UPS_TIMEINFO *ti);

// Reads (mode BATT_READ) the date into ti or stores (BATT_WRITE) ti.  port
// 1..4 tries that port twice, 0 or below searches all four; buf (at least
// CFG_MODEL_MAX bytes) receives the model name when one was asked.  Returns a
// BATT_ result or -1; the port is closed again in every case.
int ProcUpsBatteryCHangeTime(char *buf, UPS_TIMEINFO *ti, int mode, int port);

// Index of the port that gave the last result, -1 after a failure.
int batt_comid(void);

// The steps on one open port, for tests.  Each returns what its name says,
// as in ProcUpsBatteryCHangeTime, or -1.
int InitUpsCom(int fd, const char *port);
int ProcUpsInfo(int fd, char *buf, UPS_TIMEINFO *ti, int mode);
int CheckIsUps(int fd);
// 0 the unit keeps the date, 1 a valid reply without it, 2 refused or
// malformed, 3 a reply that is not 40 bytes, -1 the command was not sent.
int getupsfunction(int fd);
// > 0 with the name in buf (CFG_MODEL_MAX bytes), else 0 or -1.
int GetUpsModel(int fd, char *buf);
// 0 the battery is disconnected (ti set to the empty marker), 1 connected.
int ups_getdisconnect(int fd, UPS_TIMEINFO *ti);
int GetUpsBattTime(int fd, UPS_TIMEINFO *ti);
int SetUpsBattTime(int fd, const UPS_TIMEINFO *ti);

// Reads one reply line into buf (maxlen + 1 bytes): the count of bytes with
// the line end, the text terminated; -1 when a byte fails to come within
// 1.3 s or the line cannot be read.
int ReadDataFromUps(int fd, char *buf, int maxlen);

// Parses YYYY/MM/DD into ti (years before 1900 count as 1900).  -1 when
// the two '/' are missing, a part is not a number alone, or a number does
// not fit the command.
int get_data_from_string(const char *text, UPS_TIMEINFO *ti);

#endif
