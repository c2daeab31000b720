// The results as a JUnit XML report, for a downloader's own CI.
#pragma once

#include <string>
#include <vector>

#include "Checks.h"

struct CheckRecord {
    const Check* check;
    CheckResult result;
    double seconds;
};

// The report: one test suite per group, one test case per check; a failed check, and one that could not
// run, carry a failure with its detail.
std::string JUnitReport(const std::wstring& pipe, const std::vector<CheckRecord>& records);
