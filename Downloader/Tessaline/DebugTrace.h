// The program's only diagnostics: lines for a debugger (OutputDebugStringW), never a window or a console.
// A line is composed in a fixed buffer on the stack and cut short when it does not fit: tracing allocates
// nothing and cannot throw, so the guard's handlers may trace when memory has run out. The one exception
// is a nested cause, which is read by rethrowing it; only the exchange's handlers meet one.
#pragma once

#include <exception>
#include <stdexcept>

#include "../WException.h"

// "Tessaline: <text>"
void TraceToDebugger(const wchar_t* text) noexcept;

// "Tessaline: <text>0x<code>", the code in eight hexadecimal digits, as Windows tools show such codes.
void TraceCodeToDebugger(const wchar_t* text, unsigned long code) noexcept;

// "Tessaline: <message> (<file>:<line>)", or with a nested cause
// "Tessaline: <message> Last attempt: <its message> (<file>:<line>)"
void TraceToDebugger(const wexception<std::runtime_error>& error) noexcept;

// "Tessaline: <what()>" for the standard exceptions.
void TraceToDebugger(const std::exception& error) noexcept;
