#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "MessageBuffer.h"
#include "TestPipes.h"
#include "WException.h"

namespace {

using Error = wexception<std::runtime_error>;

std::wstring MessageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Error& error) {
        EXPECT_FALSE(error.file().empty());
        EXPECT_GT(error.line, 0);
        return error.message();
    }
    return L"(nothing raised)";
}

// The worked examples of the format are checked against the protocol document.

TEST(OutputBuffer, IntegerThenStringIsSixteenPlusTwiceTheLength)
{
    for (std::size_t length : {0u, 1u, 38u, 1000u}) {
        OutputBuffer buffer;
        buffer.WriteInteger(0);
        buffer.WriteString(std::wstring(length, L'x'));
        EXPECT_EQ(buffer.Content().size(), 16 + 2 * length);
    }
}

TEST(InputBuffer, ReadsBooleans)
{
    struct Case {
        std::string bytes;
        bool expected;
    } cases[] = {
        {Bytes({5, 0, 0, 0, 1}), true},    {Bytes({5, 0, 0, 0, 0}), false},         {Bytes({5, 0, 0, 0, 2}), true},
        {Bytes({5, 0, 0, 0, 0xFF}), true}, {Bytes({5, 0, 0, 0, 1, 9, 9, 9}), true},
    };
    for (const Case& c : cases) {
        InputBuffer buffer(c.bytes);
        EXPECT_EQ(buffer.ReadBoolean(), c.expected) << Hex(c.bytes);
        EXPECT_FALSE(buffer.TagPending());
    }
}

TEST(InputBuffer, ShortMessagesEndUnexpectedly)
{
    for (const std::string& bytes : {std::string(), Bytes({5}), Bytes({5, 0}), Bytes({5, 0, 0})}) {
        InputBuffer buffer(bytes);
        EXPECT_EQ(MessageOf([&] { buffer.ReadBoolean(); }), L"Unexpected end of input buffer") << Hex(bytes);
        EXPECT_FALSE(buffer.TagPending());
    }
}

TEST(InputBuffer, TagWithoutPayloadEndsUnexpectedly)
{
    InputBuffer buffer(Bytes({5, 0, 0, 0}));
    EXPECT_EQ(MessageOf([&] { buffer.ReadBoolean(); }), L"Unexpected end of input buffer");
    // The buffer stays failed.
    EXPECT_EQ(MessageOf([&] { buffer.ReadBoolean(); }), L"Unexpected end of input buffer");
}

TEST(InputBuffer, WrongTagStaysPending)
{
    InputBuffer buffer(Bytes({2, 0, 0, 0, 1, 0, 0, 0, 0x41, 0}));
    EXPECT_EQ(MessageOf([&] { buffer.ReadBoolean(); }), L"Unexpected type found in input buffer");
    EXPECT_TRUE(buffer.TagPending());
    EXPECT_EQ(buffer.LastTag(), 2);
    EXPECT_EQ(buffer.Position(), 4);

    // Asking again compares with the pending tag and reads nothing.
    EXPECT_EQ(MessageOf([&] { buffer.ReadBoolean(); }), L"Unexpected type found in input buffer");
    EXPECT_EQ(buffer.Position(), 4);

    // The value can still be read as what it is.
    EXPECT_EQ(buffer.ReadString(), L"A");
    EXPECT_FALSE(buffer.TagPending());
}

TEST(InputBuffer, AssignmentRestartsAtTheFirstByteWithTheSourceState)
{
    InputBuffer source(Bytes({2, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(MessageOf([&] { source.ReadBoolean(); }), L"Unexpected type found in input buffer");

    InputBuffer target(Bytes({5, 0, 0, 0}));
    EXPECT_EQ(MessageOf([&] { target.ReadBoolean(); }), L"Unexpected end of input buffer");
    target = source;
    EXPECT_TRUE(target.TagPending());
    EXPECT_EQ(target.LastTag(), 2);
    EXPECT_EQ(target.Position(), 0);
    EXPECT_EQ(target.Content(), source.Content());

    InputBuffer fresh;
    fresh = InputBuffer(Bytes({5, 0, 0, 0, 1}));
    EXPECT_TRUE(fresh.ReadBoolean());
}

TEST(InputBuffer, RoundTripsEveryKind)
{
    OutputBuffer out;
    out.WriteInteger(-123456789);
    out.WriteString(L"{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}");
    out.WriteBoolean(true);
    out.WriteString(std::wstring(L"zero\0inside", 11));

    InputBuffer in(out.Content());
    EXPECT_EQ(in.ReadInteger(), -123456789);
    EXPECT_EQ(in.ReadString(), L"{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}");
    EXPECT_TRUE(in.ReadBoolean());
    EXPECT_EQ(in.ReadString(), std::wstring(L"zero\0inside", 11));
    EXPECT_EQ(MessageOf([&] { in.ReadInteger(); }), L"Unexpected end of input buffer");
}

TEST(InputBuffer, StringLongerThanTheMessageEndsUnexpectedly)
{
    for (const std::string& bytes :
         {Bytes({2, 0, 0, 0, 3, 0, 0, 0, 0x41, 0}), Bytes({2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F}),
          Bytes({2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), Bytes({2, 0, 0, 0, 1}),
          // Twice this length wraps to 2 in 32 bits.
          Bytes({2, 0, 0, 0, 1, 0, 0, 0x80, 0x41, 0})}) {
        InputBuffer buffer(bytes);
        EXPECT_EQ(MessageOf([&] { buffer.ReadString(); }), L"Unexpected end of input buffer") << Hex(bytes);
    }
}

TEST(InputBuffer, ReadThatFailsHalfwayLeavesTheBufferFailed)
{
    struct Case {
        std::string bytes;
        std::function<void(InputBuffer&)> read;
    } cases[] = {
        // An Integer with two of its four value bytes; a String with half its code units.
        {Bytes({0, 0, 0, 0, 7, 0}), [](InputBuffer& b) { b.ReadInteger(); }},
        {Bytes({2, 0, 0, 0, 2, 0, 0, 0, 0x41, 0, 0x42}), [](InputBuffer& b) { b.ReadString(); }},
        {Bytes({2, 0, 0, 0, 2, 0}), [](InputBuffer& b) { b.ReadString(); }},
    };
    for (const Case& c : cases) {
        InputBuffer buffer(c.bytes);
        EXPECT_EQ(MessageOf([&] { c.read(buffer); }), L"Unexpected end of input buffer") << Hex(c.bytes);
        EXPECT_EQ(buffer.Position(), -1);
        EXPECT_FALSE(buffer.TagPending());
        // Every later read fails the same way, whatever it asks for.
        EXPECT_EQ(MessageOf([&] { buffer.ReadBoolean(); }), L"Unexpected end of input buffer");
        EXPECT_EQ(MessageOf([&] { buffer.ReadInteger(); }), L"Unexpected end of input buffer");
        EXPECT_EQ(buffer.Content(), c.bytes);
    }
}

TEST(InputBuffer, ReadAfterAFailureFailsEvenWithBytesLeft)
{
    // A String length the message cannot hold fails before any code unit is taken; the Boolean after it
    // is never read.
    InputBuffer buffer(Bytes({2, 0, 0, 0, 9, 0, 0, 0, 5, 0, 0, 0, 1}));
    EXPECT_EQ(MessageOf([&] { buffer.ReadString(); }), L"Unexpected end of input buffer");
    EXPECT_EQ(buffer.Position(), -1);
    EXPECT_EQ(MessageOf([&] { buffer.ReadBoolean(); }), L"Unexpected end of input buffer");

    // A copy starts again at the first byte, without the failure.
    InputBuffer copy(buffer);
    EXPECT_EQ(copy.Position(), 0);
    EXPECT_EQ(MessageOf([&] { copy.ReadBoolean(); }), L"Unexpected type found in input buffer");
    EXPECT_EQ(copy.Position(), 4);
}

TEST(InputBuffer, SuccessfulReadsAdvanceByTheirWidth)
{
    InputBuffer buffer(Bytes({0, 0, 0, 0, 1, 0, 0, 0, 5, 0, 0, 0, 1, 2, 0, 0, 0, 1, 0, 0, 0, 0x41, 0}));
    EXPECT_EQ(buffer.ReadInteger(), 1);
    EXPECT_EQ(buffer.Position(), 8);
    EXPECT_TRUE(buffer.ReadBoolean());
    EXPECT_EQ(buffer.Position(), 13);
    EXPECT_EQ(buffer.ReadString(), L"A");
    EXPECT_EQ(buffer.Position(), 23);
}

TEST(OutputBuffer, AppendsRawBytesAfterTypedValues)
{
    OutputBuffer buffer;
    buffer.WriteBoolean(true);
    buffer.WriteBytes(Bytes({9, 0, 0xFF}));
    buffer.WriteBytes(std::string());
    EXPECT_EQ(Hex(buffer.Content()), "05 00 00 00 01 09 00 FF");
}

} // namespace
