#include "WException.h"

#include <windows.h>

#include "Text.h"

std::string AnsiText(const std::wstring& message) { return Narrow(message, CP_ACP); }

wexception<std::runtime_error> with_location(wexception<std::runtime_error> error, const wchar_t* file, int line)
{
    error.file_ = file;
    error.line = line;
    return error;
}

wexception<std::runtime_error> with_error_code(wexception<std::runtime_error> error, unsigned long code)
{
    error.errorCode_ = code;
    return error;
}

std::wstring with_last_error(const std::wstring& text, unsigned long code)
{
    return text + L" (Error code: " + Decimal(code) + L")";
}

std::wstring with_hresult(const std::wstring& text, unsigned long code)
{
    std::wstring result = Trim(text);
    if (!result.empty() && result.back() == L'.')
        result.pop_back();

    if (code != 0)
        return result + L" (HRESULT = " + Decimal(code) + L").";
    if (result.empty() || result.back() != L'.')
        result += L'.';
    return result;
}
