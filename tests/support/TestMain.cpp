#include <gtest/gtest.h>

#include "Watchdog.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    InstallWatchdog();
    return RUN_ALL_TESTS();
}
