// The language of the agent's programs: which message catalogue their
// user-visible texts come from and in which character encoding.
//
// The catalogues live in sysroot_path(SP_LOCALE), one text domain per program.
#ifndef VOLTMIRA_AGENT_AGENT_LANG_H
#define VOLTMIRA_AGENT_AGENT_LANG_H

// Text domains of the daemon and of the agent manager.
extern const char lang_daemon_domain[];  // "voltmirad"
extern const char lang_manager_domain[]; // "voltmiractl"

// Puts the process into the locale its environment names.  Returns 0 when it
// did; 1 when no such locale is installed and C.UTF-8 was taken instead (the
// language of the texts still follows LANGUAGE); -1 when neither exists (the
// texts then stay English).
int lang_setlocale(void);

// Binds text domain domain to the catalogue directory, makes it the current
// domain and, when codeset is not null, has its texts delivered in codeset.
// Returns 0, or -1 when the domain could not be bound.
int lang_binddomain(const char *domain, const char *codeset);

// The daemon's language, called once at start: Japanese in EUC-JP whatever
// the environment said (LANG, LANGUAGE, KDE_LANG and LC_ALL are all set to
// "ja", also for the processes it starts).  Returns 0, or -1 when the
// environment could not be set or the domain could not be bound.
int daemon_setlang(void);

#endif
