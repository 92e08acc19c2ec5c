// The agent's working settings: which key of the configuration file feeds
// which field of the configuration record, the live record and the engine's
// copies, with the defaults that stand in for missing keys.
#ifndef VOLTMIRA_EA_EA_CONFIG_H
#define VOLTMIRA_EA_EA_CONFIG_H

#include "ea/daemon2event_api.h"

#include <cstddef>
#include <string>
#include <vector>

// Reads key of section as a decimal number (wp_atoi: an empty value is 0);
// def when the key is missing.  *found (when not null) says whether it was.
int ea_readint(const char *sect, const char *key, int def, int *found = nullptr);

// Copies key of section into dst (size bytes, cut there and always ended),
// or def (null counts as "") when the key is missing.  Returns 1 when the key
// was there, 0 when def was used.  dst null or size 0: only reports.
int ea_readstr(const char *sect, const char *key, char *dst, size_t size, const char *def);

// Sets key of section to value like writeparam, but leaves the file alone
// when the key already reads exactly so (a store of unchanged settings then
// costs no rewrite of the file).  Returns 0, or -1 when the write failed.
int ea_writestr(const char *sect, const char *key, const char *value);

// Settings gathered for one rewrite of the configuration file: a store of
// many keys then costs one synced replacement instead of one per key.
struct EA_WRITES {
    std::vector<std::string> text; // section, key and value of each change
};

// Adds the change of key in section to value to w, like ea_writestr: left
// out when the key already reads so (in the file, or as w leaves it).
// Returns 0, or -1 when writeparam would refuse it (then not added).
int ea_queuestr(EA_WRITES *w, const char *sect, const char *key, const char *value);

// Adds the change of key in section to the decimal text of v to w, like
// ea_queuestr.  Returns the number of changes refused: 0 or 1.
int ea_queuenum(EA_WRITES *w, const char *sect, const char *key, long v);

// Stores the changes of w in one writeparams and empties w.  Returns the
// number of changes that failed: 0, or all of them when the write failed.
int ea_flush(EA_WRITES *w);

// Makes sure the configuration file exists (a new one is root's, group 1,
// mode 0600) and is a plain file that can be opened for update.  Returns 0,
// or -1 when it cannot be made or opened.
int ea_configready(void);

// Loads the configuration record out->DATA.upsconfigp and the parts of the
// live record out->DATA.upsinfop that mirror it, and the engine's copies.
// Returns 0, or -1 when the host's node name cannot be had.
int getconfig(UPS_EOUT_DATA *out);

// Stores the configuration record in->DATA.upsconfigp into the file,
// announcing changes of group, port and agent type to the daemon; raises
// event 9 on success.  Returns 0, or -1 when the file cannot be made or
// opened or any write failed (what was written stays).
int setconfig(UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

// Fills the live record ui at start-up: role, buzzer and self-test switches,
// battery-change date, group, the two latest events and the three times.
// Returns 0, or -1 when a time could not be converted.
int getupsstatus(UPS_UPSINFO *ui);

// The engine's start-up: configuration, schedules, event settings, live
// record; raises event 7 and announces the agent.  Returns 0, or -1 when a
// step failed (then nothing is raised).
int initial(UPS_EIN_DATA *in, UPS_EOUT_DATA *out);

// Seam for the node name (tests): fn fills a utsname-like nodename of size
// bytes and returns 0, or -1 on failure; null restores uname.
typedef int (*ea_nodename_fn)(char *dst, size_t size);
void ea_config_setnodename(ea_nodename_fn fn);

// The configured agent type, with the engine's role flag for it set; def
// (its flag set) for a missing key, logged, or an invalid type.
int ea_readrole(int def);

// The configured group into dst (size bytes, ended); for a missing key the
// default group, logged and stored.
void ea_readgroup(char *dst, size_t size);

// This host's name as the node-name seam gives it, into dst (size bytes,
// terminated).  0, or -1 when the system cannot tell it.
int ea_hostname(char *dst, size_t size);

#endif
