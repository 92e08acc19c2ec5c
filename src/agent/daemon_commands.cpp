// Monitor requests (being built).
#include "agent/daemon_engine.h"
