// What an action raised, for tests of the error texts.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "WException.h"

// What an action raised: the wexception's message, which must carry its place, and the Windows error
// code it carries as data; a marker text and -1 when it raised nothing.
struct Raised {
    std::wstring message = L"(nothing raised)";
    long long code = -1;
};

inline Raised RaisedWithCode(const std::function<void()>& action)
{
    try {
        action();
    } catch (const wexception<std::runtime_error>& error) {
        EXPECT_FALSE(error.file().empty()) << "raised without its file";
        EXPECT_GT(error.line, 0) << "raised without its line";
        return Raised{error.message(), static_cast<long long>(error.error_code())};
    }
    return Raised();
}

inline std::wstring RaisedBy(const std::function<void()>& action) { return RaisedWithCode(action).message; }
