// Schedule texts and instants (being built).
#include "ea/ea_sched.h"

ea_sched_state ea_sched_st;

void ea_sched_init(void)
{
    ea_sched_st = ea_sched_state{};
}
