#include "DownloaderPipe.h"

#include <windows.h>

#include <cstdio>
#include <locale>

#include "DebugTrace.h"

const std::wstring PipeNamePrefix = L"\\\\.\\pipe\\lumo_downloader_";

namespace {

const char kIdentifier[] = "_4B7E21D9_6A3F_4C82_9E15_0D6C3B8A7F42_{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}";
const std::size_t kSuffixStart = 38;

const int kRetryBudgetMs = 5000;
const DWORD kRetryPauseMs = 500;

std::wstring Utf8ToWide(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length == 0)
        return std::wstring();
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

} // namespace

std::wstring MakeInstanceSuffix()
{
    std::string suffix = std::string(kIdentifier).substr(kSuffixStart);

    std::string::size_type dot;
    while ((dot = suffix.find('.')) != std::string::npos)
        suffix.erase(dot, 1);

    const std::locale& classic = std::locale::classic();
    std::string::size_type first = 0;
    std::string::size_type last = suffix.size();
    while (first < last && std::isspace(suffix[first], classic))
        ++first;
    while (last > first && std::isspace(suffix[last - 1], classic))
        --last;

    return Utf8ToWide(suffix.substr(first, last - first));
}

std::wstring DownloaderPipeName()
{
    const std::wstring suffix = MakeInstanceSuffix();
    const int length = static_cast<int>(PipeNamePrefix.size() + suffix.size());
    std::wstring name(static_cast<std::size_t>(length) + 1, L'\0');
    swprintf(&name[0], name.size(), L"%ls%ls", PipeNamePrefix.c_str(), suffix.c_str());
    name.resize(static_cast<std::size_t>(length));
    return name;
}

std::unique_ptr<IPC::Pipe> OpenPipeWithRetry(const std::wstring& name)
{
    // One attempt at once, then one after each pause while the budget lasts: 11 attempts, 10 pauses.
    for (int budget = kRetryBudgetMs;; budget -= static_cast<int>(kRetryPauseMs)) {
        try {
            return std::make_unique<IPC::Pipe>(name, true);
        } catch (const wexception<std::runtime_error>&) {
            // The downloader may still be starting; only the final failure reaches the caller.
        }
        if (budget <= 0) {
            const auto error = MAKE_WEXCEPTION(L"Unable to open named pipe.");
            TraceToDebugger(error);
            throw error;
        }
        Sleep(kRetryPauseMs);
    }
}

std::unique_ptr<IPC::Pipe> OpenDownloaderPipe() { return OpenPipeWithRetry(DownloaderPipeName()); }
