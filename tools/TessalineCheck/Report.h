// The support tool's report: a line per finding as it is made, then the verdict and its exit code.
#pragma once

#include <windows.h>

#include <string>

#include "ConsoleOutput.h"
#include "Seconds.h"
#include "Text.h"
#include "ToolGuard.h"

// The exit codes, as the usage text documents them; each means one thing.
enum class Outcome {
    Reports = 0,              // Tessaline reports completion, or would, and the look holds for a setup's run
    DoesNotReport = 1,        // it does not, or would not
    ToolFailed = kToolFailed, // a wrong command line, a Tessaline.exe to run that did not start, or the tool failed
    // 3 is the code the C runtime's abort() ends a program with; the tool turns an abort into 2.
    ReportsForThisAccount = 4, // it reports, or would, for this tool's account; a setup's may fare otherwise
};

struct Verdict {
    Outcome outcome = Outcome::DoesNotReport;
    std::wstring text;
    unsigned differences = 0; // what may make a setup's run fare otherwise (SetupDifference bits)
};

inline Verdict WouldNotReport(const std::wstring& reason, unsigned differences = 0)
{
    return {Outcome::DoesNotReport, L"Tessaline would not report completion: " + reason, differences};
}

// Completion reported, or that it would be: for this account only when something may make a setup differ.
inline Verdict Reported(const std::wstring& text, unsigned differences)
{
    if (differences == 0)
        return {Outcome::Reports, text, 0};
    return {Outcome::ReportsForThisAccount,
            text + L"; for this tool's account, and a setup's may fare otherwise (see "
                   L"the warnings)",
            differences};
}

// One line of the report, "label: sentence", printed at once: a check that waits shows what it found so far.
inline void Say(const std::wstring& label, const std::wstring& sentence) { PrintLine(label + L": " + sentence); }
