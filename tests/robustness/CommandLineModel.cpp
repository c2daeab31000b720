#include "CommandLineModel.h"

#include <cwctype>

namespace model {

namespace {

// Cuts the characters of one segment into pieces at "=" as they arrive, one character at a time.
class PieceCutter {
public:
    explicit PieceCutter(std::vector<std::wstring>& tokens) : tokens_(tokens) {}

    void Feed(wchar_t c)
    {
        if (c == L'=') {
            if (inPiece_)
                Emit();
            return;
        }
        // A quote still makes a piece, even one that ends up empty.
        inPiece_ = true;
        if (c == L'"')
            return;
        if (pieceIndex_ == 0 && c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c + (L'a' - L'A'));
        piece_.push_back(c);
    }

    void Finish()
    {
        if (inPiece_)
            Emit();
    }

private:
    void Emit()
    {
        tokens_.push_back(piece_);
        piece_.clear();
        inPiece_ = false;
        ++pieceIndex_;
    }

    std::vector<std::wstring>& tokens_;
    std::wstring piece_;
    bool inPiece_ = false;
    int pieceIndex_ = 0;
};

// A segment without its white space at both ends, behind a "/", cut into pieces.
void EmitSegment(const std::wstring& segment, std::vector<std::wstring>& tokens)
{
    PieceCutter cutter(tokens);
    cutter.Feed(L'/');
    bool started = false;
    std::wstring blanks; // inner white space, passed on only when more text follows
    for (wchar_t c : segment) {
        if (std::iswspace(c)) {
            if (started)
                blanks.push_back(c);
            continue;
        }
        for (wchar_t blank : blanks)
            cutter.Feed(blank);
        blanks.clear();
        cutter.Feed(c);
        started = true;
    }
    cutter.Finish();
}

bool IsOption(const wchar_t* entry)
{
    if (entry == nullptr)
        return false;
    const std::wstring text(entry);
    return text.size() > 1 && text[0] == L'/' && (text[1] < L'0' || text[1] > L'9');
}

} // namespace

std::vector<std::wstring> Tokens(const std::wstring& text)
{
    enum class State { BetweenSegments, InSegment };
    std::vector<std::wstring> tokens;
    std::wstring segment;
    State state = State::BetweenSegments;
    for (wchar_t c : text) {
        switch (state) {
        case State::BetweenSegments:
            if (c != L'/') {
                segment.assign(1, c);
                state = State::InSegment;
            }
            break;
        case State::InSegment:
            if (c == L'/') {
                EmitSegment(segment, tokens);
                state = State::BetweenSegments;
            } else {
                segment.push_back(c);
            }
            break;
        }
    }
    if (state == State::InSegment)
        EmitSegment(segment, tokens);
    return tokens;
}

Options Group(const std::vector<const wchar_t*>& entries)
{
    Options options;
    std::wstring current;
    const std::size_t count = entries.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (IsOption(entries[i])) {
            current = entries[i];
            std::wstring first;
            if (i + 1 < count && !IsOption(entries[i + 1])) {
                first = entries[i + 1] != nullptr ? entries[i + 1] : L"";
                ++i;
            }
            std::vector<std::wstring> values;
            if (!first.empty())
                values.push_back(first);
            // An option met again keeps its first list.
            if (options.count(current) == 0)
                options[current] = values;
            continue;
        }
        const auto known = options.find(current);
        if (known != options.end())
            known->second.push_back(entries[i] != nullptr ? entries[i] : L"");
    }
    return options;
}

Meaning Interpret(const std::wstring& text)
{
    Meaning meaning;
    meaning.tokens = Tokens(text);
    meaning.allTokens = meaning.tokens.size();
    if (meaning.tokens.size() > kTokenLimit)
        meaning.tokens.resize(kTokenLimit);
    std::vector<const wchar_t*> entries;
    for (const std::wstring& token : meaning.tokens)
        entries.push_back(token.c_str());
    meaning.options = Group(entries);
    const auto name = meaning.options.find(L"/name");
    if (name != meaning.options.end() && !name->second.empty()) {
        for (wchar_t c : name->second.front())
            if (c != L'"')
                meaning.name.push_back(c);
    }
    return meaning;
}

std::wstring AsPassedToEntryPoint(const std::wstring& line)
{
    std::size_t start = 0;
    while (start < line.size() && line[start] > 0 && line[start] <= L' ')
        ++start;
    return line.substr(start);
}

} // namespace model
