// Windows error codes as the tools show them.
#pragma once

#include <windows.h>

#include <string>

// The system's own text for an error code, on one line; empty when it has none.
std::wstring SystemMessage(DWORD code);

// "error 5: Access is denied." (just "error N" where the system has no text for it).
std::wstring ErrorText(DWORD code);
