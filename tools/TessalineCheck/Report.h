// The support tool's report: a line per finding as it is made, then the verdict and its exit code.
#pragma once

#include <windows.h>

#include <string>

#include "ConsoleOutput.h"
#include "Text.h"

// The exit codes, as the usage text documents them.
enum class Outcome {
    Reports = 0,        // Tessaline reports completion, or would
    DoesNotReport = 1,  // it does not, or would not
    ToolFailed = 2,     // a wrong command line, or the Tessaline.exe to run did not start
    AnotherAccount = 3, // registry mode, elevated or as SYSTEM: the hive may not be the product user's
};

struct Verdict {
    Outcome outcome = Outcome::DoesNotReport;
    std::wstring text;
    std::wstring reason; // why it would not report, for a run's verdict to give
};

inline Verdict WouldNotReport(const std::wstring& reason)
{
    return {Outcome::DoesNotReport, L"Tessaline would not report completion: " + reason, reason};
}

// One line of the report, "label: sentence", printed at once: a check that waits shows what it found so far.
inline void Say(const std::wstring& label, const std::wstring& sentence) { PrintLine(label + L": " + sentence); }

// "1.25 s"
inline std::wstring Seconds(DWORD milliseconds)
{
    const DWORD hundredths = (milliseconds + 5) / 10;
    return Decimal(hundredths / 100) + (hundredths % 100 < 10 ? L".0" : L".") + Decimal(hundredths % 100) + L" s";
}
