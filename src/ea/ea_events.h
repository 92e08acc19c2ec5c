// The event catalogue (each event id's English text and default actions)
// and the per-event settings and notification users kept in the
// configuration file.
#ifndef VOLTMIRA_EA_EA_EVENTS_H
#define VOLTMIRA_EA_EA_EVENTS_H

#include "ea/daemon2event_api.h"

// Limits of the user list as the file holds it: the whole list, one number,
// one name (the record's UserName holds one more for its end).
inline constexpr int EA_USERLIST_MAX = 200;
inline constexpr int EA_USERITEM_MAX = 10;
inline constexpr int EA_USERNAME_MAX = 20;

// English text of event id (the message key of its translations); null when
// the id is not in the catalogue.
const char *EventMsg(int id);

// The default settings of event id; null when the id is not in the
// catalogue.
const UPS_EVENTINFO *eventdefault_row(int id);

// The default settings of catalogue position n (0..EA_NEVENTROWS-1), in the
// order of the event array; null outside.
const UPS_EVENTINFO *eventdefault_at(int n);

// Loads the 54 event settings into eap (catalogue order) and the users into
// out->DATA.eu.uip (slots, nusers).  Always returns 0.
int getevent(UPS_EVENTINFO *eap, UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

// Stores the 54 event settings of in->DATA.eu.eap and the users of
// in->DATA.eu.uip; raises event 11 when serving request 9.  Returns 0, or -1
// when the file cannot be made or opened or a write failed.
int setevent(UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

// The next item of a comma- or blank-separated list from *cursor on, moving
// *cursor past it and its separators.  The item lives in a static buffer of
// EA_USERLIST_MAX characters (longer items are cut), valid until the next
// call; null at the end of the text or at an empty item.
char *nextitem(const char *list, int *cursor);

#endif
