// The engine's date and time helpers: the 8-byte time record that the agent
// stores and sends, the relative times that schedule messages show, and the
// bit-mask test that status code shares.  All times are local time, read
// from the clock seam.
#ifndef VOLTMIRA_EA_EA_TIME_H
#define VOLTMIRA_EA_EA_TIME_H

#include "agent/agent.h"

#include <ctime>

// 1 when every bit of the mask bit is set in status (a zero mask counts as
// set), else 0.
int CheckBit(long status, long bit);

// 1..12 for a text beginning with an English month abbreviation ("Jan" ..
// "Dec", case-sensitive); -1 otherwise, also for null.
int montoid(const char *m);

// Fills tinfo (not null) with now as local time, year modulo 256 from 1900.
// now == 0 clears the record (no time).  Returns 0, or -1 for a negative
// time or one the system cannot convert; tinfo is then left alone.
int gettime(time_t now, UPS_TIMEINFO *tinfo);

// Parts of the local time remain_time seconds from now.
int user_year(long remain_time);
int user_month(long remain_time); // 1..12
int user_day(long remain_time);

// "year-month-day" without leading zeros, and "hh:mm:00", of the moment
// remain_time seconds from now.  The result lives in a static buffer that
// the next call of the same function overwrites.
char *user_date(long remain_time);
char *user_time(long remain_time);

// Whole minutes of a seconds count, and the seconds left over; both keep
// the sign of a (truncation toward zero).
long user_time_m(long a);
long user_time_s(long a);

#endif
