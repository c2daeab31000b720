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
    const char* broken = nullptr;    // FAIL: the requirement broken, when not the check's first
};

// What the checks learn once and share: the first exchange, the burst, whether the pipe has gone.
struct CheckContext;

struct Check {
    const char* id;       // "2.1": group and number
    const wchar_t* title; // what passes
    // The numbered requirements of docs/protocol.md that it tests ("R4.1"); a failure breaks the first,
    // unless its result names another.
    std::vector<const char*> requirements;
    const char* needs; // a check whose failure leaves this one nothing to look at, or nullptr
    bool usesPipe;     // it connects: not run once the pipe has gone
    CheckResult (*run)(CheckContext& context);
};

// Every check, in the order they run.
const std::vector<Check>& AllChecks();
// The title of a group: "The pipe", ...
const wchar_t* GroupTitle(int group);
// The requirements a check tests, as its lines show them: "[R4.1, R2.2]".
std::wstring Cited(const Check& check);
// The requirement a failed check breaks: "breaks protocol.md R4.1".
std::wstring Broken(const Check& check, const CheckResult& result);

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
