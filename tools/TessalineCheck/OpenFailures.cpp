#include "OpenFailures.h"

const KnownFailure kKnownFailures[] = {
    {L"Unable to connect to a named pipe", Composition::LastError, ERROR_FILE_NOT_FOUND,
     L"no process serves the pipe: the downloader is not running (the setup was started by hand), or it creates "
     L"its pipe more than about five seconds after the setup runs Tessaline",
     L"no downloader serves its pipe"},
    {L"Unable to connect to a named pipe", Composition::LastError, ERROR_ACCESS_DENIED,
     L"the pipe is there but refuses this account: a downloader of another user, one that runs elevated while the "
     L"setup does not, or another program that took the name first with access rules of its own",
     L"the pipe refuses this account"},
    {L"Unable to connect to a named pipe", Composition::LastError, ERROR_PIPE_BUSY,
     L"every instance of the pipe serves another client, and the one that came free was taken by another client "
     L"first: the downloader is busy with other clients (another Tessaline, a check like this one)",
     L"the pipe is busy"},
    {L"Timeout while trying to connect to a named pipe, pipe is busy", Composition::Plain, ERROR_SEM_TIMEOUT,
     L"every instance of the pipe served another client through all of Tessaline's attempts, each of which waits "
     L"up to 3 s for one to come free: the downloader is busy with other clients, or makes no new instance for "
     L"the next one",
     L"every instance of the pipe stays busy"},
    {L"SetNamedPipeHandleState failed", Composition::HResult, ERROR_INVALID_PARAMETER,
     L"the pipe is not in message mode: what serves the name is not the downloader (or a downloader that creates "
     L"its pipe in byte mode), and Tessaline cannot talk to it",
     L"the pipe is not a message-mode pipe: not the downloader's"},
    {L"Pipe disconnected", Composition::Plain, ERROR_BROKEN_PIPE,
     L"the downloader took the notice and closed the connection without answering",
     L"the downloader closed the connection without answering"},
};

const std::size_t kKnownFailureCount = sizeof kKnownFailures / sizeof kKnownFailures[0];

std::wstring ComposedMessage(const KnownFailure& failure)
{
    switch (failure.composition) {
    case Composition::LastError:
        return with_last_error(failure.text, failure.code);
    case Composition::HResult:
        return with_hresult(failure.text, failure.code);
    default:
        return failure.text;
    }
}

const KnownFailure* FindKnownFailure(const wexception<std::runtime_error>& failure)
{
    for (std::size_t i = 0; i < kKnownFailureCount; ++i) {
        if (kKnownFailures[i].code == failure.error_code() && ComposedMessage(kKnownFailures[i]) == failure.message())
            return &kKnownFailures[i];
    }
    return nullptr;
}
