// How an event reaches people and programs: wall to every terminal, write to
// the terminals of chosen users, mail to chosen addresses, and the event's
// own command.  Everything goes through the program seam (ea_spawn.h) and
// nothing waits for the programs to end.
#ifndef VOLTMIRA_EA_EA_NOTIFY_H
#define VOLTMIRA_EA_EA_NOTIFY_H

#include "ea/daemon2event_api.h"

// The notification steps of raising event eventid with settings ev (not
// null) and users uip (null: none): "mesg y", wall, write, mail, then the
// event's Command.  Texts are the catalogue's, formatted with
// ea_st.monitorname for events 21 and 79.  0, or -1 when the event has no
// catalogue text.  Programs that fail to start are not errors.
int ea_notify(int eventid, const UPS_EVENTINFO *ev, const UPS_USERSINFO *uip);

// Sends msg (not null) by the broadcast settings of eventid in in's event
// array: wall, or write to the users' terminals.  0; -1 when eventid has no
// settings there.
int wallornot(int eventid, const char *msg, UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

// Fills ea_st.gszUserList with the terminals at which username is logged
// in (from who's output), ended by an empty entry.  1, or -1 when who could
// not be run.
int UpdateUserList(const char *username);

// Splits one line of who's output: name (32 bytes) the text before the
// first blank, tty (32 bytes) the next word.  A name longer than 31
// characters leaves both empty; a terminal word longer than 31 leaves tty
// empty (cut, it would name another terminal).
void ParseWho(const char *line, char *name, char *tty);

// Host names are used as the system gives them: returns 0, name unchanged.
int intercepthost(char *name);

#endif
