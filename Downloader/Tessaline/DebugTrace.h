// The program's only diagnostics: lines for a debugger (OutputDebugStringW), never a window or a console.
#pragma once

#include <string>

#include "../WException.h"

void TraceToDebugger(const std::wstring& line);

// "Tessaline: <message> (<file>:<line>)"
void TraceToDebugger(const wexception<std::runtime_error>& error);

// "Tessaline: <what()>" for the standard exceptions.
void TraceToDebugger(const std::exception& error);
