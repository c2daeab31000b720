// SilentFlood: Tessaline runs among silent clients that come back, against whatever serves the pipe:
//   SilentFlood [--clients N] [--runs R] [--pipe NAME] TESSALINE_EXE
// N clients of the pipe (default 300) in this one process send nothing and open the pipe again as soon as
// the server drops them, as an aggressive client would: at once, and on a busy pipe after WaitNamedPipeW.
// Once they hold what the server gives them, R runs of Tessaline (default 5) in pipe mode, one after the
// other. Prints each run's seconds, the clients' reconnects during it and its full exit code. Asserts nothing.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "DownloaderConnection.h"
#include "Handles.h"
#include "ParseCount.h"
#include "RunToEnd.h"
#include "Text.h"

namespace {

class Flood;

// One silent client: its end of the pipe, and a read of one byte that stays pending until the server
// drops it (the read then fails), since no reply comes to a client that sent nothing.
struct Client {
    Flood* flood = nullptr;
    UniqueFile pipe;
    OVERLAPPED read = {};
    char byte = 0;
    bool came = false; // connected once: each connection after the first is a reconnect
};

// The clients: one thread sees every drop on one completion port and opens the pipe again at once; a
// client that finds it busy waits for it (WaitNamedPipeW) on a thread of the pool, all of them at the
// same time, as clients of separate threads or processes would.
class Flood {
public:
    Flood(std::wstring name, unsigned count)
        : name_(std::move(name)), clients_(count), port_(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1))
    {
        for (Client& client : clients_)
            client.flood = this;
        if (port_)
            thread_.reset(CreateThread(nullptr, 0, Main, this, 0, nullptr));
    }
    ~Flood()
    {
        InterlockedExchange(&stopping_, 1);
        PostQueuedCompletionStatus(port_.get(), 0, kWake, nullptr);
        WaitForSingleObject(thread_.get(), INFINITE);
    }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

    bool Running() const { return static_cast<bool>(thread_); }
    LONG Connected() const { return connected_; }
    LONG Reconnects() const { return reconnects_; }

private:
    static constexpr ULONG_PTR kWake = ~ULONG_PTR(0);
    // The longest a waiting client waits for a busy pipe before it looks at the stop again.
    static constexpr DWORD kBusyWaitMs = 500;

    static DWORD WINAPI Main(void* flood)
    {
        static_cast<Flood*>(flood)->Run();
        return 0;
    }

    void Run()
    {
        for (Client& client : clients_)
            Connect(client);
        for (;;) {
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* done = nullptr;
            const BOOL read = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &done, INFINITE);
            if (done == nullptr && (key == kWake || !read))
                break;
            if (done == nullptr)
                continue;
            InterlockedDecrement(&pending_);
            Client& client = clients_[key];
            if (read && Read(client))
                continue;
            client.pipe.reset();
            InterlockedDecrement(&connected_);
            Connect(client);
        }
        // The waiting clients end within kBusyWaitMs of the stop; then every read is cancelled, and each
        // has ended, with its packet, before its OVERLAPPED and its pipe go.
        while (waiters_ > 0)
            Sleep(10);
        for (Client& client : clients_)
            if (client.pipe)
                CancelIoEx(client.pipe.get(), &client.read);
        while (pending_ > 0) {
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* done = nullptr;
            GetQueuedCompletionStatus(port_.get(), &bytes, &key, &done, INFINITE);
            if (done != nullptr)
                InterlockedDecrement(&pending_);
        }
    }

    // Opens the pipe at once, or has the client wait for it.
    void Connect(Client& client)
    {
        if (Open(client))
            return;
        InterlockedIncrement(&waiters_);
        if (!QueueUserWorkItem(Wait, &client, WT_EXECUTELONGFUNCTION))
            Wait(&client); // no thread of the pool: the drops wait meanwhile
    }

    static DWORD WINAPI Wait(void* context)
    {
        Client& client = *static_cast<Client*>(context);
        Flood& flood = *client.flood;
        while (!flood.stopping_ && !flood.Open(client)) {
            if (!WaitNamedPipeW(flood.name_.c_str(), kBusyWaitMs) && GetLastError() != ERROR_SEM_TIMEOUT)
                Sleep(10); // no instance at all: the server is not there, or between two
        }
        InterlockedDecrement(&flood.waiters_);
        return 0;
    }

    // Connected, and its read pending: true, and from then on the client is the port thread's. Not after
    // the stop, so that no read starts once they are being cancelled.
    bool Open(Client& client)
    {
        UniqueFile pipe(CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr));
        if (!pipe || stopping_ ||
            CreateIoCompletionPort(pipe.get(), port_.get(), static_cast<ULONG_PTR>(&client - clients_.data()), 0) ==
                nullptr)
            return false;
        client.pipe = std::move(pipe);
        if (client.came)
            InterlockedIncrement(&reconnects_);
        client.came = true;
        InterlockedIncrement(&connected_);
        if (Read(client))
            return true;
        InterlockedDecrement(&connected_);
        client.pipe.reset();
        return false;
    }

    // Its packet comes, at once or at the drop: true; false when the read failed at once.
    bool Read(Client& client)
    {
        client.read = OVERLAPPED();
        InterlockedIncrement(&pending_);
        if (ReadFile(client.pipe.get(), &client.byte, 1, nullptr, &client.read) || GetLastError() == ERROR_IO_PENDING)
            return true;
        InterlockedDecrement(&pending_);
        return false;
    }

    const std::wstring name_;
    std::vector<Client> clients_;
    UniqueHandle port_;
    volatile LONG stopping_ = 0;
    volatile LONG pending_ = 0; // reads whose packet has not come
    volatile LONG waiters_ = 0; // clients waiting for the pipe
    volatile LONG connected_ = 0;
    volatile LONG reconnects_ = 0;
    UniqueHandle thread_;
};

const wchar_t kUsage[] = L"usage: SilentFlood [--clients N] [--runs R] [--pipe NAME] TESSALINE_EXE\n";

} // namespace

int wmain(int argc, wchar_t** argv)
{
    unsigned clients = 300;
    unsigned runs = 5;
    std::wstring name = DownloaderPipeName();
    std::wstring tessaline;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const bool takesValue = option == L"--clients" || option == L"--runs" || option == L"--pipe";
        const wchar_t* value = takesValue && i + 1 < argc ? argv[++i] : nullptr;
        bool valid = true;
        if (option == L"--clients")
            valid = ParseCount(value, 10000, clients);
        else if (option == L"--runs")
            valid = ParseCount(value, 1000, runs) && runs > 0;
        else if (option == L"--pipe")
            valid = value != nullptr && (name = value, true);
        else if (tessaline.empty() && option.rfind(L"--", 0) != 0)
            tessaline = option;
        else
            valid = false;
        if (!valid) {
            std::fputws(kUsage, stderr);
            return 2;
        }
    }
    if (tessaline.empty()) {
        std::fputws(kUsage, stderr);
        return 2;
    }

    Flood flood(name, clients);
    if (!flood.Running()) {
        std::fprintf(stderr, "SilentFlood: cannot start the clients (error %lu)\n", GetLastError());
        return 1;
    }
    // They hold what they can once all are connected, or once the count stops growing (the server full),
    // for at most a minute.
    LONG held = -1;
    for (DWORD still = 0, waited = 0; waited < 60000 && still < 1000; waited += 100) {
        Sleep(100);
        const LONG now = flood.Connected();
        still = now == held ? still + 100 : 0;
        held = now;
        if (now == static_cast<LONG>(clients))
            break;
    }
    std::printf(
        "# clients, connected before the first run; then per run: seconds, reconnects during it, full exit code\n");
    std::printf("clients %u %ld\n", clients, held);
    for (unsigned run = 1; run <= runs; ++run) {
        const LONG before = flood.Reconnects();
        const FinishedRun finished = RunToEnd(tessaline, L"", 120000);
        const LONG reconnects = flood.Reconnects() - before;
        if (!finished.started) {
            std::fprintf(stderr, "SilentFlood: cannot start %s (error %lu)\n", Narrow(tessaline, CP_UTF8).c_str(),
                         finished.startError);
            return 1;
        }
        std::printf("%u %.1f %ld %s\n", run, finished.milliseconds / 1000.0, reconnects,
                    finished.ended ? Narrow(ExitCodeText(finished.exitCode), CP_UTF8).c_str() : "did not end");
        std::fflush(stdout);
    }
    std::printf("reconnects %ld\n", flood.Reconnects());
    return 0;
}
