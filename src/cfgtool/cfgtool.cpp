// The command line of voltmiracfg: which form runs, and what its result
// prints and returns.
#include "cfgtool/cfgtool.h"

#include "agent/proclist.h"
#include "cfgtool/cfg_batt.h"
#include "cfgtool/cfg_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace
{

// The lists have always stopped at 30 processes; callers count on no more.
constexpr int max_pids = 30;

// Exit statuses are the result modulo 256, so -1 reads as 255.
int status(int result)
{
    return result & 0xFF;
}

int port_number(const char *s)
{
    long v = strtol(s, nullptr, 10);
    return v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

// This user's processes whose command line holds name, read from /proc:
// no shell and no work file, so nothing of name reaches a command line
// and no file in a shared directory can be planted.  Returns the number
// of ids stored, or -1 (also for a name longer than PROC_NAME_MAX).
int getprocessidlist(const char *name, pid_t *pids)
{
    return proc_list(name, pids, max_pids);
}

int get_pr(const char *name)
{
    pid_t pids[max_pids];
    int n = getprocessidlist(name, pids);
    printf("%d", n);
    return status(n);
}

int get_prid(const char *name)
{
    pid_t pids[max_pids];
    int n = getprocessidlist(name, pids);
    for (int i = 0; i < n; i++)
        printf("%d\n", static_cast<int>(pids[i]));
    return 0;
}

int get_batt(const char *port)
{
    char model[CFG_MODEL_MAX];
    UPS_TIMEINFO ti = {};
    switch (ProcUpsBatteryCHangeTime(model, &ti, BATT_READ, port_number(port))) {
    case BATT_DONE:
        if (batt_isempty(&ti)) {
            printf("QR empty-batt\n");
            return 2;
        }
        printf("QR ok-batt\n");
        return 0;
    case BATT_QA:
        printf("QA\n");
        return 1;
    case BATT_NODATE:
        printf("QE350..\n");
        return 3;
    default:
        printf("error\n");
        return 255;
    }
}

int set_batt(const char *date, const char *port)
{
    printf("UPS set batt\n");
    char model[CFG_MODEL_MAX];
    UPS_TIMEINFO ti = {};
    // A date the command cannot carry fails before any port is opened.
    if (get_data_from_string(date, &ti) != 0)
        return 255;
    return status(ProcUpsBatteryCHangeTime(model, &ti, BATT_WRITE, port_number(port)));
}

int get_form(int nops, char **ops)
{
    if (nops == 1)
        return status(get_config_key(nullptr, ops[0], stdout));
    if (nops != 2)
        return 255;
    if (strcasecmp(ops[0], "pr") == 0)
        return get_pr(ops[1]);
    if (strcasecmp(ops[0], "prid") == 0)
        return get_prid(ops[1]);
    if (strcasecmp(ops[0], "batt") == 0)
        return get_batt(ops[1]);
    return status(get_config_key(ops[0], ops[1], stdout));
}

int set_form(int nops, char **ops)
{
    if (nops != 3)
        return 255;
    if (strcasecmp(ops[0], "batt") == 0)
        return set_batt(ops[1], ops[2]);
    return status(set_config_file(ops[0], ops[1], ops[2]));
}

} // namespace

int cfgtool_main(int argc, char **argv)
{
    if (argc < 3 || argv == nullptr)
        return 255;
    // Only the first option letter counts: "-g..." or "-G..." gets (so
    // "-gs" is a get), anything else sets.
    bool get = argv[1][0] == '-' && (argv[1][1] == 'g' || argv[1][1] == 'G');
    int rc = get ? get_form(argc - 2, argv + 2) : set_form(argc - 2, argv + 2);
    if (fflush(stdout) != 0 && rc == 0)
        rc = 255;
    return rc;
}
