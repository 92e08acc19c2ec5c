// voltmiracfg: the configuration helper program (see cfgtool.h).
#include "agent/sysroot.h"
#include "cfgtool/cfgtool.h"

int main(int argc, char **argv)
{
    // Every fixed path must be settled before anything is touched.
    if (sysroot_init() != 0)
        return 1;
    return cfgtool_main(argc, argv);
}
