#include "Watchdog.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace {

const unsigned kDefaultLimitSeconds = 20;

// The test that runs and its deadline, watched by a thread of its own. It lives as long as the process.
class Deadline {
public:
    Deadline()
    {
        std::thread([this] { Watch(); }).detach();
    }

    void Start(const std::string& test)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        test_ = test;
        limit_ = kDefaultLimitSeconds;
        end_ = std::chrono::steady_clock::now() + std::chrono::seconds(limit_);
        changed_.notify_all();
    }

    void Extend(unsigned seconds)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        limit_ = seconds;
        end_ = std::chrono::steady_clock::now() + std::chrono::seconds(limit_);
        changed_.notify_all();
    }

    void Stop()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        test_.clear();
        changed_.notify_all();
    }

private:
    void Watch()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (test_.empty()) {
                changed_.wait(lock);
            } else if (changed_.wait_until(lock, end_) == std::cv_status::timeout && !test_.empty() &&
                       std::chrono::steady_clock::now() >= end_) {
                std::printf("\nwatchdog: %s is still running after %u s: a wait or a read that never ends\n",
                            test_.c_str(), limit_);
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 3);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string test_; // empty between tests
    unsigned limit_ = kDefaultLimitSeconds;
    std::chrono::steady_clock::time_point end_;
};

Deadline& TheDeadline()
{
    static Deadline* deadline = new Deadline();
    return *deadline;
}

class WatchdogListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& test) override
    {
        TheDeadline().Start(std::string(test.test_suite_name()) + "." + test.name());
    }
    void OnTestEnd(const ::testing::TestInfo&) override { TheDeadline().Stop(); }
};

} // namespace

void SetTestTimeLimit(unsigned seconds) { TheDeadline().Extend(seconds); }

void InstallWatchdog()
{
    // GoogleTest owns its listeners.
    ::testing::UnitTest::GetInstance()->listeners().Append(new WatchdogListener());
}
