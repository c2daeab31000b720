// What an action raised, for tests of the error texts.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "WException.h"

// The message of the wexception that the action raised, which must carry its place; a marker text
// when it raised nothing.
inline std::wstring RaisedBy(const std::function<void()>& action)
{
    try {
        action();
    } catch (const wexception<std::runtime_error>& error) {
        EXPECT_FALSE(error.file().empty()) << "raised without its file";
        EXPECT_GT(error.line, 0) << "raised without its line";
        return error.message();
    }
    return L"(nothing raised)";
}
