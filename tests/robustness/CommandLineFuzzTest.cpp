// Command lines against the grammar as the README and the setup author's guide state it, and hostile
// lines against what must hold for any input; a sample of both through the program itself.
//
// The grammar: options «/key=value» in a row. Keys are case-insensitive (they come out lower-cased),
// values keep their case and inner blanks. Double quotes are removed wherever they are. Blanks at the
// ends of an option are dropped. A value ends at the next "/" or "=": "/key=a=b" gives the values a
// and b, and a run of "/" or "=" cuts once. "/key", "/key=" and "/key=\"\"" have no value. The first
// occurrence of a key counts, and values after the first of a repeated key join it. A non-empty first
// value of /name selects the registry mode.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

#include "CommandLine.h"
#include "MarkerTree.h"
#include "Robustness.h"
#include "Watchdog.h"

namespace {

using Options = std::map<std::wstring, std::vector<std::wstring>>;

struct Option {
    std::wstring key; // lower-case letters, without the "/"
    std::vector<std::wstring> values;
};

// Writes option lists as command lines, with every liberty the grammar allows.
class GrammarWriter {
public:
    explicit GrammarWriter(std::mt19937& random) : random_(random) {}

    std::size_t Below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }
    bool Chance(int percent) { return Below(100) < static_cast<std::size_t>(percent); }

    // A value: no "/", "=" or quote, no blank at its ends, anything else.
    std::wstring Value()
    {
        static const wchar_t* const kPieces[] = {L"a",      L"Z",      L"7",          L"\u00C4", L"\u00DF",
                                                 L"\u0416", L"\u4E2D", L"\U0001F600", L"\\",     L":",
                                                 L".",      L"-",      L"_",          L"'",      L"&"};
        std::wstring value;
        const std::size_t length = 1 + Below(12);
        while (value.size() < length) {
            if (!value.empty() && Chance(10))
                value += Chance(50) ? L" " : L"\t";
            value += kPieces[Below(sizeof kPieces / sizeof kPieces[0])];
        }
        return value;
    }

    Option RandomOption(const std::wstring& key)
    {
        Option option{key, {}};
        const std::size_t values = Chance(20) ? 0 : 1 + (Chance(20) ? Below(3) : 0);
        for (std::size_t i = 0; i < values; ++i)
            option.values.push_back(Value());
        return option;
    }

    std::wstring Key()
    {
        static const wchar_t* const kKeys[] = {L"x", L"dir", L"lang", L"silent", L"log", L"name"};
        return kKeys[Below(sizeof kKeys / sizeof kKeys[0])];
    }

    std::wstring Write(const std::vector<Option>& options)
    {
        std::wstring line = Chance(20) ? L"  " : L"";
        for (const Option& option : options) {
            line += Chance(15) ? L"//" : L"/";
            line += Quoted(MixedCase(option.key));
            if (option.values.empty()) {
                const std::size_t form = Below(3);
                line += form == 0 ? L"" : form == 1 ? L"=" : L"=\"\"";
            }
            for (const std::wstring& value : option.values)
                line += (Chance(15) ? L"==" : L"=") + Quoted(value);
            line += Chance(50) ? L" " : Chance(50) ? L" \t " : L"";
        }
        return line;
    }

private:
    std::wstring MixedCase(std::wstring key)
    {
        for (wchar_t& c : key)
            if (Chance(40))
                c = static_cast<wchar_t>(c - L'a' + L'A');
        return key;
    }

    std::wstring Quoted(const std::wstring& text)
    {
        std::wstring quoted;
        for (wchar_t c : text) {
            if (Chance(8))
                quoted += L'"';
            quoted += c;
        }
        return Chance(20) ? L"\"" + quoted + L"\"" : quoted;
    }

    std::mt19937& random_;
};

// What the grammar says the parser makes of the options. A key met again keeps the list it has, and its
// own first value is dropped; the values after that one still go to the key, as in "/name=a /name=b=c",
// which gives /name the values a and c.
Options Expected(const std::vector<Option>& options)
{
    Options expected;
    for (const Option& option : options) {
        const auto known = expected.emplace(L"/" + option.key, option.values);
        if (!known.second && option.values.size() > 1)
            known.first->second.insert(known.first->second.end(), option.values.begin() + 1, option.values.end());
    }
    return expected;
}

// The value that selects the registry mode, or empty for the pipe mode.
std::wstring NameIn(const Options& options)
{
    const auto name = options.find(L"/name");
    return name == options.end() || name->second.empty() ? std::wstring() : name->second.front();
}

TEST(CommandLineFuzz, LinesWrittenFromTheGrammarParseBack)
{
    std::mt19937 random = SeededGenerator("grammar lines");
    GrammarWriter writer(random);
    const int kLines = 3000;
    int named = 0;
    for (int index = 0; index < kLines; ++index) {
        std::vector<Option> options;
        const std::size_t count = writer.Below(6);
        for (std::size_t i = 0; i < count; ++i)
            options.push_back(writer.RandomOption(writer.Key()));
        const std::wstring line = writer.Write(options);
        TokenList tokens;
        OptionParser parser;
        parser.Parse(SplitCommandLine(line, tokens), tokens.Entries());
        const Options expected = Expected(options);
        ASSERT_EQ(parser.Options(), expected) << "line " << index << ": " << Describe(line);
        ASSERT_EQ(RegistryName(line), NameIn(expected)) << "line " << index << ": " << Describe(line);
        named += NameIn(expected).empty() ? 0 : 1;
    }
    std::printf("%d lines from the grammar parsed back, %d of them naming a product\n", kLines, named);
    EXPECT_GT(named, kLines / 20);
}

// Hostile text: the option syntax's characters, blanks and controls of many kinds, other scripts,
// lone surrogates and long runs.
class HostileWriter {
public:
    explicit HostileWriter(std::mt19937& random) : random_(random) {}

    std::size_t Below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }

    std::wstring Text(std::size_t length)
    {
        static const wchar_t* const kAtoms[] = {
            L"/",      L"=",      L"\"",     L" ",      L"\t",     L"\\",         L"//",     L"==",       L"\"\"",
            L"/5",     L"/=",     L"=/",     L" = ",    L"/ /",    L"/x",         L"/X=",    L"/\u00C4=", L"a",
            L"B",      L"9",      L"\u00E4", L"\u0416", L"\u4E2D", L"\U0001F600", L"\xD800", L"\xDFFF",   L"\u00A0",
            L"\u3000", L"\u2028", L"\n",     L"\r",     L"\v",     L"\f",         L"\x01",   L"\x7F",     L"\u200B"};
        std::wstring text;
        while (text.size() < length) {
            const std::wstring atom = kAtoms[Below(sizeof kAtoms / sizeof kAtoms[0])];
            const std::size_t repeat = Below(20) == 0 ? 50 + Below(500) : 1;
            for (std::size_t i = 0; i < repeat; ++i)
                text += atom;
        }
        return text.substr(0, length);
    }

private:
    std::mt19937& random_;
};

// What holds for any line, whatever it means.
::testing::AssertionResult ParsesSanely(const std::wstring& line)
{
    TokenList tokens;
    const int count = SplitCommandLine(line, tokens);
    if (count != tokens.Count() || count > TokenList::kCapacity)
        return ::testing::AssertionFailure() << count << " tokens";
    for (int i = 0; i < count; ++i)
        if (tokens[i].find(L'"') != std::wstring::npos)
            return ::testing::AssertionFailure() << "a quote in token " << i;
    OptionParser parser;
    if (parser.Parse(count, tokens.Entries()) != static_cast<int>(parser.Options().size()))
        return ::testing::AssertionFailure() << "Parse does not count the keys";
    for (const auto& option : parser.Options()) {
        const std::wstring& key = option.first;
        if (key.size() < 2 || key[0] != L'/' || (key[1] >= L'0' && key[1] <= L'9'))
            return ::testing::AssertionFailure() << "not an option key: " << Describe(key);
        for (wchar_t c : key)
            if (c >= L'A' && c <= L'Z')
                return ::testing::AssertionFailure() << "key not lower-cased: " << Describe(key);
    }
    return ::testing::AssertionSuccess();
}

const std::size_t kCommandLineLimit = 32767;

TEST(CommandLineFuzz, HostileLinesParseSanely)
{
    std::mt19937 random = SeededGenerator("hostile lines");
    HostileWriter writer(random);
    const int kLines = 3000;
    for (int index = 0; index < kLines; ++index) {
        const std::size_t length = index % 100 == 0 ? kCommandLineLimit : writer.Below(index % 10 == 0 ? 3000 : 80);
        const std::wstring line = writer.Text(length);
        ASSERT_TRUE(ParsesSanely(line)) << "line " << index << ": " << Describe(line);
    }
}

// A tree below HKCU\Software\Tessaline that this process alone uses.
std::wstring TestTop(int index)
{
    return L"Robust" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(index);
}

TEST(CommandLineFuzz, SampleThroughTheProgram)
{
    SetTestTimeLimit(120);
    std::mt19937 random = SeededGenerator("program lines");
    GrammarWriter grammar(random);
    HostileWriter hostile(random);
    const RegistryFootprint before = RegistryFootprint::Take();
    int written = 0;

    // Registry lines from the grammar: the marker at exactly the key the name gives.
    for (int index = 0; index < 10; ++index) {
        const std::wstring top = TestTop(index);
        std::vector<Option> options;
        for (std::size_t i = grammar.Below(3); i > 0; --i)
            options.push_back(grammar.RandomOption(L"x"));
        Option name = grammar.RandomOption(L"name");
        name.values.insert(name.values.begin(), top + L"\\" + grammar.Value());
        options.insert(options.begin() + static_cast<std::ptrdiff_t>(grammar.Below(options.size() + 1)), name);
        const std::wstring line = grammar.Write(options);
        SCOPED_TRACE("registry line " + std::to_string(index) + ": " + Describe(line));
        CheckRegistryRun(top, name.values.front(), RunProgram(L"Tessaline.exe", line), &written);
        DeleteMarkerTree(top);
    }

    // Hostile text after a name: a marker, if any, only inside the name's own tree.
    for (int index = 10; index < 16; ++index) {
        const std::wstring top = TestTop(index);
        const std::wstring line =
            L"/name=" + top + L"\\" + hostile.Text(index == 15 ? ArgumentRoom() - top.size() - 7 : hostile.Below(200));
        SCOPED_TRACE("hostile line " + std::to_string(index) + ": " + Describe(line));
        const ChildResult run = RunProgram(L"Tessaline.exe", line);
        ASSERT_TRUE(EndedCleanly(run));
        const MarkerScan scan = ScanMarkers(top);
        EXPECT_EQ(scan.installKeys.size(), run.exitCode == S_OK ? 1u : 0u);
        EXPECT_TRUE(scan.malformed.empty());
        DeleteMarkerTree(top);
    }
    ExpectNoStrayWrites(before, RegistryFootprint::Take());
    EXPECT_GT(written, 0);

    // Lines that name no product reach the downloader: from the grammar, and a name behind the 256th
    // token, which is dropped.
    const std::string kTrue("\x05\x00\x00\x00\x01", 5);
    std::vector<std::wstring> pipeLines;
    for (int index = 0; index < 3; ++index) {
        std::vector<Option> options = {grammar.RandomOption(L"x"), grammar.RandomOption(L"lang")};
        if (index == 1)
            options.push_back(Option{L"name", {}});
        pipeLines.push_back(grammar.Write(options));
    }
    std::wstring many;
    for (int i = 0; i < 130; ++i)
        many += L"/k=v ";
    pipeLines.push_back(many + L"/name=" + TestTop(99));
    for (const std::wstring& line : pipeLines) {
        SCOPED_TRACE("pipe line: " + Describe(line));
        const DownloaderRun run = RunAgainstDownloader(line, Answer(kTrue));
        ASSERT_TRUE(EndedCleanly(run.program));
        EXPECT_EQ(run.program.exitCode, 0u);
        EXPECT_EQ(run.request.size(), 92u);
    }
    EXPECT_TRUE(ScanMarkers(TestTop(99)).installKeys.empty());
}

} // namespace
