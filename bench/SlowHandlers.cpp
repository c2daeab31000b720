// SlowHandlers: requests whose handler takes its time, at once, after a load of requests one after another,
// against the shared code's server loop as a downloader builds on it (the defaults but the name):
//   SlowHandlers [--handler-ms MS] [SEQUENTIAL:AT_ONCE...]   (default: 1000 ms; 0:2 40:20 300:20 300:2)
// For each pair, in one server: SEQUENTIAL notices answered one after another, then AT_ONCE clients that
// send theirs together. Prints the time from the release of those clients to the last answer (one
// handler's time when they are handled together, AT_ONCE handlers' times when one after another), the
// answers that came, and the threads of this process before the server, with the server idle, after the
// sequential load and after the burst. Each pair is best measured in a process of its own: threads that a
// pair's burst started may still be winding down when the next pair begins. Asserts nothing.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Handles.h"
#include "ParseCount.h"
#include "PipeServer.h"
#include "ThreadCount.h"

namespace {

int Threads() { return ThreadsOf(GetCurrentProcessId()); }

struct Burst {
    const std::wstring* name;
    HANDLE release;
    LONG answered;
};

// One client as Tessaline is: opened (waiting for a busy pipe, trying again), one notice, one answer.
bool Exchange(const std::wstring& name)
{
    UniqueFile pipe;
    for (int attempt = 0; attempt < 11 && !pipe; ++attempt) {
        pipe.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!pipe && !(GetLastError() == ERROR_PIPE_BUSY && WaitNamedPipeW(name.c_str(), 3000)))
            Sleep(500);
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    const char notice[] = {0, 0, 0, 0};
    char reply[16];
    DWORD bytes = 0;
    return pipe && SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr) &&
           WriteFile(pipe.get(), notice, sizeof notice, &bytes, nullptr) &&
           ReadFile(pipe.get(), reply, sizeof reply, &bytes, nullptr) && bytes >= 5 && reply[4] != 0;
}

DWORD WINAPI Client(void* context)
{
    Burst& burst = *static_cast<Burst*>(context);
    WaitForSingleObject(burst.release, INFINITE);
    if (Exchange(*burst.name))
        InterlockedIncrement(&burst.answered);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    unsigned handlerMs = 1000;
    std::vector<std::pair<unsigned, unsigned>> loads;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        const std::size_t colon = argument.find(L':');
        unsigned first = 0, second = 0;
        if (argument == L"--handler-ms" && i + 1 < argc && ParseCount(argv[i + 1], 60000, handlerMs)) {
            ++i;
        } else if (colon != std::wstring::npos && ParseCount(argument.substr(0, colon).c_str(), 100000, first) &&
                   ParseCount(argument.substr(colon + 1).c_str(), 1000, second)) {
            loads.emplace_back(first, second);
        } else {
            std::fputs("usage: SlowHandlers [--handler-ms MS] [SEQUENTIAL:AT_ONCE...]\n", stderr);
            return 2;
        }
    }
    if (loads.empty())
        loads = {{0, 2}, {40, 20}, {300, 20}, {300, 2}};

    std::printf("# sequential, at once, ms to the last answer, answered, threads before the server, with it idle, "
                "after the sequential load, after the burst (handler %u ms)\n",
                handlerMs);
    for (const auto& load : loads) {
        const std::wstring name = L"\\\\.\\pipe\\tessaline_bench_slow_" + std::to_wstring(GetCurrentProcessId());
        IPC::ServerOptions options;
        options.name = name;
        const int before = Threads();
        IPC::PipeServer server(options, [handlerMs](InputBuffer& request, OutputBuffer& reply) {
            if (request.Content().size() == 4) // the burst's
                Sleep(handlerMs);
            reply.WriteBoolean(true);
            return true;
        });
        Sleep(100); // the instances listening ahead are made
        const int idle = Threads();
        unsigned sequentialAnswered = 0;
        for (unsigned i = 0; i < load.first; ++i) {
            // A request of another length: answered at once.
            UniqueFile pipe(
                CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            DWORD mode = PIPE_READMODE_MESSAGE, bytes = 0;
            char reply[16];
            sequentialAnswered += pipe && SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr) &&
                                  WriteFile(pipe.get(), "one", 3, &bytes, nullptr) &&
                                  ReadFile(pipe.get(), reply, sizeof reply, &bytes, nullptr);
        }
        const int afterSequential = Threads();
        const UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        Burst burst{&name, release.get(), 0};
        std::vector<UniqueHandle> clients;
        for (unsigned i = 0; i < load.second; ++i)
            clients.emplace_back(CreateThread(nullptr, 0, Client, &burst, 0, nullptr));
        Sleep(100); // the clients wait at the release
        LARGE_INTEGER frequency, start, end;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        SetEvent(release.get());
        for (const UniqueHandle& client : clients)
            WaitForSingleObject(client.get(), INFINITE);
        QueryPerformanceCounter(&end);
        const int afterBurst = Threads();
        std::printf("%u %u %.0f %ld/%u %d %d %d %d%s\n", load.first, load.second,
                    1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                        static_cast<double>(frequency.QuadPart),
                    burst.answered, load.second, before, idle, afterSequential, afterBurst,
                    sequentialAnswered == load.first ? "" : " (sequential ones unanswered)");
        std::fflush(stdout);
    }
    return 0;
}
