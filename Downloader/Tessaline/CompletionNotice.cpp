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

bool SendCompletionNotice(const OutputBuffer& request, InputBuffer& reply)
{
    try {
        if (!PipeHolder)
            PipeHolder = OpenDownloaderPipe();
        PipeHolder->Write(request);
        reply = PipeHolder->Read();
        return true;
    } catch (const wexception<std::runtime_error>& error) {
        TraceToDebugger(error);
    } catch (const std::exception& error) {
        TraceToDebugger(error);
    } catch (...) {
        TraceToDebugger(L"completion notice failed with an unknown exception");
    }
    return false;
}

HRESULT NotifyDownloader()
{
    bool result = false;
    OutputBuffer request;
    InputBuffer reply;
    BuildCompletionRequest(request);
    if (SendCompletionNotice(request, reply))
        result = reply.ReadBoolean();
    return result ? S_OK : E_FAIL;
}
