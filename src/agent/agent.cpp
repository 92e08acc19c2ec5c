// The process-global agent record.  Zero until start-up fills it; after the
// fork each process owns its own copy.
#include "agent/agent.h"

AGENT agent;
