#include "DebugTrace.h"

#include <windows.h>

void TraceToDebugger(const std::wstring& line)
{
    const std::wstring text = L"Tessaline: " + line + L"\n";
    OutputDebugStringW(text.c_str());
}

void TraceToDebugger(const wexception<std::runtime_error>& error)
{
    TraceToDebugger(error.message() + L" (" + error.file() + L":" + std::to_wstring(error.line) + L")");
}

void TraceToDebugger(const std::exception& error)
{
    const char* what = error.what();
    const int length = MultiByteToWideChar(CP_ACP, 0, what, -1, nullptr, 0);
    std::wstring text(length > 0 ? static_cast<std::size_t>(length) : 0, L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, what, -1, &text[0], length);
    text.resize(text.empty() ? 0 : text.size() - 1);
    TraceToDebugger(text);
}
