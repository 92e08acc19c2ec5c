#include "agent/sysclock.h"

namespace
{

struct sysclock_state {
    bool fake;
    double wall; // fake wall time, with fraction so that advances add up
    double mono;
};

sysclock_state clk;

} // namespace

time_t sysclock_time(void)
{
    if (clk.fake)
        return static_cast<time_t>(clk.wall);
    return time(nullptr);
}

double sysclock_mono(void)
{
    if (clk.fake)
        return clk.mono;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sysclock_fake(time_t wall, double mono)
{
    clk = {true, static_cast<double>(wall), mono};
}

void sysclock_advance(double secs)
{
    if (!clk.fake || secs < 0)
        return;
    clk.wall += secs;
    clk.mono += secs;
}

void sysclock_real(void)
{
    clk = sysclock_state{};
}
