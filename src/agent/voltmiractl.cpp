#include "agent/agent_manage.h"
#include "agent/sysroot.h"

int main(int argc, char **argv)
{
    // A bad VOLTMIRA_SYSROOT could only lead to the real system's files.
    if (sysroot_init() != 0)
        return 1;
    return manage_main(argc, argv);
}
