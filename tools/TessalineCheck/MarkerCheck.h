// Registry mode seen from this account: the marker's key, whose hive it is in, what is there now, and
// whether Tessaline may create or open the key. Writes nothing.
#pragma once

#include <cstddef>
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

// The longest name of one key this system's registry takes: "Registry element size limits" documents 255
// characters, and a system may take 256 code units. probed: the registry itself said so; otherwise the
// documented limit.
constexpr std::size_t kDocumentedKeyName = 255;
struct KeyNameLimit {
    std::size_t units = kDocumentedKeyName;
    bool probed = false;
};
[[nodiscard]] KeyNameLimit LongestKeyName();
