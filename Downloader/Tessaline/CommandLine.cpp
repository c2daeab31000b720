#include "CommandLine.h"

#include "Text.h"

bool TokenList::Append(const std::wstring& token)
{
    if (Count() >= kCapacity)
        return false;
    // Reserved up front so that the entry pointers stay valid as tokens are added.
    if (tokens_.empty())
        tokens_.reserve(kCapacity);
    tokens_.push_back(token);
    entries_[tokens_.size() - 1] = tokens_.back().c_str();
    return true;
}

namespace {

// Maximal runs of characters other than the separator; runs of separators count as one cut.
std::vector<std::wstring> CutAt(const std::wstring& text, wchar_t separator)
{
    std::vector<std::wstring> pieces;
    std::wstring::size_type position = 0;
    while (position < text.size()) {
        const std::wstring::size_type start = text.find_first_not_of(separator, position);
        if (start == std::wstring::npos)
            break;
        std::wstring::size_type end = text.find(separator, start);
        if (end == std::wstring::npos)
            end = text.size();
        pieces.push_back(text.substr(start, end - start));
        position = end;
    }
    return pieces;
}

void LowerAsciiLetters(std::wstring& text)
{
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
}

bool IsOption(const wchar_t* entry)
{
    return entry != nullptr && entry[0] == L'/' && entry[1] != L'\0' && !(entry[1] >= L'0' && entry[1] <= L'9');
}

} // namespace

int SplitCommandLine(const std::wstring& text, TokenList& tokens)
{
    for (const std::wstring& segment : CutAt(text, L'/')) {
        const std::vector<std::wstring> pieces = CutAt(L"/" + Trim(segment), L'=');
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            std::wstring piece = pieces[i];
            EraseAll(piece, L'"');
            if (i == 0)
                LowerAsciiLetters(piece);
            // A full list takes no more tokens: the rest of the line is dropped.
            if (!tokens.Append(piece))
                return tokens.Count();
        }
    }
    return tokens.Count();
}

int OptionParser::Parse(int count, const wchar_t* const* entries)
{
    options_.clear();
    std::wstring currentKey;
    if (count < 1)
        return 0;

    for (int i = 0; i < count; ++i) {
        const wchar_t* entry = entries[i];
        if (IsOption(entry)) {
            currentKey = entry;
            std::vector<std::wstring> values;
            if (i + 1 < count && !IsOption(entries[i + 1])) {
                const wchar_t* first = entries[i + 1];
                if (first != nullptr && first[0] != L'\0')
                    values.push_back(first);
                ++i;
            }
            // The first occurrence of an option wins.
            options_.emplace(currentKey, std::move(values));
        } else {
            const auto found = options_.find(currentKey);
            if (found != options_.end())
                found->second.push_back(entry != nullptr ? entry : L"");
        }
    }
    return static_cast<int>(options_.size());
}

bool OptionParser::Has(const std::wstring& key) const { return options_.find(key) != options_.end(); }

int OptionParser::ValueCount(const std::wstring& key) const
{
    const auto found = options_.find(key);
    return found == options_.end() ? -1 : static_cast<int>(found->second.size());
}

std::wstring OptionParser::Value(const std::wstring& key) const
{
    const auto found = options_.find(key);
    if (found == options_.end() || found->second.empty())
        throw 0;
    return found->second.front();
}

namespace {

// The /name value, or empty for the pipe mode. The tokens come without double quotes: the command
// line's cutting removes them.
std::wstring ProductName(const OptionParser& parser)
{
    if (!parser.Has(L"/name") || parser.ValueCount(L"/name") == 0)
        return std::wstring();
    return parser.Value(L"/name");
}

} // namespace

std::wstring RegistryName(const std::wstring& commandLine)
{
    TokenList tokens;
    const int count = SplitCommandLine(commandLine, tokens);
    OptionParser parser;
    return parser.Parse(count, tokens.Entries()) != 0 ? ProductName(parser) : std::wstring();
}
