// The figures the benchmarks print: a percentile of a set of samples.
#ifndef VOLTMIRA_TOOLS_BENCH_STATS_H
#define VOLTMIRA_TOOLS_BENCH_STATS_H

#include <algorithm>
#include <cstddef>
#include <vector>

namespace bench
{

// The sample at p percent (0 the least, 50 the median, 100 the greatest) of
// v, the nearest rank; 0 for no samples.
inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

} // namespace bench

#endif
