#include "DownloaderStandIn.h"

#include <gtest/gtest.h>

#include "DownloaderConnection.h"
#include "TestPipes.h"

DownloaderRun RunAgainstDownloader(const std::wstring& arguments, DownloaderHandler handler)
{
    const std::wstring name = DownloaderPipeName();
    auto server = ServeOnThread(name, [name, handler]() {
        IPC::Pipe pipe(name, false);
        return handler(pipe);
    });
    DownloaderRun run;
    run.program = RunProgram(L"Tessaline.exe", arguments);
    // A program that connected has been served by now, or is being; one that never did leaves the
    // server waiting for a client.
    if (server.wait_for(std::chrono::milliseconds(Scaled(2000))) != std::future_status::ready)
        static_cast<void>(IPC::CancelPendingConnect());
    try {
        run.request = server.get();
        run.served = true;
    } catch (const wexception<std::runtime_error>&) {
        // No client, or the program left before the handler was done; the caller judges by the exit
        // code and the request.
    }
    return run;
}

DownloaderHandler Answer(const std::string& reply, DWORD delayMs)
{
    return [reply, delayMs](IPC::Pipe& pipe) {
        const std::string request = pipe.Read().Content();
        Sleep(delayMs);
        OutputBuffer out;
        out.WriteBytes(reply);
        pipe.Write(out);
        FlushFileBuffers(pipe.NativeHandle());
        return request;
    };
}
