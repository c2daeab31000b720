// RunReport [--marker] PROGRAM [ARGUMENTS...]: runs the program, waits, and prints its exit code as an HRESULT.
// Exits with 0 when the program returned S_OK, 1 when it returned anything else, 2 when it did not run.
// --marker, for Tessaline: also shows the registry key that the arguments select, chosen by the program's
// own command-line code, and its Install value as read back after the run (type and bytes). The value is
// deleted before the run, so that what is shown is what this run wrote.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "CommandLine.h"
#include "Handles.h"
#include "Hex.h"
#include "InstallMarker.h"
#include "QuoteArgument.h"
#include "RegistryKeys.h"
#include "Text.h"

namespace {

const char* Meaning(DWORD code)
{
    switch (code) {
    case S_OK:
        return "S_OK";
    case static_cast<DWORD>(E_FAIL):
        return "E_FAIL";
    default:
        return "unexpected";
    }
}

std::string TypeName(DWORD type)
{
    switch (type) {
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    default:
        return "type " + std::to_string(type);
    }
}

void DeleteInstallValue(const std::wstring& path)
{
    if (const UniqueKey key = OpenUserKey(path, KEY_SET_VALUE))
        RegDeleteValueW(key.get(), L"Install");
}

// "no such key", "no Install value", or the value's type, text (for strings) and bytes.
std::string DescribeInstallValue(const std::wstring& path)
{
    const UniqueKey key = OpenUserKey(path, KEY_QUERY_VALUE);
    if (!key)
        return "no such key";
    DWORD type = 0;
    DWORD size = 0;
    std::string bytes;
    LSTATUS status = RegQueryValueExW(key.get(), L"Install", nullptr, &type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        bytes.resize(size);
        status = RegQueryValueExW(key.get(), L"Install", nullptr, &type,
                                  reinterpret_cast<BYTE*>(bytes.empty() ? nullptr : &bytes[0]), &size);
        bytes.resize(size);
    }
    if (status != ERROR_SUCCESS)
        return "no Install value";

    std::string text = "Install = " + TypeName(type);
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::wstring value(bytes.size() / sizeof(wchar_t), L'\0');
        if (!value.empty())
            std::memcpy(&value[0], bytes.data(), value.size() * sizeof(wchar_t));
        while (!value.empty() && value.back() == L'\0')
            value.pop_back();
        text += " \"" + Narrow(value, CP_UTF8) + "\"";
    }
    return text + " (" + std::to_string(bytes.size()) + " bytes: " + Hex(bytes) + ")";
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int first = 1;
    const bool marker = argc > 1 && std::wcscmp(argv[1], L"--marker") == 0;
    if (marker)
        ++first;
    if (argc <= first) {
        std::fputs("usage: RunReport [--marker] PROGRAM [ARGUMENTS...]\n", stderr);
        return 2;
    }
    // The arguments go on as the program's raw command-line text, the way a setup passes them.
    std::wstring arguments;
    for (int i = first + 1; i < argc; ++i)
        arguments += (i == first + 1 ? L"" : L" ") + std::wstring(argv[i]);
    std::wstring commandLine = QuoteArgument(argv[first]);
    if (argc > first + 1)
        commandLine += L" " + arguments;

    // What the program sees after its own name: the same text.
    const std::wstring name = marker ? RegistryName(arguments) : std::wstring();
    const std::wstring path = InstallMarkerRoot + name;
    if (!name.empty())
        DeleteInstallValue(path);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(argv[first], &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        std::fprintf(stderr, "cannot start the program (error %lu)\n", GetLastError());
        return 2;
    }
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    const DWORD start = GetTickCount();
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    std::printf("exit code 0x%08lX (%s, %ld) after %.2f s\n", code, Meaning(code), static_cast<long>(code),
                (GetTickCount() - start) / 1000.0);
    if (marker) {
        if (name.empty())
            std::puts("pipe mode (no non-empty /name): no registry key");
        else
            std::printf("registry key HKEY_CURRENT_USER\\%s: %s\n", Narrow(path, CP_UTF8).c_str(),
                        DescribeInstallValue(path).c_str());
    }
    return code == S_OK ? 0 : 1;
}
