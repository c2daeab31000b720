#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "CommandLine.h"

namespace {

using Options = std::map<std::wstring, std::vector<std::wstring>>;

struct CommandLineCase {
    const wchar_t* text;
    std::vector<std::wstring> tokens;
    Options options;
};

std::vector<std::wstring> TokensOf(const TokenList& list)
{
    std::vector<std::wstring> tokens;
    for (int i = 0; i < list.Count(); ++i)
        tokens.push_back(list[i]);
    return tokens;
}

class CommandLineGrammar : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineGrammar, SplitsAndGroups)
{
    TokenList tokens;
    const int count = SplitCommandLine(GetParam().text, tokens);
    EXPECT_EQ(TokensOf(tokens), GetParam().tokens);

    OptionParser parser;
    EXPECT_EQ(parser.Parse(count, tokens.Entries()), static_cast<int>(GetParam().options.size()));
    EXPECT_EQ(parser.Options(), GetParam().options);
}

const std::wstring kQuotes = L"\"\"";

INSTANTIATE_TEST_SUITE_P(
    Lines, CommandLineGrammar,
    ::testing::Values(
        CommandLineCase{L"/name=Product", {L"/name", L"Product"}, {{L"/name", {L"Product"}}}},
        CommandLineCase{
            L"/NAME=My App /x=1", {L"/name", L"My App", L"/x", L"1"}, {{L"/name", {L"My App"}}, {L"/x", {L"1"}}}},
        CommandLineCase{L"/name", {L"/name"}, {{L"/name", {}}}},
        CommandLineCase{L"/name=", {L"/name"}, {{L"/name", {}}}},
        CommandLineCase{L"/name=\"\"", {L"/name", L""}, {{L"/name", {}}}},
        CommandLineCase{L"/name=a=b", {L"/name", L"a", L"b"}, {{L"/name", {L"a", L"b"}}}},
        CommandLineCase{L"/name=a /name=b", {L"/name", L"a", L"/name", L"b"}, {{L"/name", {L"a"}}}},
        CommandLineCase{L"/name=a /name=b=c", {L"/name", L"a", L"/name", L"b", L"c"}, {{L"/name", {L"a", L"c"}}}},
        CommandLineCase{L"/name=a /5=b", {L"/name", L"a", L"/5", L"b"}, {{L"/name", {L"a", L"/5", L"b"}}}},
        CommandLineCase{L"/name=C:/Temp", {L"/name", L"C:", L"/temp"}, {{L"/name", {L"C:"}}, {L"/temp", {}}}},
        CommandLineCase{L"foo /name=x", {L"/foo", L"/name", L"x"}, {{L"/foo", {}}, {L"/name", {L"x"}}}},
        CommandLineCase{L"/name=x / /y", {L"/name", L"x", L"/", L"/y"}, {{L"/name", {L"x", L"/"}}, {L"/y", {}}}},
        CommandLineCase{L"/name = Product", {L"/name ", L" Product"}, {{L"/name ", {L" Product"}}}},
        CommandLineCase{L"//name==\"Pro\"duct\"", {L"/name", L"Product"}, {{L"/name", {L"Product"}}}},
        // Text before the first "/" is a segment of its own: here blanks, which become the lone "/".
        CommandLineCase{L"  \t /Name=\"A B\"  ", {L"/", L"/name", L"A B"}, {{L"/name", {L"A B"}}}},
        CommandLineCase{L"/\u00C4BC=\u00C4", {L"/\u00C4bc", L"\u00C4"}, {{L"/\u00C4bc", {L"\u00C4"}}}},
        CommandLineCase{L"", {}, {}}, CommandLineCase{L"   ", {L"/"}, {}},
        CommandLineCase{L"/1=x", {L"/1", L"x"}, {}}));

TEST(OptionParser, LookupsOnParsedOptions)
{
    const wchar_t* entries[] = {L"/name", L"Product", L"/empty"};
    OptionParser parser;
    ASSERT_EQ(parser.Parse(3, entries), 2);
    EXPECT_TRUE(parser.Has(L"/name"));
    EXPECT_FALSE(parser.Has(L"/NAME"));
    EXPECT_EQ(parser.ValueCount(L"/name"), 1);
    EXPECT_EQ(parser.ValueCount(L"/empty"), 0);
    EXPECT_EQ(parser.ValueCount(L"/absent"), -1);
    EXPECT_EQ(parser.Value(L"/name"), L"Product");
}

TEST(OptionParser, ValueWithoutValuesThrowsIntZero)
{
    const wchar_t* entries[] = {L"/empty"};
    OptionParser parser;
    parser.Parse(1, entries);
    for (const wchar_t* key : {L"/empty", L"/absent"}) {
        try {
            parser.Value(key);
            ADD_FAILURE() << "no exception for " << testing::PrintToString(std::wstring(key));
        } catch (int code) {
            EXPECT_EQ(code, 0);
        }
    }
}

TEST(OptionParser, AbsentEntriesCountAsEmpty)
{
    const wchar_t* entries[] = {L"/a", nullptr, L"/b", L"x", nullptr};
    OptionParser parser;
    EXPECT_EQ(parser.Parse(5, entries), 2);
    EXPECT_EQ(parser.ValueCount(L"/a"), 0);
    EXPECT_EQ(parser.Options().at(L"/b"), (std::vector<std::wstring>{L"x", L""}));
}

TEST(OptionParser, PlainEntriesBeforeAnyOptionAreDropped)
{
    const wchar_t* entries[] = {L"x", L"/5", L"/a", L"y"};
    OptionParser parser;
    EXPECT_EQ(parser.Parse(4, entries), 1);
    EXPECT_EQ(parser.Options().at(L"/a"), std::vector<std::wstring>{L"y"});
}

TEST(OptionParser, SecondParseHoldsOnlyTheSecondList)
{
    const wchar_t* first[] = {L"/a", L"1"};
    const wchar_t* second[] = {L"/b", L"2"};
    OptionParser parser;
    parser.Parse(2, first);
    EXPECT_EQ(parser.Parse(2, second), 1);
    EXPECT_FALSE(parser.Has(L"/a"));
    EXPECT_EQ(parser.Parse(0, second), 0);
    EXPECT_FALSE(parser.Has(L"/b"));
}

TEST(SplitCommandLine, DropsTokensBeyondTheRoom)
{
    std::wstring text;
    for (int i = 0; i < 200; ++i)
        text += L"/k" + std::to_wstring(i) + L"=v" + std::to_wstring(i) + L" ";
    TokenList tokens;
    EXPECT_EQ(SplitCommandLine(text, tokens), TokenList::kCapacity);
    EXPECT_EQ(tokens[TokenList::kCapacity - 1], L"v127");

    OptionParser parser;
    EXPECT_EQ(parser.Parse(tokens.Count(), tokens.Entries()), 128);
}

} // namespace
