#include "PipeServer.h"

#include <memory>
#include <utility>

#include <sddl.h>

#include "Handles.h"
#include "ServerLoop.h"
#include "WException.h"

namespace IPC {

std::wstring ElevatedServerSddl()
{
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(L"OpenProcessToken failed", error), error);
    }
    DWORD length = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &length);
    std::unique_ptr<unsigned char[]> user(new unsigned char[length > 0 ? length : 1]);
    if (!GetTokenInformation(token.get(), TokenUser, user.get(), length, &length)) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(L"GetTokenInformation failed", error), error);
    }
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(user.get())->User.Sid, &text)) {
        const DWORD error = GetLastError();
        RAISE_WEXCEPTION_CODE(with_last_error(L"ConvertSidToStringSidW failed", error), error);
    }
    const LocalPtr<wchar_t> owned(text);
    return std::wstring(L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;") + text + L")S:(ML;;NW;;;ME)";
}

PipeServer::PipeServer(ServerOptions options, RequestHandler handler, ServerObserver observer)
{
    try {
        loop_ = std::make_unique<ServerLoop>(std::move(options), std::move(handler), std::move(observer));
    } catch (const std::bad_alloc&) {
        RAISE_WEXCEPTION_CODE(with_last_error(L"Not enough memory to serve the pipe", ERROR_NOT_ENOUGH_MEMORY),
                              ERROR_NOT_ENOUGH_MEMORY);
    }
}

PipeServer::~PipeServer()
{
    loop_->Stop();
    loop_->Wait(INFINITE);
}

void PipeServer::Stop() noexcept { loop_->Stop(); }

bool PipeServer::Wait(DWORD timeoutMs) const { return loop_->Wait(timeoutMs); }

} // namespace IPC
