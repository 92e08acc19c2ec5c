// Every test runs inside a staged system root: even a test that forgets to
// stage its own finds the fixed paths under a throw-away directory, never on
// the real host.
#include "testutil.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    testutil::Sysroot root;
    return RUN_ALL_TESTS();
}
