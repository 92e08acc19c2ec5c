#include "agent/agent_svc.h"
