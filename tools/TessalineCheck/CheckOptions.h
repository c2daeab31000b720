// The support tool's command line: its own options, then the command line a setup gives Tessaline.exe.
#pragma once

#include <string>

struct CheckOptions {
    bool send = false;          // pipe mode: send the real completion notice
    std::wstring run;           // a Tessaline.exe to run with the command line
    unsigned waitSeconds = 60;  // for the downloader's answer and for the run
    std::wstring tessalineLine; // what the setup passes after Tessaline.exe, verbatim
    bool help = false;
};

// Fills the options from the tool's arguments and its raw command-line text, which keeps the setup's
// quotes and blanks as they were; returns an error text, empty when they are fine.
[[nodiscard]] std::wstring ParseCheckOptions(int argc, const wchar_t* const* argv, const wchar_t* rawCommandLine,
                                             CheckOptions& options);

// The raw text after the program's name and the first `count` arguments, cut the way the C runtime
// cuts a command line into arguments, without the blanks before it.
std::wstring TextAfterArguments(const wchar_t* commandLine, int count);

extern const wchar_t CheckUsage[];
