// docs/protocol.md against the code: every byte example in it is what the encoder writes, or is read the
// way the document says. The build copies the document beside the test program.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ProgramFolder.h"
#include "CompletionNotice.h"
#include "DownloaderConnection.h"
#include "MessageBuffer.h"
#include "TestPipes.h"
#include "Text.h"
#include "WException.h"

namespace {

using Error = wexception<std::runtime_error>;

// A byte block of the document: the lines between the fences that follow "<!-- example: NAME -->".
struct Example {
    std::string name;
    std::string bytes;
    int line = 0; // of the marker, counted from 1
};

struct Examples {
    std::vector<Example> found;
    std::vector<std::string> problems;
};

Examples ParseExamples(const std::string& text)
{
    const std::string open = "<!-- example:", close = "-->";
    Examples examples;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    const auto next = [&] { return ++number, static_cast<bool>(std::getline(lines, line)); };
    while (next()) {
        const std::string marker = Trim(line);
        if (marker.compare(0, open.size(), open) != 0)
            continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (marker.size() < open.size() + close.size() ||
            marker.compare(marker.size() - close.size(), close.size(), close) != 0) {
            examples.problems.push_back(where + "marker not closed by -->");
            continue;
        }
        Example example{Trim(marker.substr(open.size(), marker.size() - open.size() - close.size())), "", number};
        if (!next() || Trim(line) != "```") {
            examples.problems.push_back(where + "no ``` block right after the marker");
            continue;
        }
        // Pairs of upper-case hex digits separated by blanks, each line with an optional "; comment".
        bool closed = false, valid = true;
        while (next() && !(closed = Trim(line) == "```")) {
            std::istringstream words(line.substr(0, line.find(';')));
            for (std::string word; words >> word;) {
                if (word.size() != 2 || word.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
                    examples.problems.push_back("line " + std::to_string(number) + ": not hex bytes: " + line);
                    valid = false;
                    break;
                }
                example.bytes.push_back(static_cast<char>(std::stoi(word, nullptr, 16)));
            }
        }
        if (!closed)
            examples.problems.push_back(where + "block not closed");
        else if (valid && example.bytes.empty())
            examples.problems.push_back(where + "empty block");
        else if (valid)
            examples.found.push_back(example);
    }
    return examples;
}

// How an encoding example is written, and a check that reading it back gives the value.
struct Encoding {
    std::function<void(OutputBuffer&)> write;
    std::function<void(InputBuffer&)> readBack;
};

std::map<std::string, Encoding> EncodingExamples()
{
    auto integer = [](std::int32_t value) {
        return Encoding{[value](OutputBuffer& b) { b.WriteInteger(value); },
                        [value](InputBuffer& b) { EXPECT_EQ(b.ReadInteger(), value); }};
    };
    auto string = [](const std::wstring& value) {
        return Encoding{[value](OutputBuffer& b) { b.WriteString(value); },
                        [value](InputBuffer& b) { EXPECT_EQ(b.ReadString(), value); }};
    };
    auto boolean = [](bool value) {
        return Encoding{[value](OutputBuffer& b) { b.WriteBoolean(value); },
                        [value](InputBuffer& b) { EXPECT_EQ(b.ReadBoolean(), value); }};
    };
    return {
        {"integer-0", integer(0)},
        {"integer-258", integer(258)},
        {"integer-minus-2", integer(-2)},
        {"string-ab", string(L"ab")},
        {"string-empty", string(L"")},
        {"string-surrogate-pair", string(L"\U0001F600")},
        {"boolean-true", boolean(true)},
        {"boolean-false", boolean(false)},
        {"request", Encoding{BuildCompletionRequest,
                             [](InputBuffer& b) {
                                 EXPECT_EQ(b.ReadInteger(), 0);
                                 EXPECT_EQ(b.ReadString(), MakeInstanceSuffix());
                             }}},
    };
}

// How the program reads each reply example: the Boolean, or the error that the reply raises.
std::map<std::string, std::string> ReplyExamples()
{
    return {
        {"reply-true", "true"},
        {"reply-false", "false"},
        {"reply-nonzero-is-true", "true"},
        {"reply-extra-bytes-ignored", "true"},
        {"reply-too-short", "Unexpected end of input buffer"},
        {"reply-wrong-type", "Unexpected type found in input buffer"},
    };
}

std::string ReadReply(const std::string& bytes)
{
    InputBuffer reply(bytes);
    try {
        return reply.ReadBoolean() ? "true" : "false";
    } catch (const Error& error) {
        return Narrow(error.message(), CP_UTF8);
    }
}

class ProtocolDocument : public ::testing::Test {
protected:
    void SetUp() override
    {
        text_ = ReadBesideProgram(L"protocol.md");
        ASSERT_FALSE(text_.empty()) << "protocol.md is missing beside the test program";
        examples_ = ParseExamples(text_);
    }

    std::string text_;
    Examples examples_;
};

TEST_F(ProtocolDocument, HoldsEveryExampleOnceAndNoOther)
{
    for (const std::string& problem : examples_.problems)
        ADD_FAILURE() << "protocol.md " << problem;

    std::set<std::string> known;
    for (const auto& entry : EncodingExamples())
        known.insert(entry.first);
    for (const auto& entry : ReplyExamples())
        known.insert(entry.first);

    std::set<std::string> seen;
    for (const Example& example : examples_.found) {
        EXPECT_TRUE(known.count(example.name)) << "line " << example.line << ": no check for " << example.name;
        EXPECT_TRUE(seen.insert(example.name).second) << "line " << example.line << ": " << example.name << " twice";
    }
    for (const std::string& name : known)
        EXPECT_TRUE(seen.count(name)) << "protocol.md lost the example " << name;
}

TEST_F(ProtocolDocument, EncodingExamplesAreWhatTheEncoderWrites)
{
    const std::map<std::string, Encoding> encodings = EncodingExamples();
    for (const Example& example : examples_.found) {
        const auto encoding = encodings.find(example.name);
        if (encoding == encodings.end())
            continue;
        OutputBuffer buffer;
        encoding->second.write(buffer);
        EXPECT_EQ(Hex(example.bytes), Hex(buffer.Content())) << example.name << " (line " << example.line << ")";

        InputBuffer readBack(example.bytes);
        SCOPED_TRACE(example.name);
        encoding->second.readBack(readBack);
    }
}

TEST_F(ProtocolDocument, RepliesReadAsDocumented)
{
    const std::map<std::string, std::string> replies = ReplyExamples();
    for (const Example& example : examples_.found) {
        const auto expected = replies.find(example.name);
        if (expected != replies.end()) {
            EXPECT_EQ(ReadReply(example.bytes), expected->second) << example.name << ": " << Hex(example.bytes);
        }
    }
}

TEST_F(ProtocolDocument, NamesThePipesAndTheSuffix)
{
    const std::wstring name = DownloaderPipeName();
    for (const std::wstring& text : {name, name + L"_EPM", MakeInstanceSuffix()}) {
        const std::string utf8 = Narrow(text, CP_UTF8);
        EXPECT_NE(text_.find("`" + utf8 + "`"), std::string::npos) << utf8;
    }
}

} // namespace
