// TessalineBurst: a burst of Tessaline runs at once against whatever serves the downloader's pipe:
//   TessalineBurst TESSALINE_EXE [RUNS]
// Starts RUNS runs of Tessaline in pipe mode (default 200) at the same moment, each from a thread of its own,
// and prints how many ended S_OK, how many ended otherwise or not at all, and the seconds to the last end
// and of the slowest run. Asserts nothing.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Handles.h"
#include "ParseCount.h"
#include "RunToEnd.h"

namespace {

const wchar_t kUsage[] = L"usage: TessalineBurst TESSALINE_EXE [RUNS]\n";

} // namespace

int wmain(int argc, wchar_t** argv)
{
    unsigned runs = 200;
    if (argc < 2 || argc > 3 || (argc == 3 && !(ParseCount(argv[2], 2000, runs) && runs > 0))) {
        std::fputws(kUsage, stderr);
        return 2;
    }
    const std::wstring tessaline = argv[1];
    // Every run waits for the same moment, so that the server meets them as one burst.
    const UniqueHandle start(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<unsigned> answered{0};
    std::atomic<unsigned> failed{0};
    std::atomic<DWORD> slowest{0};
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < runs; ++i) {
        threads.emplace_back([&] {
            WaitForSingleObject(start.get(), INFINITE);
            const FinishedRun run = RunToEnd(tessaline, L"", 120000);
            (run.started && run.ended && run.exitCode == 0 ? answered : failed) += 1;
            for (DWORD seen = slowest;
                 run.milliseconds > seen && !slowest.compare_exchange_weak(seen, run.milliseconds);) {
            }
        });
    }
    const DWORD began = GetTickCount();
    SetEvent(start.get());
    for (std::thread& thread : threads)
        thread.join();
    std::printf(
        "# runs at once, ended S_OK, ended otherwise or not at all, seconds to the last end, of the slowest run\n");
    std::printf("%u %u %u %.1f %.1f\n", runs, answered.load(), failed.load(), (GetTickCount() - began) / 1000.0,
                slowest.load() / 1000.0);
    return 0;
}
