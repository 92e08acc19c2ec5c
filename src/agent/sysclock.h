// The clock seam: every reading of the wall clock or the monotonic clock in
// the system goes through here, so that tests can stop time and move it on
// by hand instead of sleeping.
#ifndef VOLTMIRA_AGENT_SYSCLOCK_H
#define VOLTMIRA_AGENT_SYSCLOCK_H

#include <ctime>

// Seconds since the epoch, as time(2) gives them (or the fake time).
time_t sysclock_time(void);

// Seconds on a clock that never goes back, with fraction (or the fake one).
double sysclock_mono(void);

// From now on both clocks stand still at the given readings until moved.
void sysclock_fake(time_t wall, double mono);

// Moves both fake clocks on by secs (>= 0); ignored on the real clocks.
void sysclock_advance(double secs);

// Back to the real clocks.
void sysclock_real(void);

#endif
