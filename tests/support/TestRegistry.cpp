#include "TestRegistry.h"

#include <vector>

std::set<std::wstring> SubkeysOfKey(HKEY key)
{
    std::set<std::wstring> names;
    if (key == nullptr)
        return names;
    std::vector<wchar_t> name(1024);
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.insert(std::wstring(name.data(), length));
    }
    return names;
}

DWORD ValueCountOf(HKEY key)
{
    DWORD values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    return values;
}
