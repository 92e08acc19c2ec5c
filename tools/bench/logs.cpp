// Cost of the event log: one append that trims a full log of 200 lines and
// of 100 000 lines, one append below the limit, and reading 200 lines back,
// beside one plain write of the same 44-byte line to an open file (the
// floor).  A trim rewrites the rest of the log into a work file, syncs it and
// renames it over the log, so its cost grows with the log and with the
// disk's sync.
//
// Each figure is the median of its runs (the best in brackets), in
// microseconds, on the monotonic clock.  Everything runs in a temporary
// system root on the disk that holds $TMPDIR (or /tmp).
#include "agent/sysroot.h"
#include "ea/ea_history.h"
#include "ea/ea_state.h"

#include "testutil.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

double now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

const char line[] = " 7/ 3/2026  9: 5: 4   7 255           bench\n";

void fill_log(int lines)
{
    std::string s;
    s.reserve(static_cast<size_t>(lines) * 44);
    for (int i = 0; i < lines; i++)
        s += line;
    testutil::write_file(sysroot_path(SP_EVENTLOG), s);
}

// Median and best of runs calls of f.
template <typename F> void report(const char *what, int runs, F f)
{
    std::vector<double> t;
    for (int i = 0; i < runs; i++) {
        double t0 = now_us();
        if (!f()) {
            printf("%-36s failed\n", what);
            return;
        }
        t.push_back(now_us() - t0);
    }
    std::sort(t.begin(), t.end());
    printf("%-36s %10.1f  (%.1f)  %d runs\n", what, t[t.size() / 2], t[0], runs);
}

} // namespace

int main()
{
    testutil::Sysroot root;
    ea_stateinit();
    printf("event log, one call (us): median (best)\n");

    std::string plain = root.at("/tmp/plain.log");
    int fd = open(plain.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        perror("logs: plain file");
        return 1;
    }
    report("plain write of one line (floor)", 2000, [&] { return write(fd, line, 44) == 44; });
    close(fd);

    fill_log(100);
    report("append below the limit", 1000, [] { return eventlog(7, 1000000, 255, "bench") == 0; });
    fill_log(200);
    report("append, trimming at 200 lines", 300,
           [] { return eventlog(7, 200, 255, "bench") == 0; });
    fill_log(100000);
    report("append, trimming at 100 000 lines", 30,
           [] { return eventlog(7, 100000, 255, "bench") == 0; });

    fill_log(200);
    report("read 200 lines back", 1000, [] {
        LOGRANGE r = {0, 200};
        EVENTLOGARRAY a = {};
        bool ok = geteventlog(&r, &a) == 0 && a.rnum == 200;
        free(a.eventlogarray);
        return ok;
    });
    return 0;
}
