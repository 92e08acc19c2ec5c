// Every fixed absolute path of the system, and where it really lives.
//
// When VOLTMIRA_SYSROOT names an existing directory D by an absolute path,
// each fixed path P becomes D followed by P, so that tests and packagers can
// stage a whole system in a directory.  Unset or empty means the real paths.
// No other file spells these paths.
#ifndef VOLTMIRA_AGENT_SYSROOT_H
#define VOLTMIRA_AGENT_SYSROOT_H

#include <cstddef>

enum sysroot_path_id {
    SP_LIBDIR,   // the installation directory, with its trailing slash
    SP_CONFIG,   // the configuration file
    SP_EVENTLOG, // the event log
    SP_DATALOG,  // the data log
    SP_ERRORLOG, // the engine's error log
    SP_LOCALE,   // the message catalogues
    SP_LCKFILE,  // the file linked to take the cross-process lock
    SP_PIPELOCK, // the lock itself: held while this name exists
    SP_CFGWORK,  // the configuration helper's work copy
    SP_DAEMON,   // the agent program
    SP_MANAGER,  // the agent manager program
    SP_KEYFILE,  // the key file of the shared segment
    SP_DEBUGLOG, // the debug log
    SP_TTYS0,    // serial ports 0 to 3, in order
    SP_TTYS1,
    SP_TTYS2,
    SP_TTYS3,
    SP_CONSOLE,
    SP_SHUTDOWN,
    SP_WALL,
    SP_WRITE,
    SP_MESG,
    SP_MAIL,
    SP_WHO, // "who" through the search path, or D/usr/bin/who
    SP_PS,
    SP_GREP,
    SP_TMPDIR, // the directory of work files, with its trailing slash
    SP_DEVLOG, // the system log's socket
    SP_COUNT
};

// Reads VOLTMIRA_SYSROOT (ignored in a program that gained rights) and fixes
// every path.  Returns 0, or -1 after one line on standard error when the
// value is not an absolute path of an existing directory, or, when running
// as root, of one that root owns and neither group nor others may write
// (the caller then refuses to start).  May be called again
// (tests do, after changing the variable).
int sysroot_init(void);

// The directory prefix in use: "" for the real system.  Never null.
const char *sysroot_prefix(void);

// The path for id; never null.  Initialises on first use; a bad
// VOLTMIRA_SYSROOT at that point aborts the process, since going on would
// touch the real system.
const char *sysroot_path(sysroot_path_id id);

// Serial port n (0..3); null for any other n.
const char *sysroot_ttypath(int n);

// A file of the installation directory (name relative to it) or of the work
// directory, written into buf.  Returns 0, or -1 when name is null, holds a
// "..", starts with '/' or the result does not fit in len bytes.
int sysroot_libfile(const char *name, char *buf, size_t len);
int sysroot_tmpfile(const char *name, char *buf, size_t len);

#endif
