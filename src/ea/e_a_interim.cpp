// INTERIM event engine entry.  It does only what the daemon loop needs to
// run before the engine exists, and it will be REPLACED by the engine, not
// extended: initialisation succeeds without loading anything, the periodic
// look at the UPS and agent notices do nothing, and every other request
// fails.  Since no configuration is loaded, commparam.AgentType stays 0 and
// the agent answers no inquiry and announces nothing.
#include "ea/daemon2event_api.h"

int Event_Action(int cmd, UPS_EIN_DATA *in, int *outcmd, UPS_EOUT_DATA *out)
{
    (void)in;
    (void)outcmd;
    switch (cmd) {
    case EA_INIT:
        if (out != nullptr)
            out->datatype =
                static_cast<E_DATATYPE>(E_UPSTAT | E_UPSCONFIG | E_SCHEDULE | E_EVENTACTION);
        return 0;
    case EA_CHECKUPS:
    case EA_CHECKAGENT:
        return 0;
    default:
        return -1;
    }
}
