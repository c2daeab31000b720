#include "RunToEnd.h"

#include "Handles.h"
#include "QuoteArgument.h"

FinishedRun RunToEnd(const std::wstring& program, const std::wstring& arguments, DWORD limitMs)
{
    FinishedRun run;
    std::wstring commandLine = QuoteArgument(program);
    if (!arguments.empty())
        commandLine += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    const DWORD start = GetTickCount();
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        run.startError = GetLastError();
        return run;
    }
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    run.started = true;
    run.processId = info.dwProcessId;
    run.ended = WaitForSingleObject(process.get(), limitMs) == WAIT_OBJECT_0;
    if (!run.ended) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), INFINITE);
    }
    run.milliseconds = GetTickCount() - start;
    GetExitCodeProcess(process.get(), &run.exitCode);
    return run;
}

const char* ExitCodeMeaning(DWORD code)
{
    switch (code) {
    case S_OK:
        return "S_OK";
    case static_cast<DWORD>(E_FAIL):
        return "E_FAIL";
    default:
        return "unexpected";
    }
}
