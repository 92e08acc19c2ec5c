// An interrupted benchmark must still take its lab down (an agent left in a
// lab namespace is only removed by the next lab): signals end the run
// through its normal way out, and a closed output does not kill it.
#ifndef VOLTMIRA_TOOLS_BENCH_INTERRUPT_H
#define VOLTMIRA_TOOLS_BENCH_INTERRUPT_H

#include <csignal>
#include <cstring>
#include <stdexcept>

namespace bench
{

inline volatile sig_atomic_t interrupted = 0;

inline void on_signal(int)
{
    interrupted = 1;
}

// SIGINT, SIGTERM and SIGHUP only mark the run; SIGPIPE is ignored.
inline void catch_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// Throws once a signal has marked the run, so the lab's destructors run.
inline void check_interrupted()
{
    if (interrupted)
        throw std::runtime_error("interrupted");
}

} // namespace bench

#endif
