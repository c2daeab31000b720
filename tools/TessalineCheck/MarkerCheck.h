// Registry mode seen from this account: the marker's key, whose hive it is in, what is there now, and
// whether Tessaline may create or open the key. Writes nothing.
#pragma once

#include <string>

#include "AccountCheck.h"
#include "Report.h"

// Warns where this tool's account may not be the one a setup writes the marker for.
[[nodiscard]] Verdict CheckRegistryMode(const std::wstring& name, const ToolAccount& account);

// The marker as it is now, with a sentence that gives the Install value's type and bytes.
enum class MarkerState { Absent, Present, NotTheMarker, Unreadable };
struct MarkerReading {
    MarkerState state = MarkerState::Absent;
    std::wstring text;
};
[[nodiscard]] MarkerReading ReadMarker(const std::wstring& name);
