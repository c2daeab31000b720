// The program's only diagnostics: lines for a debugger (OutputDebugStringA), never a window or a console.
// A line is composed in a fixed buffer on the stack, cut short when it does not fit, and sent in the ANSI
// code page from the stack: tracing allocates nothing and cannot throw, so the guard's handlers may trace
// when memory has run out or the heap is broken. The one exception is a nested cause, which is read by
// rethrowing it; only the exchange's handlers meet one.
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

// The exception being handled, in one of the lines above; `unknown` for one of no standard type. Only
// while an exception is being handled: in a catch block, or in a terminate handler that has one.
void TraceCaughtException(const wchar_t* unknown) noexcept;
