#include "Watchdog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const unsigned kDefaultLimitSeconds = 20;
// Left between an inner limit and the watchdog's: enough to end a child and report.
const DWORD kReportMarginMs = 2000;

// The test that runs, its limit and the timer that ends the program when the limit passes. Set before
// the timer is armed and read only by its callback and by the test's own thread.
std::string RunningTest;
DWORD LimitMs = 0;
DWORD ArmedAt = 0;
HANDLE Timer = nullptr;

VOID CALLBACK OnTimeUp(PVOID, BOOLEAN)
{
    std::printf("\nwatchdog: %s is still running after %.1f s: a wait or a read that never ends\n", RunningTest.c_str(),
                LimitMs / 1000.0);
    std::fflush(stdout);
    // The children go with the test program: they run in its kill-on-close job.
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
    LimitMs = Scaled(seconds * 1000);
    ArmedAt = GetTickCount();
    CreateTimerQueueTimer(&Timer, nullptr, OnTimeUp, nullptr, LimitMs, 0, WT_EXECUTEONLYONCE);
}

class WatchdogListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& test) override
    {
        RunningTest = std::string(test.test_suite_name()) + "." + test.name();
        Arm(kDefaultLimitSeconds);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { Disarm(); }
};

double TimeScale()
{
    static const double scale = [] {
        const char* text = std::getenv("TESSALINE_TIME_SCALE");
        const double value = text != nullptr ? std::strtod(text, nullptr) : 1.0;
        return value >= 1.0 ? value : 1.0;
    }();
    return scale;
}

} // namespace

DWORD Scaled(DWORD milliseconds) { return static_cast<DWORD>(milliseconds * TimeScale()); }

void SetTestTimeLimit(unsigned seconds) { Arm(seconds); }

DWORD InnerLimitMs()
{
    const DWORD margin = Scaled(kReportMarginMs);
    const DWORD used = GetTickCount() - ArmedAt;
    return used + margin < LimitMs ? LimitMs - margin - used : 0;
}

void InstallWatchdog()
{
    std::printf("time scale %.1f (TESSALINE_TIME_SCALE)\n", TimeScale());
    // GoogleTest owns its listeners.
    ::testing::UnitTest::GetInstance()->listeners().Append(new WatchdogListener());
}
