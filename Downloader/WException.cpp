#include "WException.h"

#include <windows.h>

#include <locale>
#include <memory>
#include <sstream>

std::string NarrowForWhat(const std::wstring& message)
{
    if (message.empty())
        return std::string();
    const int length = static_cast<int>(message.size());
    const int bytes = WideCharToMultiByte(CP_ACP, 0, message.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes == 0)
        return std::string();
    std::unique_ptr<char[]> buffer(new char[bytes]);
    WideCharToMultiByte(CP_ACP, 0, message.data(), length, buffer.get(), bytes, nullptr, nullptr);
    return std::string(buffer.get(), bytes);
}

wexception<std::runtime_error> with_location(wexception<std::runtime_error> error, const wchar_t* file, int line)
{
    error.file_ = file;
    error.line = line;
    return error;
}

std::wstring with_last_error(const std::wstring& text)
{
    // Read the code before anything else here can touch it.
    const DWORD code = GetLastError();
    std::wostringstream stream;
    stream << text << L" (Error code: " << static_cast<unsigned long>(code) << L")";
    return stream.str();
}

namespace {

std::wstring Trim(const std::wstring& text)
{
    const std::locale& classic = std::locale::classic();
    std::wstring::size_type first = 0;
    std::wstring::size_type last = text.size();
    while (first < last && std::isspace(text[first], classic))
        ++first;
    while (last > first && std::isspace(text[last - 1], classic))
        --last;
    return text.substr(first, last - first);
}

} // namespace

std::wstring with_hresult(const std::wstring& text)
{
    const DWORD code = GetLastError();
    std::wstring result = Trim(text);
    if (!result.empty() && result.back() == L'.')
        result.pop_back();

    if (code != 0) {
        std::wostringstream stream;
        stream << result << L" (HRESULT = " << static_cast<unsigned long>(code) << L")" << L".";
        return stream.str();
    }
    if (result.empty() || result.back() != L'.')
        result += L'.';
    return result;
}
