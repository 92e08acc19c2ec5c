// A daemon loop to drive from a test: no sockets, no pipes, no UPS port and
// no segment behind it, only the record and the engine the test gives.
#ifndef VOLTMIRA_TESTS_AGENT_DAEMON_STAGE_H
#define VOLTMIRA_TESTS_AGENT_DAEMON_STAGE_H

#include "agent/agent_daemon.h"
#include "agent/agent_net.h"

#include <cstring>

namespace testutil
{

// Fresh loop and transport state on ap, with aip = aginfo (cleared, UPS not
// found yet) and engine as the engine's entry.  Returns what the loop's
// initialisation returns (0 when it can run).
inline int stage_daemon(AGENT *ap, AGINFO *aginfo, daemon_engine_fn engine)
{
    daemon_stateinit();
    net_stateinit();
    daemon_st.engine = engine;
    memset(aginfo, 0, sizeof *aginfo);
    aginfo->ups.ui.ComId = COMID_NONE;
    aginfo->ups.ui.CommStatus = COMM_LOST;
    aginfo->ups.protocol = 0x1234;
    *ap = AGENT{};
    for (int i = 0; i < 2; i++) {
        ap->chna2u.actpipe[i] = ap->chna2u.paspipe[i] = -1;
        ap->chnu2a.actpipe[i] = ap->chnu2a.paspipe[i] = -1;
    }
    ap->shmid = -1;
    ap->agnet.ufd = -1;
    ap->aip = aginfo;
    return daemon_initagent(ap);
}

} // namespace testutil

#endif
