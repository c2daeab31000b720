#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "MessageBuffer.h"
#include "Raised.h"
#include "TestPipes.h"

namespace {

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
    // The last: the tag whole, the payload missing.
    for (const std::string& bytes : {std::string(), Bytes({5}), Bytes({5, 0}), Bytes({5, 0, 0}), Bytes({5, 0, 0, 0})}) {
        InputBuffer buffer(bytes);
        EXPECT_EQ(RaisedBy([&] { buffer.ReadBoolean(); }), L"Unexpected end of input buffer") << Hex(bytes);
        EXPECT_FALSE(buffer.TagPending());
    }
}

TEST(InputBuffer, WrongTagStaysPending)
{
    InputBuffer buffer(Bytes({2, 0, 0, 0, 1, 0, 0, 0, 0x41, 0}));
    EXPECT_EQ(RaisedBy([&] { buffer.ReadBoolean(); }), L"Unexpected type found in input buffer");
    EXPECT_TRUE(buffer.TagPending());
    EXPECT_EQ(buffer.LastTag(), 2);
    EXPECT_EQ(buffer.Position(), 4);

    // Asking again compares with the pending tag and reads nothing.
    EXPECT_EQ(RaisedBy([&] { buffer.ReadBoolean(); }), L"Unexpected type found in input buffer");
    EXPECT_EQ(buffer.Position(), 4);

    // The value can still be read as what it is.
    EXPECT_EQ(buffer.ReadString(), L"A");
    EXPECT_FALSE(buffer.TagPending());
}

TEST(InputBuffer, CopiesAndMovesStartAgainAtTheFirstByteWithNothingPending)
{
    // Taken after a read of the wrong kind: the value is read again from the start, as what it is.
    const std::string string = Bytes({2, 0, 0, 0, 1, 0, 0, 0, 0x41, 0});
    InputBuffer source(string), movedFrom(string), moveSource(string), assigned(Bytes({5, 0, 0, 0}));
    for (InputBuffer* buffer : {&source, &movedFrom, &moveSource})
        EXPECT_EQ(RaisedBy([&] { buffer->ReadBoolean(); }), L"Unexpected type found in input buffer");
    EXPECT_EQ(RaisedBy([&] { assigned.ReadBoolean(); }), L"Unexpected end of input buffer");
    InputBuffer copied(source);
    assigned = source;
    InputBuffer moved(std::move(movedFrom));
    InputBuffer moveAssigned;
    moveAssigned = std::move(moveSource);
    for (InputBuffer* buffer : {&copied, &assigned, &moved, &moveAssigned}) {
        EXPECT_EQ(buffer->Position(), 0);
        EXPECT_FALSE(buffer->TagPending());
        EXPECT_EQ(buffer->Content(), source.Content());
        EXPECT_EQ(buffer->ReadString(), L"A");
    }
    // The source itself goes on where it stood; a moved-from one is empty, with nothing read.
    EXPECT_TRUE(source.TagPending());
    EXPECT_EQ(source.ReadString(), L"A");
    // What a moved-from buffer holds is what the test is about.
    // cppcheck-suppress accessMoved
    for (const InputBuffer* from : {&movedFrom, &moveSource}) {
        EXPECT_EQ(from->Content(), "");
        EXPECT_EQ(from->Position(), 0);
        EXPECT_FALSE(from->TagPending());
        EXPECT_EQ(from->LastTag(), 0);
    }
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
    EXPECT_EQ(RaisedBy([&] { in.ReadInteger(); }), L"Unexpected end of input buffer");
}

TEST(InputBuffer, StringLongerThanTheMessageEndsUnexpectedly)
{
    for (const std::string& bytes :
         {Bytes({2, 0, 0, 0, 3, 0, 0, 0, 0x41, 0}), Bytes({2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F}),
          Bytes({2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), Bytes({2, 0, 0, 0, 1}),
          // Twice this length wraps to 2 in 32 bits.
          Bytes({2, 0, 0, 0, 1, 0, 0, 0x80, 0x41, 0})}) {
        InputBuffer buffer(bytes);
        EXPECT_EQ(RaisedBy([&] { buffer.ReadString(); }), L"Unexpected end of input buffer") << Hex(bytes);
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
        EXPECT_EQ(RaisedBy([&] { c.read(buffer); }), L"Unexpected end of input buffer") << Hex(c.bytes);
        EXPECT_EQ(buffer.Position(), -1);
        EXPECT_FALSE(buffer.TagPending());
        // Every later read fails the same way, whatever it asks for.
        EXPECT_EQ(RaisedBy([&] { buffer.ReadBoolean(); }), L"Unexpected end of input buffer");
        EXPECT_EQ(RaisedBy([&] { buffer.ReadInteger(); }), L"Unexpected end of input buffer");
        EXPECT_EQ(buffer.Content(), c.bytes);
    }
}

TEST(InputBuffer, ReadAfterAFailureFailsEvenWithBytesLeft)
{
    // A String length the message cannot hold fails before any code unit is taken; the Boolean after it
    // is never read.
    InputBuffer buffer(Bytes({2, 0, 0, 0, 9, 0, 0, 0, 5, 0, 0, 0, 1}));
    EXPECT_EQ(RaisedBy([&] { buffer.ReadString(); }), L"Unexpected end of input buffer");
    EXPECT_EQ(buffer.Position(), -1);
    EXPECT_EQ(RaisedBy([&] { buffer.ReadBoolean(); }), L"Unexpected end of input buffer");
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
