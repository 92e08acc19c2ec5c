// The drill's processes and namespaces.  The agent runs as the child of a
// process 1 of its own PID namespace, inside new network, IPC and UTS
// namespaces held by a keeper process: ending the keeper by its id ends the
// namespace's process 1, and the kernel then ends everything in it (the
// agent's two processes and any stand-in they started).  The test UPS runs
// beside it as the drill's own child.  The drill is the subreaper of all of
// them and reaps every one.
#ifndef VOLTMIRA_TOOLS_FIREDRILL_WORLD_H
#define VOLTMIRA_TOOLS_FIREDRILL_WORLD_H

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

namespace firedrill
{

struct World {
    pid_t keeper = -1; // holds the namespaces; the agent's process 1 is its child
    pid_t ups = -1;    // the test UPS
    int go = -1;       // one byte here starts the agent
    int net = -1;      // the sandbox's network namespace
    int home = -1;     // the drill's own network namespace
    std::string ups_socket;
    int agent_status = -1; // exit status of the agent's main process, once ended
};

// Makes the namespaces and brings up the sandbox's network: loopback, and
// a dummy interface with an address and a default route, so that the
// agent's limited broadcasts have a way out that ends inside the sandbox.
// The agent (argv/envp) is prepared here and started by world_start_agent.
// Returns 0, or -1 with a sentence in err.
int world_make(World *w, const std::vector<std::string> &agent_argv,
               const std::vector<std::string> &agent_env, char *err, size_t errlen);

// Starts the test UPS at argv with env; waits for its "ready".  0 or -1.
int world_start_ups(World *w, const std::vector<std::string> &argv,
                    const std::vector<std::string> &env, const std::string &control, char *err,
                    size_t errlen);

// Starts the agent inside the namespaces.  0 or -1.
int world_start_agent(World *w);

// Runs fn inside the sandbox's network namespace (sockets made there stay
// there); returns fn's result, or -1 when the namespace cannot be entered.
int world_in_sandbox(World *w, int (*fn)(void *), void *arg);

// One control command to the test UPS; its answer line in answer.  0 when
// the answer begins with "OK".
int world_ups(World *w, const std::string &command, std::string &answer);

// True while the agent's namespace still has its process 1.
bool world_agent_alive(World *w);

// Ends everything started, by process id, and reaps it; closes the
// namespaces.  Safe to call more than once.
void world_stop(World *w);

} // namespace firedrill

#endif
