// main() of every test program: private namespaces first, while the process has one thread.
#include "support/zqtest.h"

namespace zqtest {
void initIsolation();
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    bool listing = ::testing::GTEST_FLAG(list_tests);
    if (!listing) {
        zqtest::initIsolation();
    }
    return RUN_ALL_TESTS();
}
