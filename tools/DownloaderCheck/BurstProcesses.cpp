#include "BurstProcesses.h"

#include <atomic>
#include <thread>
#include <vector>

#include "Checks.h"
#include "CompletionNotice.h"
#include "Handles.h"
#include "MessageBuffer.h"
#include "ProbeClient.h"
#include "QuoteArgument.h"
#include "RunToEnd.h"
#include "Text.h"
#include "ToolGuard.h"
#include "WException.h"

namespace {

// One setup per process up to this many; a larger burst shares them out.
const unsigned kMostProcesses = 16;

// A child's tally as its exit code, under a marker bit: answered, dropped and timed out in 7 bits each (a
// process has at most 63 clients), missing in 10. A child that failed in any other way (the tool's 2, an
// NTSTATUS such as 0xC0000005, whose bit 30 is set) is not read as a tally.
const DWORD kTallyMark = 0x80000000;
const DWORD kMarkMask = 0xC0000000;

struct Field {
    unsigned shift;
    unsigned bits;
};
const Field kAnswered{0, 7}, kDropped{7, 7}, kTimedOut{14, 7}, kMissing{21, 9};

DWORD Put(const Field& field, unsigned count)
{
    const unsigned most = (1u << field.bits) - 1;
    return static_cast<DWORD>(count < most ? count : most) << field.shift;
}

unsigned Take(const Field& field, DWORD code) { return code >> field.shift & ((1u << field.bits) - 1); }

bool ReadsAsBoolean(const std::string& bytes)
{
    try {
        InputBuffer reply(bytes);
        static_cast<void>(reply.ReadBoolean());
        return true;
    } catch (const wexception<std::runtime_error>&) {
        return false;
    }
}

std::wstring StartName(const std::wstring& tag) { return L"Local\\DownloaderCheck-burst-" + tag + L"-start"; }
std::wstring ReadyName(const std::wstring& tag) { return L"Local\\DownloaderCheck-burst-" + tag + L"-ready"; }

std::wstring SecondsArgument(DWORD milliseconds)
{
    const std::wstring thousandths = L"00" + Decimal(milliseconds % 1000);
    return Decimal(milliseconds / 1000) + L"." + thousandths.substr(thousandths.size() - 3);
}

} // namespace

int RunBurstChild(const CheckTarget& target, const std::wstring& tag, unsigned clients)
{
    const UniqueHandle start(OpenEventW(SYNCHRONIZE, FALSE, StartName(tag).c_str()));
    const UniqueHandle ready(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, ReadyName(tag).c_str()));
    if (!start || !ready)
        return kToolFailed;
    std::atomic<unsigned> answered{0}, missing{0}, dropped{0}, timedOut{0};
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < clients; ++i) {
        threads.emplace_back([&] {
            WaitForSingleObject(start.get(), INFINITE);
            ProbeClient client(target.name);
            missing += client.Missing();
            // Closed by the server as soon as it connected, at the last of its attempts: dropped as well.
            const DWORD error = client.OpenError();
            if (!client.Connected()) {
                dropped += error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
                return;
            }
            const DWORD sent = client.Send(CompletionRequestBytes());
            const Answer answer = sent == ERROR_SUCCESS ? client.Receive(target.answerMs) : Answer{sent, {}, 0};
            if (answer.error == ERROR_SUCCESS)
                answered += ReadsAsBoolean(answer.bytes); // else not an answer: lost, but not dropped
            else if (answer.error == ERROR_TIMEOUT)
                ++timedOut;
            else
                ++dropped;
        });
    }
    ReleaseSemaphore(ready.get(), 1, nullptr);
    for (std::thread& thread : threads)
        thread.join();
    return static_cast<int>(kTallyMark | Put(kAnswered, answered) | Put(kDropped, dropped) | Put(kTimedOut, timedOut) |
                            Put(kMissing, missing));
}

BurstTally RunBurstProcesses(const CheckTarget& target)
{
    BurstTally tally;
    tally.processes = target.burst < kMostProcesses ? target.burst : kMostProcesses;
    const std::wstring tag = Decimal(GetCurrentProcessId()) + L"-" + Decimal(GetTickCount());
    const UniqueHandle start(CreateEventW(nullptr, TRUE, FALSE, StartName(tag).c_str()));
    const UniqueHandle ready(CreateSemaphoreW(nullptr, 0, static_cast<LONG>(tally.processes), ReadyName(tag).c_str()));
    DWORD jobError = ERROR_SUCCESS;
    // The processes end with this one, however it ends.
    const UniqueHandle job = KillOnCloseJob(jobError);
    wchar_t self[MAX_PATH];
    if (!start || !ready || GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) {
        tally.startError = GetLastError();
        return tally;
    }
    std::vector<UniqueHandle> processes;
    // None of those started sends a notice then: they end unstarted, in the job or not.
    const auto abandon = [&](DWORD error) {
        for (const UniqueHandle& process : processes)
            TerminateProcess(process.get(), kToolFailed);
        tally.startError = error;
        return tally;
    };
    for (unsigned i = 0; i < tally.processes; ++i) {
        const unsigned share = target.burst / tally.processes + (i < target.burst % tally.processes ? 1 : 0);
        tally.mostPerProcess = share > tally.mostPerProcess ? share : tally.mostPerProcess;
        std::wstring commandLine = QuoteArgument(self) + L" --pipe " + QuoteArgument(target.name) + L" --timeout " +
                                   SecondsArgument(target.answerMs) + L" --burst-child " + tag + L" " + Decimal(share);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(self, &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                            &startup, &info))
            return abandon(GetLastError());
        processes.emplace_back(info.hProcess);
        const UniqueHandle thread(info.hThread);
        if (job)
            AssignProcessToJobObject(job.get(), info.hProcess);
        ResumeThread(thread.get());
    }
    // Every process ready before any client goes, so that the burst comes at once.
    for (unsigned i = 0; i < tally.processes; ++i) {
        if (WaitForSingleObject(ready.get(), 30000) != WAIT_OBJECT_0)
            return abandon(ERROR_TIMEOUT);
    }
    SetEvent(start.get());
    for (const UniqueHandle& process : processes) {
        DWORD code = 0;
        WaitForSingleObject(process.get(), INFINITE);
        if (!GetExitCodeProcess(process.get(), &code) || (code & kMarkMask) != kTallyMark) {
            tally.startError = ERROR_INVALID_DATA;
            continue;
        }
        tally.answered += Take(kAnswered, code);
        tally.dropped += Take(kDropped, code);
        tally.timedOut += Take(kTimedOut, code);
        tally.missing += Take(kMissing, code);
        tally.processesAnswered += Take(kAnswered, code) != 0;
    }
    return tally;
}
