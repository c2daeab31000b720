#include "DownloaderConnection.h"

#include <windows.h>

#include <exception>

#include "Text.h"

const std::wstring PipeNamePrefix = L"\\\\.\\pipe\\lumo_downloader_";

namespace {

const char kIdentifier[] = "_4B7E21D9_6A3F_4C82_9E15_0D6C3B8A7F42_{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}";
const std::size_t kSuffixStart = 38;

const int kRetryBudgetMs = 5000;
static_assert(kOpenAttemptLimit == kRetryBudgetMs / kRetryPauseMs + 1, "one attempt at once, one after each pause");

} // namespace

std::wstring MakeInstanceSuffix()
{
    std::string suffix = std::string(kIdentifier).substr(kSuffixStart);
    EraseAll(suffix, '.');
    return Widen(Trim(suffix), CP_UTF8);
}

std::wstring DownloaderPipeName() { return PipeNamePrefix + MakeInstanceSuffix(); }

std::unique_ptr<IPC::Pipe> OpenPipeWithRetry(const std::wstring& name, const RetryWatch& watch)
{
    // One attempt at once, then one after each pause while the budget lasts: 11 attempts, 10 pauses.
    for (int budget = kRetryBudgetMs;; budget -= static_cast<int>(kRetryPauseMs)) {
        try {
            std::unique_ptr<IPC::Pipe> pipe = std::make_unique<IPC::Pipe>(name, true, watch.opened);
            if (watch.attempted)
                watch.attempted(nullptr);
            return pipe;
        } catch (const wexception<std::runtime_error>& error) {
            if (watch.attempted)
                watch.attempted(&error);
            // The downloader may still be starting; only the final failure reaches the caller, which
            // reports it in one line for a debugger. The last attempt's failure goes with it, nested,
            // as the reason: no downloader (2), refused (5), busy, or not a message-mode pipe.
            if (budget <= 0)
                std::throw_with_nested(MAKE_WEXCEPTION(L"Unable to open named pipe."));
        }
        Sleep(kRetryPauseMs);
    }
}

std::unique_ptr<IPC::Pipe> OpenDownloaderPipe() { return OpenPipeWithRetry(DownloaderPipeName()); }
