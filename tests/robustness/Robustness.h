// Shared by the robustness tests: seeded generators, checked runs of the program, an in-test
// downloader, and what the program may and may not leave in the registry.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Pipe.h"
#include "TestRegistry.h"

// TESSALINE_ROBUST_SEED when it is set, else a fixed default, so that every run is repeatable.
std::uint32_t RobustSeed();

// A generator for one test, derived from the seed and the test's purpose; prints the seed.
std::mt19937 SeededGenerator(const char* purpose);

// The start of a possibly very long text, escaped, for failure messages.
std::string Describe(const std::wstring& text, std::size_t limit = 160);

// Finished, with exit code S_OK or E_FAIL, and no fault reported by the process guard.
::testing::AssertionResult EndedCleanly(const ChildResult& run);

// The room CreateProcessW leaves for the arguments of Tessaline.exe (32,767 characters with the
// terminating NUL, the quoted program path and one blank).
std::size_t ArgumentRoom();

// What the in-test downloader saw: the request, and whether its handler ran to its end.
struct DownloaderRun {
    ChildResult program;
    std::string request;
    bool served = false;
};

// Serves the downloader's pipe once with the handler and runs the program against it.
DownloaderRun RunAgainstDownloader(const std::wstring& arguments, std::function<std::string(IPC::Pipe&)> handler);

// A handler that reads the request and answers with the reply as one message.
std::function<std::string(IPC::Pipe&)> Answer(const std::string& reply);

// --- Registry ---

extern const wchar_t kMarkerRoot[]; // Software\Tessaline

// The direct subkeys of HKCU\path (the root itself for an empty path); empty when it does not exist.
std::set<std::wstring> SubkeysOf(const std::wstring& path);

// Keys and values at the places a stray write would land.
struct RegistryFootprint {
    std::set<std::wstring> rootKeys, softwareKeys, markerKeys;
    DWORD rootValues = 0, softwareValues = 0;
    static RegistryFootprint Take();
};

// Nothing new at HKCU's root or in HKCU\Software (but Tessaline itself), and HKCU\Software\Tessaline
// back to what it was.
void ExpectNoStrayWrites(const RegistryFootprint& before, const RegistryFootprint& after);

// Every key in the tree HKCU\Software\Tessaline\top that holds an "Install" value, as its path below
// HKCU\Software\Tessaline (beginning with top), and those whose value is not the marker's.
struct MarkerScan {
    std::vector<std::wstring> installKeys;
    std::vector<std::wstring> malformed; // an "Install" that is not REG_SZ "1"
};
MarkerScan ScanMarkers(const std::wstring& top);

// Removes HKCU\Software\Tessaline\top with everything below it.
void DeleteMarkerTree(const std::wstring& top);

// What a name may give: its key written, or refused.
enum class Outcome { Written, Refused, EitherWay };

// The registry's components of a name: cut at backslashes, empty ones left out (see
// RegistryNamesTest for what Wine makes of them), and what the name may give.
struct ExpectedMarker {
    std::vector<std::wstring> components;
    Outcome outcome = Outcome::Written;
};
ExpectedMarker PredictMarker(const std::wstring& name);

// Checks a registry-mode run for the name below the key top: the marker at exactly the predicted key
// and nowhere else in top's tree, or E_FAIL with no marker at all.
void CheckRegistryRun(const std::wstring& top, const std::wstring& name, const ChildResult& run, int* written = nullptr,
                      int* refused = nullptr);
