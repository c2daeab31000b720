#include "CompletionNotice.h"

#include "DebugTrace.h"
#include "DownloaderConnection.h"

std::shared_ptr<IPC::Pipe> PipeHolder;

void BuildCompletionRequest(OutputBuffer& request)
{
    const std::wstring suffix = MakeInstanceSuffix();
    request.WriteInteger(0);
    request.WriteString(suffix);
}

std::string CompletionRequestBytes()
{
    OutputBuffer request;
    BuildCompletionRequest(request);
    return request.Content();
}

bool SendCompletionNotice(const OutputBuffer& request, InputBuffer& reply)
{
    try {
        if (!PipeHolder)
            PipeHolder = OpenDownloaderPipe();
        PipeHolder->Write(request);
        reply = PipeHolder->Read();
        return true;
    } catch (...) {
        TraceCaughtException(L"completion notice failed with an unknown exception");
    }
    return false;
}

HRESULT ResultOfReply(InputBuffer& reply) { return reply.ReadBoolean() ? S_OK : E_FAIL; }

HRESULT NotifyDownloader()
{
    OutputBuffer request;
    InputBuffer reply;
    BuildCompletionRequest(request);
    if (!SendCompletionNotice(request, reply))
        return E_FAIL;
    // The downloader may send something that is not an answer: that is a failed exchange like any other,
    // ended here with its one line, not an escape for the process guard.
    try {
        return ResultOfReply(reply);
    } catch (const wexception<std::runtime_error>& error) {
        TraceToDebugger(error);
        return E_FAIL;
    }
}
