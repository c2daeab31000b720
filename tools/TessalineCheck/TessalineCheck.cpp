// TessalineCheck: says, in sentences a support engineer can paste into a ticket, what Tessaline.exe does
// with the command line a setup gives it, on this machine and for this account, and why it would not
// report completion. It decides with the program's own code (its command line, pipe name, connection retry
// and reading of the reply) and changes nothing unless asked: no marker, and no notice without --send.
#include <windows.h>

#include <cstdio>
#include <string>

#include "AccountCheck.h"
#include "CheckOptions.h"
#include "CommandLine.h"
#include "MarkerCheck.h"
#include "PipeCheck.h"
#include "Report.h"
#include "RunCheck.h"

// The build sets it from the project's version; a compile outside the build (the linter's) has none.
#ifndef TESSALINE_VERSION
#define TESSALINE_VERSION L"(unversioned)"
#endif

namespace {

int Check(int argc, wchar_t** argv)
{
    CheckOptions options;
    const std::wstring problem = ParseCheckOptions(argc, argv, GetCommandLineW(), options);
    if (!problem.empty() || options.help)
        return AnswerUsage(problem.empty() ? problem : L"TessalineCheck: " + problem, CheckUsage);

    PrintLine(L"TessalineCheck " TESSALINE_VERSION L": what Tessaline.exe does with a setup's command line, here and "
              L"for this account");
    Say(L"command line", options.tessalineLine.empty() ? L"(empty)" : options.tessalineLine);
    const ToolAccount account{OwnIdentity(), SessionUser()};
    Say(L"this tool runs as", DescribeIdentity(account.self));
    if (!account.sessionUser.empty())
        Say(L"session's user", account.sessionUser);

    // The program's own command-line code decides the mode and the name.
    const std::wstring name = RegistryName(options.tessalineLine);
    Verdict verdict;
    if (name.empty()) {
        verdict = CheckPipeMode(account, options.send, options.waitSeconds * 1000);
    } else {
        if (options.send)
            Say(L"notice", L"not sent: --send is for pipe mode");
        verdict = CheckRegistryMode(name, account);
    }
    if (!options.run.empty())
        verdict = RunTessaline(options.run, options.tessalineLine, name, options.waitSeconds * 1000, verdict);
    Say(L"verdict", verdict.text);
    return static_cast<int>(verdict.outcome);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    EndFailuresWithToolFailed();
    return RunGuarded(Check, argc, argv);
}
