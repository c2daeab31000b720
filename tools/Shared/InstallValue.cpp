#include "InstallValue.h"

#include <cstring>

#include "Hex.h"
#include "Text.h"

InstallValue ReadInstallValue(HKEY key)
{
    InstallValue value;
    DWORD size = 0;
    value.status = RegQueryValueExW(key, InstallValueName, nullptr, &value.type, nullptr, &size);
    if (value.status != ERROR_SUCCESS)
        return value;
    value.data.resize(size);
    value.status = RegQueryValueExW(key, InstallValueName, nullptr, &value.type,
                                    reinterpret_cast<BYTE*>(value.data.empty() ? nullptr : &value.data[0]), &size);
    value.data.resize(value.status == ERROR_SUCCESS ? size : 0);
    return value;
}

std::string RegistryTypeName(DWORD type)
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
    case REG_QWORD:
        return "REG_QWORD";
    case REG_NONE:
        return "REG_NONE";
    default:
        return "type " + std::to_string(type);
    }
}

std::string InstallValue::Describe() const
{
    std::string text = RegistryTypeName(type);
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::wstring value(data.size() / sizeof(wchar_t), L'\0');
        if (!value.empty())
            std::memcpy(&value[0], data.data(), value.size() * sizeof(wchar_t));
        while (!value.empty() && value.back() == L'\0')
            value.pop_back();
        text += " \"" + Narrow(value, CP_UTF8) + "\"";
    }
    return text + " (" + std::to_string(data.size()) + " bytes: " + Hex(data) + ")";
}
