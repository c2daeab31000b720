#include "RunToEnd.h"

#include <cwchar>

#include "Handles.h"
#include "QuoteArgument.h"

UniqueHandle KillOnCloseJob(DWORD& error)
{
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job || !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        error = GetLastError();
        job.reset();
    }
    return job;
}

FinishedRun RunToEnd(const std::wstring& program, const std::wstring& arguments, DWORD limitMs)
{
    FinishedRun run;
    std::wstring commandLine = QuoteArgument(program);
    if (!arguments.empty())
        commandLine += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    const UniqueHandle job = KillOnCloseJob(run.jobError);
    const DWORD start = GetTickCount();
    // Suspended until it is in the job, so that none of it runs outside.
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &info)) {
        run.startError = GetLastError();
        return run;
    }
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    if (job && !AssignProcessToJobObject(job.get(), process.get()))
        run.jobError = GetLastError();
    ResumeThread(thread.get());
    run.started = true;
    run.processId = info.dwProcessId;
    run.ended = WaitForSingleObject(process.get(), limitMs) == WAIT_OBJECT_0;
    GetProcessIoCounters(process.get(), &run.io);
    if (!run.ended) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), INFINITE);
    }
    run.milliseconds = GetTickCount() - start;
    GetExitCodeProcess(process.get(), &run.exitCode);
    return run;
}

std::wstring ExitCodeText(DWORD code)
{
    const wchar_t* meaning = code == S_OK ? L"S_OK" : code == static_cast<DWORD>(E_FAIL) ? L"E_FAIL" : L"unexpected";
    wchar_t text[64];
    std::swprintf(text, 64, L"0x%08lX (%ls, %ld)", code, meaning, static_cast<long>(code));
    return text;
}
