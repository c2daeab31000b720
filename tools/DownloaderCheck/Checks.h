// The numbered checks of a downloader's pipe server against the contract of docs/protocol.md.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "ProbeClient.h"

struct CheckTarget {
    std::wstring name; // the pipe
    DWORD answerMs = 5000;
    unsigned burst = 16;
};

enum class Verdict { Pass, Fail, NotRun };

struct CheckResult {
    Verdict verdict = Verdict::Fail;
    std::wstring detail;             // PASS: what was seen; FAIL: what was seen against what the contract asks
    std::vector<std::wstring> notes; // what only Windows can tell, and the like
};

// What the checks learn once and share: the first exchange, the burst, whether the pipe has gone.
struct CheckContext;

struct Check {
    const char* id;         // "2.1": group and number
    const wchar_t* title;   // what passes
    const wchar_t* section; // the section of docs/protocol.md that asks for it
    const char* needs;      // a check whose failure leaves this one nothing to look at, or nullptr
    bool usesPipe;          // it connects: not run once the pipe has gone
    CheckResult (*run)(CheckContext& context);
};

// Every check, in the order they run.
const std::vector<Check>& AllChecks();
// The title of a group: "The pipe", ...
const wchar_t* GroupTitle(int group);

class CheckRun {
public:
    explicit CheckRun(const CheckTarget& target);
    ~CheckRun();
    CheckRun(const CheckRun&) = delete;
    CheckRun& operator=(const CheckRun&) = delete;

    // Runs the check, or says why it does not: a check it needs failed, or the pipe has gone.
    CheckResult Run(const Check& check);

private:
    std::unique_ptr<CheckContext> context_;
};
