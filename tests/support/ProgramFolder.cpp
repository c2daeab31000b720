#include "ProgramFolder.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <vector>

std::wstring ProgramFolder()
{
    std::vector<wchar_t> path(MAX_PATH * 4);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring folder(path.data(), length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

std::string ReadBesideProgram(const std::wstring& name)
{
    std::ifstream file((ProgramFolder() + name).c_str(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}
