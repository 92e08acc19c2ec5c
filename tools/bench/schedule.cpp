// Cost of the schedules: reading a full set of entries (32 special days, 32
// weekly and 32 monthly ones in each of the shutdown and the self-test
// sections, 192 in all) into the engine's schedule state and the monitors'
// list, and one engine tick (a request with no work of its own) with that
// set in force beside a tick with no schedules at all, and the tick after a
// scheduled shutdown's instant has passed, which reads the set anew.  The daemon ticks the
// engine at least once a second, so a tick must stay far below that.
//
// Figures in microseconds on the monotonic clock: min, median, max of the
// runs.  The engine reads a staged configuration in a temporary system root
// on the disk that holds $TMPDIR (or /tmp); its clock stands still at a
// fixed instant, so every run sees the same schedules, none of them due.
#include "agent/strings.h"
#include "agent/sysclock.h"
#include "agent/sysroot.h"
#include "ea/daemon2event_api.h"
#include "ea/ea_schlist.h"
#include "ea/ea_state.h"
#include "ea/filehandle.h"

#include "ea/engine_stage.h"
#include "testutil.h"
#include "stats.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace
{

constexpr int kPerKind = 32;
const time_t t0 = 1772000000; // a Wednesday, February 2026

double now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

int quiet(int, char *, unsigned, unsigned)
{
    return 0;
}

// One section's entries; none of them comes due within a day of t0.
std::string section(const char *name, bool shutdown)
{
    struct tm now;
    localtime_r(&t0, &now);
    std::string s = std::string("[ ") + name + " ]\n";
    auto key = [&](const char *k, int i, const std::string &v) {
        s += std::string(k) + std::to_string(i) + " = " + v + "\n";
    };
    for (int i = 1; i <= kPerKind; i++) {
        int minute = (i * 7) % 60, hour = 1 + i % 20, day = 1 + i % 28, month = (i * 5) % 12;
        std::string mh = std::to_string(minute) + " " + std::to_string(hour);
        std::string mh2 = std::to_string(minute) + " " + std::to_string(hour + 2);
        std::string special = " " + std::to_string(day) + " " + std::to_string(month) + " * " +
                              std::to_string(now.tm_year + 1);
        key("SPECIALDAYSTART", i, mh + special);
        key("SPECIALDAYEND", i, mh2 + special);
        std::string wd = " * * " + std::to_string((now.tm_wday + 2 + i % 4) % 7);
        key("WEEKLYSTART", i, mh + wd);
        key("WEEKLYEND", i, mh2 + wd);
        std::string md = " " + std::to_string(1 + (now.tm_mday + 2 + i % 20) % 28) + " * *";
        key("MONTHLYSTART", i, mh + md);
        key("MONTHLYEND", i, mh2 + md);
        if (shutdown) {
            key("SpecScheduleOn", i, "1");
            key("WeekScheduleOn", i, std::to_string(i % 2));
            key("MonthScheduleOn", i, "1");
            key("MONTHLYDUR", i, "90");
        }
    }
    for (const char *k : {"SPECIALNO", "WEEKLYNO", "MONTHLYNO"})
        s += std::string(k) + " = " + std::to_string(kPerKind) + "\n";
    return s;
}

// min, median and max of runs calls of f, in microseconds.
template <typename F> void report(const char *what, int runs, F f)
{
    std::vector<double> t;
    for (int i = 0; i < runs; i++) {
        double t0us = now_us();
        if (!f()) {
            printf("%-44s failed\n", what);
            return;
        }
        t.push_back(now_us() - t0us);
    }
    printf("%-44s %9.2f %9.2f %9.2f  %d runs\n", what, bench::percentile(t, 0),
           bench::percentile(t, 50), bench::percentile(t, 100), runs);
}

// A fresh engine after its start-up on the given configuration.
struct Engine : testutil::EngineRecords {
    explicit Engine(const std::string &config)
    {
        testutil::write_file(sysroot_path(SP_CONFIG), "[ UPS ]\nComSet = 0\n" + config);
        ea_stateinit();
        ea_setcallback(quiet);
        filehandle_init();
        ui.CommStatus = COMM_ESTABLISHED;
        wp_strlcpy(ui.upsmodel, "QE1000", sizeof ui.upsmodel);
        int unused = 0;
        started = Event_Action(EA_INIT, &in, &unused, &out) == 0;
    }
    ~Engine()
    {
        ea_putschlist(&out, nullptr);
        filehandle_fini();
        ea_setcallback(nullptr);
    }
    bool tick()
    {
        int unused = 0;
        return Event_Action(7, &in, &unused, &out) == 0;
    }
    bool started = false;
};

} // namespace

int main()
{
    testutil::Sysroot root;
    testutil::ProgramRecorder programs; // the engine starts nothing real
    sysclock_fake(t0, 1000.0);
    const std::string full = section("ScheShutDown", true) + section("ScheTest", false);
    printf("%-44s %9s %9s %9s\n", "schedules, one call (us):", "min", "median", "max");
    {
        Engine e(full);
        if (!e.started || ea_st.SCH_off == 0 || ea_st.next_test == 0) {
            printf("the engine did not take the schedules in\n");
            return 1;
        }
        report("getschlist, 192 entries", 300, [] {
            SCHEDULELIST *l = getschlist();
            bool ok = l != nullptr;
            free(l);
            return ok;
        });
        report("engine tick, 192 entries in force", 2000, [&] { return e.tick(); });
        // A shutdown instant a minute past makes the tick read them all anew.
        report("engine tick that reads them anew", 300, [&] {
            ea_st.SCH_off = t0 - 120;
            return e.tick() && ea_st.SCH_off > t0;
        });
    }
    {
        Engine e("");
        if (!e.started) {
            printf("the engine did not start\n");
            return 1;
        }
        report("engine tick, no schedules", 2000, [&] { return e.tick(); });
    }
    sysclock_real();
    return 0;
}
