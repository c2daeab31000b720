// The command line: «/key=value» options cut into tokens, then grouped by key.
#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

// Room for 256 tokens; further tokens are dropped.
class TokenList {
public:
    static constexpr int kCapacity = 256;

    TokenList() { entries_.fill(nullptr); }
    TokenList(const TokenList&) = delete;
    TokenList& operator=(const TokenList&) = delete;

    // Appends a copy; false when the list is full.
    [[nodiscard]] bool Append(const std::wstring& token);

    int Count() const { return static_cast<int>(tokens_.size()); }
    const wchar_t* const* Entries() const { return entries_.data(); }
    const std::wstring& operator[](int index) const { return tokens_[static_cast<std::size_t>(index)]; }

private:
    std::vector<std::wstring> tokens_;
    std::array<const wchar_t*, kCapacity> entries_;
};

// Cuts the text into tokens: one per option key (lower-cased, with its leading "/") and one per value.
int SplitCommandLine(const std::wstring& text, TokenList& tokens);

class OptionParser {
public:
    // Rebuilds the options from the entries and returns how many distinct keys there are.
    int Parse(int count, const wchar_t* const* entries);

    bool Has(const std::wstring& key) const;
    // The number of values of the key, or -1 when the key is absent.
    int ValueCount(const std::wstring& key) const;
    // The first value of the key; throws int 0 when there is none.
    std::wstring Value(const std::wstring& key) const;

    const std::map<std::wstring, std::vector<std::wstring>>& Options() const { return options_; }

private:
    std::map<std::wstring, std::vector<std::wstring>> options_;
};

// The product name that the whole command-line text selects for the registry mode: the first value of
// /name; empty for the pipe mode.
std::wstring RegistryName(const std::wstring& commandLine);
