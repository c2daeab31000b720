// Reading the registry in tests: keys with one owner, their subkeys and values, and the marker value.
#pragma once

#include <windows.h>

#include <set>
#include <string>

#include "Handles.h"
#include "InstallValue.h"
#include "RegistryKeys.h"

// The direct subkeys of an open key; empty for a null key.
std::set<std::wstring> SubkeysOfKey(HKEY key);

DWORD ValueCountOf(HKEY key);
