#include "Robustness.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const std::uint32_t kDefaultSeed = 20240611;

} // namespace

std::uint32_t RobustSeed()
{
    static const std::uint32_t seed = [] {
        const char* text = std::getenv("TESSALINE_ROBUST_SEED");
        return text != nullptr && *text != '\0' ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0))
                                                : kDefaultSeed;
    }();
    return seed;
}

std::mt19937 SeededGenerator(const char* purpose)
{
    std::printf("seed %lu (set TESSALINE_ROBUST_SEED to change), stream \"%s\"\n",
                static_cast<unsigned long>(RobustSeed()), purpose);
    std::seed_seq sequence(purpose, purpose + std::char_traits<char>::length(purpose));
    std::vector<std::uint32_t> words(1);
    sequence.generate(words.begin(), words.end());
    return std::mt19937(RobustSeed() ^ words[0]);
}

std::string Describe(const std::wstring& text, std::size_t limit)
{
    std::string out = "(" + std::to_string(text.size()) + " chars) \"";
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const wchar_t c = text[i];
        if (c == L'\\' || c == L'"') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    out += text.size() > limit ? "\"..." : "\"";
    return out;
}

::testing::AssertionResult EndedCleanly(const ChildResult& run)
{
    if (!run.finished)
        return ::testing::AssertionFailure() << "still running after the time-out (hang)";
    if (run.exitCode != S_OK && run.exitCode != kFail) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(run.exitCode));
        return ::testing::AssertionFailure() << "exit code " << code << " is neither S_OK nor E_FAIL (crash)";
    }
    for (const std::wstring& line : run.debugLines)
        if (line.rfind(L"Tessaline: fault", 0) == 0)
            return ::testing::AssertionFailure() << "faulted: " << Describe(line);
    // One failure, one line.
    if (run.debugLines.size() > 1)
        return ::testing::AssertionFailure() << run.debugLines.size() << " debugger lines from one run";
    return ::testing::AssertionSuccess();
}

std::size_t ArgumentRoom() { return 32767 - 1 - QuoteArgument(ProgramFolder() + L"Tessaline.exe").size() - 1; }
