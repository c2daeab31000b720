// The usual ways the exchange with the downloader fails, as data: the message Tessaline's pipe code raises
// with its error code, what it means for a setup author, and the short form for a verdict. The setup
// author's guide has the same table, and a test keeps the two equal.
#pragma once

#include <windows.h>

#include <cstddef>
#include <stdexcept>
#include <string>

#include "WException.h"

enum class Composition { Plain, LastError, HResult }; // how the pipe code composes the message

struct KnownFailure {
    const wchar_t* text; // the message as the raise site composes it from
    Composition composition;
    DWORD code; // the error code it carries
    const wchar_t* meaning;
    const wchar_t* reason;
};

extern const KnownFailure kKnownFailures[];
extern const std::size_t kKnownFailureCount;

// The whole message, as Tessaline's debugger line shows it: "Unable to connect to a named pipe (Error code: 2)".
std::wstring ComposedMessage(const KnownFailure& failure);

// The entry for a failure: its code, and the message composed from the entry's text; null for another.
const KnownFailure* FindKnownFailure(const wexception<std::runtime_error>& failure);
