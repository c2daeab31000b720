// Shared by the robustness tests: seeded generators and checked runs of the program.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "DownloaderStandIn.h"

// TESSALINE_ROBUST_SEED when it is set, else a fixed default, so that every run is repeatable.
std::uint32_t RobustSeed();

// A generator for one test, derived from the seed and the test's purpose; prints the seed.
std::mt19937 SeededGenerator(const char* purpose);

// The start of a possibly very long text, escaped, for failure messages.
std::string Describe(const std::wstring& text, std::size_t limit = 160);

// Finished, with exit code S_OK or E_FAIL, no fault reported by the process guard and at most one line.
::testing::AssertionResult EndedCleanly(const ChildResult& run);

// The room CreateProcessW leaves for the arguments of Tessaline.exe (32,767 characters with the
// terminating NUL, the quoted program path and one blank).
std::size_t ArgumentRoom();
