// Random command lines over a hostile alphabet: the parser against the reference model in-process,
// then a sample through the real program in both modes.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

#include "CommandLine.h"
#include "CommandLineModel.h"
#include "Robustness.h"

namespace {

const std::size_t kCommandLineLimit = 32767;

// Pieces of hostile command-line text. Surrogate pairs are kept whole unless lone halves are asked for.
class LineGenerator {
public:
    LineGenerator(std::mt19937& random, bool loneSurrogates) : random_(random), loneSurrogates_(loneSurrogates) {}

    // Leaves the "/name" fragments out, for long lines that must not name a product.
    void WithoutNameFragments() { withName_ = false; }

    std::size_t Below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }
    bool Chance(int percent) { return Below(100) < static_cast<std::size_t>(percent); }

    // One character (or surrogate pair) of the alphabet.
    std::wstring Character()
    {
        static const wchar_t* const kSingles[] = {
            L"/",      L"=",      L"\"",         L" ",          L"\t",         L"\\",     L"\u00C4",
            L"\u00E4", L"\u00DF", L"\u00E9",     L"\u0416",     L"\u0436",     L"\u03A9", L"\u4E2D",
            L"\u6587", L"\uFB01", L"\U0001F600", L"\U0001D49C", L"\U00020000", L"\u00A0", L"\u3000",
            L"\u2028", L"\n",     L"\r",         L"\v",         L"\f",         L"\u1680", L"\u200B",
            L"\x01",   L"\x1F",   L"\x7F",       L":",          L".",          L"-",      L"'",
            L"^",      L"%",      L"&",          L"|",          L"<",          L">"};
        static const wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        const std::size_t pick = Below(100);
        if (pick < 45)
            return std::wstring(1, kLetters[Below(sizeof kLetters / sizeof kLetters[0] - 1)]);
        if (loneSurrogates_ && pick < 47)
            return std::wstring(1, Chance(50) ? L'\xD800' : L'\xDFFF');
        return kSingles[Below(sizeof kSingles / sizeof kSingles[0])];
    }

    // A character, a fragment of the option syntax, or a long run of one character.
    std::wstring Atom()
    {
        static const wchar_t* const kFragments[] = {
            L"/5", L"/0=", L"/x", L"/X=", L"//", L"==", L"\"\"", L"/=", L"=/", L"/\"", L"\"/\"", L" = ", L"\t/",
            L"\\\\", L"/\u00C4=", L"/ /",
            // The option that selects the registry mode, last so that lines can be made without it.
            L"/name", L"/NAME", L"/Name=", L"/nAmE=", L"/name=", L" /name=", L"/name=\"\"", L"/name= "};
        const std::size_t fragments = sizeof kFragments / sizeof kFragments[0] - (withName_ ? 0 : 8);
        const std::size_t pick = Below(100);
        if (pick < 70)
            return Character();
        if (pick < 94)
            return kFragments[Below(fragments)];
        std::wstring run;
        const std::wstring unit = Character();
        const std::size_t length = Chance(20) ? 200 + Below(2800) : 2 + Below(60);
        while (run.size() < length)
            run += unit;
        return run;
    }

    // Atoms until the text holds at least the given number of characters.
    std::wstring Text(std::size_t length)
    {
        std::wstring text;
        while (text.size() < length)
            text += Atom();
        return text;
    }

    // A run of small options, enough for more tokens than the program keeps.
    std::wstring ManyOptions(std::size_t count)
    {
        std::wstring text;
        for (std::size_t i = 0; i < count; ++i) {
            text += Chance(50) ? L"/" : L" /";
            text += Character();
            text += Chance(80) ? L"=" + Character() : L"";
        }
        return text;
    }

    // Letters only, in many scripts: text that stays one value of an option.
    std::wstring Letters(std::size_t length)
    {
        static const wchar_t* const kLetters[] = {L"a",      L"Z",      L"7",      L"\u00C4",
                                                  L"\u00DF", L"\u0416", L"\u4E2D", L"\U0001F600"};
        std::wstring text;
        while (text.size() < length)
            text += kLetters[Below(sizeof kLetters / sizeof kLetters[0])];
        return text;
    }

    // A line cut at a length, without splitting a surrogate pair.
    static std::wstring Cut(std::wstring text, std::size_t length)
    {
        if (text.size() > length) {
            text.resize(length);
            if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF)
                text.pop_back();
        }
        return text;
    }

private:
    std::mt19937& random_;
    bool loneSurrogates_;
    bool withName_ = true;
};

std::vector<std::wstring> TokensOf(const TokenList& list)
{
    std::vector<std::wstring> tokens;
    for (int i = 0; i < list.Count(); ++i)
        tokens.push_back(list[i]);
    return tokens;
}

// The program's parser on one line, against the model; true when they agree.
bool AgreesWithModel(const std::wstring& line, int index, const model::Meaning& expected)
{
    TokenList tokens;
    const int count = SplitCommandLine(line, tokens);
    if (count != static_cast<int>(expected.tokens.size()) || TokensOf(tokens) != expected.tokens) {
        ADD_FAILURE() << "case " << index << ": tokens differ (" << count << " against " << expected.tokens.size()
                      << ") for " << Describe(line);
        return false;
    }
    OptionParser parser;
    const int keys = parser.Parse(count, tokens.Entries());
    if (keys != static_cast<int>(expected.options.size()) || parser.Options() != expected.options) {
        ADD_FAILURE() << "case " << index << ": options differ for " << Describe(line);
        return false;
    }
    std::wstring name;
    if (keys != 0 && parser.Has(L"/name") && parser.ValueCount(L"/name") != 0) {
        for (wchar_t c : parser.Value(L"/name"))
            if (c != L'"')
                name.push_back(c);
    } else if (parser.Has(L"/name")) {
        bool threwZero = false;
        try {
            parser.Value(L"/name");
        } catch (int code) {
            threwZero = code == 0;
        }
        EXPECT_TRUE(threwZero) << "case " << index << ": Value of an option without values";
    }
    if (name != expected.name) {
        ADD_FAILURE() << "case " << index << ": name " << Describe(name) << " against " << Describe(expected.name);
        return false;
    }
    return true;
}

TEST(CommandLineFuzz, ParserAgreesWithTheModel)
{
    std::mt19937 random = SeededGenerator("command lines");
    LineGenerator generate(random, true);
    const int kCases = 10000;
    int shortLines = 0, mediumLines = 0, longLines = 0, manyTokenLines = 0, over256 = 0, named = 0;
    std::size_t longest = 0;
    for (int index = 0; index < kCases; ++index) {
        std::wstring line;
        const std::size_t kind = generate.Below(100);
        if (kind < 68) {
            line = generate.Text(generate.Below(60));
            ++shortLines;
        } else if (kind < 85) {
            line = LineGenerator::Cut(generate.Text(2000), 60 + generate.Below(1940));
            ++mediumLines;
        } else if (kind < 90) {
            // Near and at the longest command line Windows passes.
            line = LineGenerator::Cut(generate.Text(kCommandLineLimit),
                                      longLines == 0 ? kCommandLineLimit : kCommandLineLimit - generate.Below(800));
            if (longLines == 0)
                line.resize(kCommandLineLimit, L'a');
            ++longLines;
        } else {
            line = generate.Text(generate.Below(20)) + generate.ManyOptions(150 + generate.Below(900)) +
                   generate.Text(generate.Below(40));
            ++manyTokenLines;
        }
        longest = std::max(longest, line.size());
        const model::Meaning expected = model::Interpret(line);
        if (expected.allTokens > model::kTokenLimit)
            ++over256;
        if (!expected.name.empty())
            ++named;
        if (!AgreesWithModel(line, index, expected))
            return;
    }
    std::printf("%d lines: %d short, %d medium, %d near the limit (longest %zu chars), %d with many options; "
                "%d over 256 tokens, %d naming a product\n",
                kCases, shortLines, mediumLines, longLines, longest, manyTokenLines, over256, named);
    // The generator must reach the cases it is there for.
    EXPECT_GT(over256, kCases / 20);
    EXPECT_GT(named, kCases / 20);
    EXPECT_GT(kCases - named, kCases / 20);
    EXPECT_EQ(longest, kCommandLineLimit);
}

TEST(CommandLineFuzz, OptionGroupingAgreesWithTheModel)
{
    std::mt19937 random = SeededGenerator("token lists");
    static const wchar_t* const kEntries[] = {L"/name", L"/NAME", L"/name ",  L"/x", L"/5", L"/",   L"",
                                              L"a",     L"B b",   L"/\u00C4", L"/-", L"\"", L"/0x", nullptr};
    const std::size_t choices = sizeof kEntries / sizeof kEntries[0];
    const int kCases = 3000;
    for (int index = 0; index < kCases; ++index) {
        std::vector<const wchar_t*> entries(std::uniform_int_distribution<std::size_t>(0, 12)(random));
        for (const wchar_t*& entry : entries)
            entry = kEntries[std::uniform_int_distribution<std::size_t>(0, choices - 1)(random)];
        OptionParser parser;
        const int keys = parser.Parse(static_cast<int>(entries.size()), entries.data());
        const model::Options expected = model::Group(entries);
        ASSERT_EQ(keys, static_cast<int>(expected.size())) << "case " << index;
        ASSERT_EQ(parser.Options(), expected) << "case " << index;
    }
    std::printf("%d token lists grouped alike\n", kCases);
}

// A name's tree below HKCU\Software\Tessaline that this process alone uses.
std::wstring TestTop(int index)
{
    return L"Robust" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(index);
}

bool StartsWithTop(const std::wstring& name, const std::wstring& top)
{
    return name.compare(0, top.size(), top) == 0 && (name.size() == top.size() || name[top.size()] == L'\\');
}

TEST(CommandLineFuzz, SampleWritesTheKeyTheModelPredicts)
{
    std::mt19937 random = SeededGenerator("registry lines");
    LineGenerator generate(random, false);
    const RegistryFootprint before = RegistryFootprint::Take();
    const int kRuns = 20;
    int written = 0, refused = 0;
    std::size_t longest = 0, mostTokens = 0;
    for (int index = 0; index < kRuns; ++index) {
        const std::wstring top = TestTop(index);
        std::wstring line, name;
        for (int attempt = 0; attempt < 100 && name.empty(); ++attempt) {
            std::wstring tail = generate.Text(generate.Below(40));
            if (index % 5 == 1)
                tail = std::wstring(250 + generate.Below(12), L'k') + L"\\" + tail; // around the registry's limit
            if (index % 5 == 2)
                tail = L"\\" + generate.Letters(3) + L"\\\\" + tail; // leading and doubled backslashes
            std::wstring noise = generate.Text(generate.Below(80));
            if (index % 7 == 3)
                noise += generate.ManyOptions(300); // the name among the first 256 tokens, the rest dropped
            line = L"/name=" + top + L"\\" + tail + L" " + noise;
            if (index % 4 == 3)
                line = L"/x=" + generate.Text(generate.Below(10)) + L" " + line; // the name not first
            if (index == kRuns - 1) {
                // The longest line Windows passes, with a name of components around 200 characters.
                std::wstring longName;
                while (longName.size() < ArgumentRoom() - 2000)
                    longName += L"\\" + generate.Letters(150 + generate.Below(100));
                line = LineGenerator::Cut(L"/name=" + top + longName + L" " + generate.Text(ArgumentRoom()),
                                          ArgumentRoom());
            }
            const model::Meaning meaning = model::Interpret(model::AsPassedToEntryPoint(line));
            if (StartsWithTop(meaning.name, top))
                name = meaning.name;
            mostTokens = std::max(mostTokens, meaning.allTokens);
        }
        ASSERT_FALSE(name.empty()) << "no line naming " << Describe(top);
        longest = std::max(longest, line.size());
        SCOPED_TRACE("registry line " + std::to_string(index) + ": " + Describe(line));
        const ProgramRun run = RunTessaline(line);
        CheckRegistryRun(top, name, run, &written, &refused);
        DeleteMarkerTree(top);
    }
    std::printf("%d registry lines through the program: %d written, %d refused; longest %zu chars, "
                "most tokens %zu\n",
                kRuns, written, refused, longest, mostTokens);
    EXPECT_GT(written, 0);
    ExpectNoStrayWrites(before, RegistryFootprint::Take());
}

TEST(CommandLineFuzz, SampleWithoutANameReachesTheDownloader)
{
    std::mt19937 random = SeededGenerator("pipe lines");
    LineGenerator generate(random, false);
    const std::wstring top = TestTop(99);
    const std::string kTrue("\x05\x00\x00\x00\x01", 5);
    const RegistryFootprint before = RegistryFootprint::Take();
    const int kRuns = 5;
    for (int index = 0; index < kRuns; ++index) {
        std::wstring line;
        bool found = false;
        for (int attempt = 0; attempt < 1000 && !found; ++attempt) {
            switch (index) {
            case 0:
                line = generate.Text(generate.Below(60));
                break;
            case 1:
                line = L"/NAME=\"\" " + generate.Text(generate.Below(60));
                break;
            case 2:
                // A name behind the 256th token is dropped, so this is the pipe mode.
                line = generate.ManyOptions(300) + L" /name=" + top;
                break;
            case 3:
                line = L" \t/name " + generate.ManyOptions(20);
                break;
            default:
                // Random letters could still spell it, hence the check below.
                generate.WithoutNameFragments();
                line = LineGenerator::Cut(generate.Text(ArgumentRoom()), ArgumentRoom());
                break;
            }
            found = model::Interpret(model::AsPassedToEntryPoint(line)).name.empty();
        }
        ASSERT_TRUE(found) << "no line without a name for case " << index;
        SCOPED_TRACE("pipe line " + std::to_string(index) + ": " + Describe(line));
        const DownloaderRun run = RunAgainstDownloader(line, Answer(kTrue));
        ASSERT_TRUE(EndedCleanly(run.program));
        EXPECT_EQ(run.program.result.exitCode, 0u);
        EXPECT_TRUE(run.served);
        EXPECT_EQ(run.request.size(), 92u);
        EXPECT_TRUE(ScanMarkers(top).installKeys.empty());
        DeleteMarkerTree(top);
    }
    std::printf("%d lines without a name reached the downloader\n", kRuns);
    ExpectNoStrayWrites(before, RegistryFootprint::Take());
}

} // namespace
