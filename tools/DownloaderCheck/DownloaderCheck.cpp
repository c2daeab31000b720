// DownloaderCheck: checks whatever serves the downloader's pipe against the contract of protocol.md, one
// numbered check after another, each passed or failed with what was seen, so that a downloader's authors,
// and their CI, can prove a build of the downloader before any setup meets it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "BurstProcesses.h"
#include "Checks.h"
#include "ConsoleOutput.h"
#include "DownloaderConnection.h"
#include "JUnitReport.h"
#include "ParseCount.h"
#include "Text.h"
#include "ToolGuard.h"

// The build sets it from the project's version; a compile outside the build (the linter's) has none.
#ifndef TESSALINE_VERSION
#define TESSALINE_VERSION L"(unversioned)"
#endif

namespace {

// The exit codes, as the usage text documents them.
enum Exit { AllPassed = 0, SomeFailed = 1, ToolFailed = kToolFailed };

const wchar_t Usage[] =
    L"Usage: DownloaderCheck [--pipe NAME] [--timeout SECONDS] [--burst COUNT] [--junit FILE] [--list] [CHECK...]\n"
    L"Checks whatever serves the downloader's pipe now against the contract of protocol.md, check by check.\n"
    L"It sends real completion notices: run it against a downloader under test, never on a customer's machine.\n"
    L"  --pipe NAME        check this pipe instead of the downloader's (a test instance)\n"
    L"  --timeout SECONDS  how long an answer may take (default 5, the time Tessaline gives a downloader to\n"
    L"                     appear; a setup's last page that waits longer looks hung); decimals allowed\n"
    L"  --burst COUNT      clients at once in the burst of checks 5.1 and 5.2 (default 16), each of its own\n"
    L"                     process as a setup's is, up to 16 processes; a larger burst shares them out\n"
    L"  --junit FILE       also write the results to FILE as a JUnit XML report\n"
    L"  --list             list the checks, and run none\n"
    L"  CHECK              run only this check (2.1) or group (4); the default is every check\n"
    L"Exit codes:\n"
    L"  0  every check run passed\n"
    L"  1  a check failed, or could not run (one it needs did not pass, or the pipe had gone)\n"
    L"  2  this tool's command line is wrong, the JUnit report cannot be written, or the tool failed (the\n"
    L"     last line says why); never 3, which the C runtime's abort() gives\n";

struct Options {
    CheckTarget target;
    std::wstring junit;
    std::vector<std::wstring> selected;
    bool list = false;
    bool help = false;
    // A process of the burst that another run of this tool started: its tag and its clients.
    std::wstring burstTag;
    unsigned burstClients = 0;
};

// Seconds with up to three decimals, at most a day, as milliseconds.
bool ParseSeconds(const wchar_t* text, DWORD& milliseconds)
{
    if (text == nullptr)
        return false;
    const std::wstring value = text;
    const std::size_t point = value.find(L'.');
    const std::wstring whole = value.substr(0, point);
    std::wstring fraction = point == std::wstring::npos ? L"" : value.substr(point + 1);
    unsigned seconds = 0, thousandths = 0;
    if (fraction.size() > 3 || !ParseCount(whole.c_str(), 86400, seconds) ||
        (!fraction.empty() &&
         !ParseCount((fraction + std::wstring(3 - fraction.size(), L'0')).c_str(), 999, thousandths)))
        return false;
    milliseconds = seconds * 1000 + thousandths;
    return milliseconds > 0;
}

// The check is the one named, or in the group named: "2.1", or "2" for 2.1 to 2.4.
bool Chosen(const Check& check, const std::wstring& choice)
{
    const std::wstring id = Widen(check.id, CP_UTF8);
    return id == choice || id.compare(0, choice.size() + 1, choice + L".") == 0;
}

std::wstring ParseOptions(int argc, wchar_t** argv, Options& options)
{
    options.target.name = DownloaderPipeName();
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (option == L"--help" || option == L"-h" || option == L"/?") {
            options.help = true;
        } else if (option == L"--list") {
            options.list = true;
        } else if (option == L"--pipe" && value != nullptr && *value != L'\0') {
            options.target.name = argv[++i];
        } else if (option == L"--timeout") {
            if (!ParseSeconds(value, options.target.answerMs))
                return L"--timeout takes seconds, more than 0 and at most 86400, with up to three decimals";
            ++i;
        } else if (option == L"--burst") {
            if (!ParseCount(value, 1000, options.target.burst) || options.target.burst == 0)
                return L"--burst takes a count from 1 to 1000";
            ++i;
        } else if (option == L"--burst-child" && value != nullptr && i + 2 < argc &&
                   ParseCount(argv[i + 2], 1000, options.burstClients)) {
            options.burstTag = argv[i + 1];
            i += 2;
        } else if (option == L"--junit" && value != nullptr && *value != L'\0') {
            options.junit = argv[++i];
        } else if (!option.empty() && option[0] != L'-') {
            bool known = false;
            for (const Check& check : AllChecks())
                known = known || Chosen(check, option);
            if (!known)
                return L"no check or group " + option + L" (--list lists them)";
            options.selected.push_back(option);
        } else {
            return L"unknown option " + option;
        }
    }
    return std::wstring();
}

bool Selected(const Check& check, const std::vector<std::wstring>& selected)
{
    for (const std::wstring& choice : selected) {
        if (Chosen(check, choice))
            return true;
    }
    return selected.empty();
}

int Run(const Options& options)
{
    if (options.list) {
        for (const Check& check : AllChecks())
            PrintLine(Widen(check.id, CP_UTF8) + L"  " + check.title + L" " + Cited(check));
        return AllPassed;
    }
    std::vector<const Check*> chosen;
    for (const Check& check : AllChecks()) {
        if (Selected(check, options.selected))
            chosen.push_back(&check);
    }
    PrintLine(L"DownloaderCheck " TESSALINE_VERSION L": whatever serves " + options.target.name +
              L" now, against the downloader contract of protocol.md");
    PrintLine(L"It sends real completion notices, up to " + Decimal(options.target.burst + 10) +
              L": a downloader that acts on a notice acts now.");

    CheckRun run(options.target);
    std::vector<CheckRecord> records;
    int group = 0;
    for (const Check* check : chosen) {
        if (std::atoi(check->id) != group) {
            group = std::atoi(check->id);
            PrintLine(Decimal(static_cast<unsigned long>(group)) + L" " + GroupTitle(group));
        }
        CheckResult result;
        const DWORD start = GetTickCount();
        const CheckRecord* needed = nullptr;
        for (const CheckRecord& record : records) {
            if (check->needs != nullptr && std::strcmp(record.check->id, check->needs) == 0)
                needed = &record;
        }
        if (needed != nullptr && needed->result.verdict != Verdict::Pass)
            result = {
                Verdict::NotRun, L"not run: it needs " + Widen(check->needs, CP_UTF8) + L", which did not pass", {}};
        else
            result = run.Run(*check);
        records.push_back({check, result, (GetTickCount() - start) / 1000.0});

        std::wstring line = L"  " + Widen(check->id, CP_UTF8) +
                            (result.verdict == Verdict::Pass ? L" PASS  " : L" FAIL  ") + check->title + L" " +
                            Cited(*check);
        if (!result.detail.empty())
            line += L": " + result.detail;
        if (result.verdict == Verdict::Fail)
            line += L" (" + Broken(*check, result) + L")";
        PrintLine(line);
        for (const std::wstring& note : result.notes)
            PrintLine(L"        note: " + note);
    }

    unsigned passed = 0;
    for (const CheckRecord& record : records)
        passed += record.result.verdict == Verdict::Pass;
    const unsigned failed = static_cast<unsigned>(records.size()) - passed;
    if (!options.junit.empty()) {
        const std::string xml = JUnitReport(options.target.name, records);
        FILE* file = _wfopen(options.junit.c_str(), L"wb");
        const bool whole = file != nullptr && std::fwrite(xml.data(), 1, xml.size(), file) == xml.size();
        // What the close fails to write is lost as well.
        if (file == nullptr || std::fclose(file) != 0 || !whole) {
            PrintLine(L"the JUnit report cannot be written to " + options.junit);
            return ToolFailed;
        }
    }
    PrintLine(Decimal(static_cast<unsigned long>(records.size())) + L" checks: " + Decimal(passed) + L" passed, " +
              Decimal(failed) + L" failed");
    return failed == 0 ? AllPassed : SomeFailed;
}

int CheckMain(int argc, wchar_t** argv)
{
    Options options;
    const std::wstring problem = ParseOptions(argc, argv, options);
    if (!problem.empty() || options.help)
        return AnswerUsage(problem, Usage);
    return options.burstTag.empty() ? Run(options)
                                    : RunBurstChild(options.target, options.burstTag, options.burstClients);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    EndFailuresWithToolFailed();
    return RunGuarded(CheckMain, argc, argv);
}
