// What the program may and may not leave in the registry, for the robustness tests that run it with
// hostile names.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "MarkerCheck.h"
#include "TestRegistry.h"

extern const wchar_t kMarkerRoot[]; // Software\Tessaline

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
enum class NameOutcome { Written, Refused, EitherWay };

// The registry's components of a name: cut at backslashes, empty ones left out (see
// RegistryNamesTest for what Wine makes of them), and what the name may give.
struct ExpectedMarker {
    std::vector<std::wstring> components;
    NameOutcome outcome = NameOutcome::Written;
};
ExpectedMarker PredictMarker(const std::wstring& name);

// Checks a registry-mode run for the name below the key top: the marker at exactly the predicted key
// and nowhere else in top's tree, or E_FAIL with no marker at all.
void CheckRegistryRun(const std::wstring& top, const std::wstring& name, const ChildResult& run, int* written = nullptr,
                      int* refused = nullptr);
