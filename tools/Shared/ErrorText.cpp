#include "ErrorText.h"

#include "Handles.h"
#include "Text.h"

std::wstring SystemMessage(DWORD code)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr)
        return std::wstring();
    const LocalPtr<wchar_t> owner(text);
    return Trim(std::wstring(text, length));
}

std::wstring ErrorText(DWORD code)
{
    const std::wstring system = SystemMessage(code);
    return L"error " + Decimal(code) + (system.empty() ? L"" : L": " + system);
}
