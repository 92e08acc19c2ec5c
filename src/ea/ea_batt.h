// The engine's small number and date helpers: a number as decimal text and
// the battery-change date kept in the configuration file.
#ifndef VOLTMIRA_EA_EA_BATT_H
#define VOLTMIRA_EA_EA_BATT_H

#include "ea/daemon2event_api.h"

// Decimal text of dig read as unsigned, without leading zeros; with a
// leading '-' when the log field scanner marked the value negative
// (ea_st.lognegative, cleared here).  Static buffer, valid until the next
// call.
char *itoc(int dig);

// Stores the battery date of in->DATA.acp->arg.bctp as "ChangeBattTime" and
// copies it into out->DATA.upsinfop->PreChangeBatt.  Returns 0, or 1 when
// the store failed (or an argument is missing).
int setbattime(UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

// Reads the stored battery date into changebatt.  Returns 0, or -1 with the
// record zeroed when none is stored.
int getbattime(UPS_TIMEINFO *changebatt);

#endif
