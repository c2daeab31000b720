// A reference model of the command-line grammar, written from the grammar's description alone, to
// check the program's own parser against.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace model {

using Options = std::map<std::wstring, std::vector<std::wstring>>;

// The program keeps the first 256 tokens of a line and drops the rest.
const std::size_t kTokenLimit = 256;

// The tokens of a line, all of them (no limit applied).
std::vector<std::wstring> Tokens(const std::wstring& text);

// Groups tokens into options; a null entry stands for an absent one.
Options Group(const std::vector<const wchar_t*>& entries);

// What a line means to the program: its kept tokens, its options and the registry name (empty for
// the pipe mode).
struct Meaning {
    std::vector<std::wstring> tokens;
    std::size_t allTokens = 0;
    Options options;
    std::wstring name;
};
Meaning Interpret(const std::wstring& text);

// The argument text that reaches the program's entry point when it is started with the line: the
// runtime start-up skips the blanks and control characters (up to U+0020) after the program's path.
std::wstring AsPassedToEntryPoint(const std::wstring& line);

} // namespace model
