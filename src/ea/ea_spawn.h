// How the engine starts programs: the notifiers (wall, write, mesg, mail),
// who, an event's own command line, and at the end the system's shutdown.
// No text from the network or a user ever becomes part of a command line:
// programs get an argument vector and their text on standard input.  Tests
// install a recorder with ea_spawn_setops.
#ifndef VOLTMIRA_EA_EA_SPAWN_H
#define VOLTMIRA_EA_EA_SPAWN_H

#include <cstddef>

// Children started by run and shell that may run at the same time; more are
// refused, so a notifier that hangs cannot exhaust the process table.
inline constexpr int EA_SPAWN_MAX = 16;

// How long capture waits for a program's output before killing it.
inline constexpr int EA_CAPTURE_MS = 2000;

struct ea_spawn_ops {
    // Starts path with argv (argv[0] the program's name, null-ended) and
    // input (null: nothing) on its standard input; does not wait.  0
    // started, -1 not (EA_SPAWN_MAX running, or the system refused).
    int (*run)(const char *path, const char *const argv[], const char *input);
    // Runs path with argv and reads its standard output into out (at most
    // cap - 1 bytes, always terminated when cap > 0), for at most
    // EA_CAPTURE_MS; a program still running then is killed.  Bytes read, or
    // -1 when it could not be started.
    int (*capture)(const char *path, const char *const argv[], char *out, size_t cap);
    // Starts the command line cmd with "/bin/sh -c"; does not wait.  0 or -1
    // as run.
    int (*shell)(const char *cmd);
    // Replaces the process by path with argv.  Returns -1 only when that
    // failed.
    int (*exec)(const char *path, const char *const argv[]);
};

// Back to the real operations, with no children counted (tests start
// fresh; children still running are the caller's to end).
void ea_spawn_init(void);

// The operations in use; never null.
const ea_spawn_ops *ea_spawn(void);

// Installs ops (null: the real ones).  ops must outlive its use.
void ea_spawn_setops(const ea_spawn_ops *ops);

// Children started by the real run and shell that have not ended yet.
int ea_spawn_running(void);

#endif
