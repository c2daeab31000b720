#include "Watchdog.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

const unsigned kDefaultLimitSeconds = 20;

// The test that runs, its limit and the timer that ends the program when the limit passes. Set before
// the timer is armed and read only by its callback.
std::string RunningTest;
unsigned LimitSeconds = 0;
HANDLE Timer = nullptr;

VOID CALLBACK OnTimeUp(PVOID, BOOLEAN)
{
    std::printf("\nwatchdog: %s is still running after %u s: a wait or a read that never ends\n", RunningTest.c_str(),
                LimitSeconds);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
}

void Disarm()
{
    if (Timer != nullptr)
        DeleteTimerQueueTimer(nullptr, Timer, INVALID_HANDLE_VALUE);
    Timer = nullptr;
}

void Arm(unsigned seconds)
{
    Disarm();
    LimitSeconds = seconds;
    CreateTimerQueueTimer(&Timer, nullptr, OnTimeUp, nullptr, seconds * 1000, 0, WT_EXECUTEONLYONCE);
}

class WatchdogListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& test) override
    {
        Disarm();
        RunningTest = std::string(test.test_suite_name()) + "." + test.name();
        Arm(kDefaultLimitSeconds);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { Disarm(); }
};

} // namespace

void SetTestTimeLimit(unsigned seconds) { Arm(seconds); }

void InstallWatchdog()
{
    // GoogleTest owns its listeners.
    ::testing::UnitTest::GetInstance()->listeners().Append(new WatchdogListener());
}
