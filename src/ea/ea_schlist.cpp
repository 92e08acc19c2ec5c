// Schedule settings (being built).
#include "ea/ea_schlist.h"

ea_schlist_state ea_schlist_st;

void ea_schlist_init(void)
{
    ea_schlist_st = ea_schlist_state{};
}
