// ServerBurst: a burst of simultaneous clients against the shared code's server loop and against a raw
// multi-instance server that makes the same calls with nothing around them, in one process, taking turns:
//   ServerBurst [--rounds N] [COUNT...]      (default: 5 rounds of 100 and of 200 clients)
// Each client opens the pipe as Tessaline does (one wait for a busy pipe, then up to ten more tries, half
// a second apart), sends the 92-byte completion notice and reads the answer. Prints, per count: the
// median time from the release of the clients to the last answer for each server, the median of the
// per-round ratios (loop/raw), and the answers that came. Asserts nothing.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Handles.h"
#include "ParseCount.h"
#include "Pipe.h"
#include "PipeServer.h"

namespace {

const char kTrue[] = {5, 0, 0, 0, 1};

std::string Notice()
{
    OutputBuffer request;
    request.WriteInteger(0);
    request.WriteString(L"{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}");
    return request.Content();
}

// The MSDN pattern: one instance listens; a connected one goes to a thread of its own, which reads the
// request, writes the answer, waits for the client to hang up and closes.
class RawServer {
public:
    explicit RawServer(std::wstring name)
        : name_(std::move(name)), listener_(CreateThread(nullptr, 0, Listen, this, 0, nullptr))
    {}
    ~RawServer()
    {
        // The listener waits in ConnectNamedPipe: a last client of its own releases it.
        stopping_ = 1;
        const UniqueFile last(CreateFileW(name_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        WaitForSingleObject(listener_.get(), INFINITE);
        for (const UniqueHandle& session : sessions_)
            WaitForSingleObject(session.get(), INFINITE);
    }
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

private:
    static DWORD WINAPI Listen(void* context)
    {
        auto& server = *static_cast<RawServer*>(context);
        while (!server.stopping_) {
            UniqueFile pipe(CreateNamedPipeW(server.name_.c_str(), PIPE_ACCESS_DUPLEX,
                                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                             PIPE_UNLIMITED_INSTANCES, 1024, 1024, 0, nullptr));
            const bool connected = ConnectNamedPipe(pipe.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
            if (!connected || server.stopping_)
                continue;
            // The thread owns the instance from its start: it starts once the listener has let it go.
            UniqueHandle session(CreateThread(nullptr, 0, Serve, pipe.get(), CREATE_SUSPENDED, nullptr));
            if (session) {
                static_cast<void>(pipe.release());
                ResumeThread(session.get());
                server.sessions_.push_back(std::move(session));
            }
        }
        return 0;
    }

    static DWORD WINAPI Serve(void* pipe)
    {
        const UniqueFile instance(static_cast<HANDLE>(pipe));
        char buffer[1024];
        DWORD bytes = 0;
        if (ReadFile(instance.get(), buffer, sizeof buffer, &bytes, nullptr) &&
            WriteFile(instance.get(), kTrue, sizeof kTrue, &bytes, nullptr)) {
            while (ReadFile(instance.get(), buffer, sizeof buffer, &bytes, nullptr)) {
            }
        }
        return 0;
    }

    const std::wstring name_;
    volatile LONG stopping_ = 0;
    std::vector<UniqueHandle> sessions_; // only the listener adds, and only before it ends
    UniqueHandle listener_;
};

double NowMs()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart * 1000.0 / frequency.QuadPart;
}

struct Burst {
    std::wstring name;
    std::string request;
    UniqueHandle start;
    volatile LONG answered = 0;
};

struct Client {
    Burst* burst;
    double endedMs = 0;
};

DWORD WINAPI RunClient(void* context)
{
    auto& client = *static_cast<Client*>(context);
    Burst& burst = *client.burst;
    WaitForSingleObject(burst.start.get(), INFINITE);
    for (int attempt = 0; attempt < 11; ++attempt) {
        try {
            IPC::Pipe pipe(burst.name, true);
            OutputBuffer out;
            out.WriteBytes(burst.request);
            pipe.Write(out);
            if (pipe.Read().Content().compare(0, sizeof kTrue, kTrue, sizeof kTrue) == 0)
                InterlockedIncrement(&burst.answered);
            break;
        } catch (const wexception<std::runtime_error>&) {
            Sleep(500);
        }
    }
    client.endedMs = NowMs();
    return 0;
}

// Milliseconds from the release of `count` clients to the last one's end, and how many were answered.
double RunBurst(const std::wstring& name, unsigned count, LONG& answered)
{
    Burst burst{name, Notice(), UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr))};
    std::vector<Client> clients(count, Client{&burst});
    std::vector<UniqueHandle> threads;
    for (Client& client : clients)
        threads.emplace_back(
            CreateThread(nullptr, 64 * 1024, RunClient, &client, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    Sleep(200); // every client waiting for the start
    const double start = NowMs();
    SetEvent(burst.start.get());
    double last = start;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        WaitForSingleObject(threads[i].get(), INFINITE);
        last = std::max(last, clients[i].endedMs);
    }
    answered = burst.answered;
    return last - start;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    unsigned rounds = 5;
    std::vector<unsigned> counts;
    for (int i = 1; i < argc; ++i) {
        unsigned value = 0;
        if (std::wstring(argv[i]) == L"--rounds" && i + 1 < argc && ParseCount(argv[i + 1], 1000, value) && value > 0) {
            rounds = value;
            ++i;
        } else if (ParseCount(argv[i], 1000, value) && value > 0) {
            counts.push_back(value);
        } else {
            std::fputs("usage: ServerBurst [--rounds N] [COUNT...]\n", stderr);
            return 2;
        }
    }
    if (counts.empty())
        counts = {100, 200};

    const std::wstring name = L"\\\\.\\pipe\\tessaline_bench_burst_" + std::to_wstring(GetCurrentProcessId());
    IPC::ServerOptions options;
    options.name = name;
    const auto answer = [](InputBuffer&, OutputBuffer& reply) {
        reply.WriteBoolean(true);
        return true;
    };
    std::printf("# clients, loop ms (median), raw ms (median), loop/raw (median of rounds), answered loop, raw\n");
    for (unsigned count : counts) {
        std::vector<double> loop, raw, ratios;
        LONG loopAnswered = 0, rawAnswered = 0, answered = 0;
        for (unsigned round = 0; round < rounds; ++round) {
            // Taking turns, so that drift weighs on both alike.
            for (int turn = 0; turn < 2; ++turn) {
                if ((turn == 0) == (round % 2 == 0)) {
                    IPC::PipeServer server(options, answer);
                    loop.push_back(RunBurst(name, count, answered));
                    loopAnswered += answered;
                } else {
                    RawServer server(name);
                    raw.push_back(RunBurst(name, count, answered));
                    rawAnswered += answered;
                }
            }
            ratios.push_back(loop.back() / std::max(raw.back(), 1.0));
        }
        std::printf("%u %.0f %.0f %.2f %ld/%u %ld/%u\n", count, Median(loop), Median(raw), Median(ratios), loopAnswered,
                    count * rounds, rawAnswered, count * rounds);
    }
    return 0;
}
