#include <gtest/gtest.h>

#include <windows.h>

#include <sstream>
#include <string>

#include "Text.h"
#include "WException.h"

namespace {

using Error = wexception<std::runtime_error>;

TEST(WException, FreshExceptionHasNoLocation)
{
    const Error error(L"Pipe disconnected");
    EXPECT_EQ(error.message(), L"Pipe disconnected");
    EXPECT_EQ(error.file(), L"");
    EXPECT_EQ(error.line, 0);
    EXPECT_STREQ(error.what(), "Pipe disconnected");
    EXPECT_STREQ(Error(L"").what(), "");
}

TEST(WException, WithLocationSetsFileAndLineOnly)
{
    const Error located = with_location(Error(L"Failed to write to pipe"), L"Pipe.cpp", 42);
    EXPECT_EQ(located.file(), L"Pipe.cpp");
    EXPECT_EQ(located.line, 42);
    EXPECT_EQ(located.message(), L"Failed to write to pipe");
    EXPECT_STREQ(located.what(), "Failed to write to pipe");
}

TEST(WException, RaiseCarriesThisPlaceOutsideTheMessage)
{
    EXPECT_EQ(Error(L"Pipe disconnected").error_code(), 0u);
    int line = 0;
    try {
        line = __LINE__ + 1;
        RAISE_WEXCEPTION_CODE(L"Unexpected group count", 4294967295u);
    } catch (const Error& error) {
        // A copy, as a handler that catches by value makes one, keeps the code beside the message.
        const Error copy = error;
        EXPECT_EQ(copy.error_code(), 4294967295u);
        EXPECT_EQ(error.message(), L"Unexpected group count");
        EXPECT_EQ(error.line, line);
        EXPECT_NE(error.file().find(L"WExceptionTest.cpp"), std::wstring::npos) << error.file().c_str();
        EXPECT_EQ(error.message().find(L"WExceptionTest"), std::wstring::npos);
        return;
    }
    FAIL() << "nothing was raised";
}

TEST(WException, CaughtAsStandardExceptionAnswersTheAnsiText)
{
    try {
        RAISE_WEXCEPTION(L"Pipe disconnected");
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "Pipe disconnected");
        return;
    }
    FAIL() << "nothing was raised";
}

TEST(WException, CopyKeepsEverything)
{
    const Error original = with_location(Error(L"CopySid failed"), L"PipeSecurity.cpp", 7);
    const Error copy = original; // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.message(), original.message());
    EXPECT_EQ(copy.file(), original.file());
    EXPECT_EQ(copy.line, 7);
    EXPECT_STREQ(copy.what(), original.what());
}

TEST(WException, CharactersOutsideTheCodePageStayInTheWideMessage)
{
    if (GetACP() != 1252)
        GTEST_SKIP() << "the narrow text below is that of the Western European code page, 1252; this one is "
                     << GetACP();
    const std::wstring text = L"Fehler \u00e9 \u041e\u0448\u0438\u0431\u043a\u0430 \u4e2d \U0001F600 ok";
    const Error error(text);
    EXPECT_EQ(error.message(), text);
    // What the code page has in its own byte, a stand-in for the rest: one per code unit.
    EXPECT_STREQ(error.what(), "Fehler \xE9 ?????? ? ?? ok");
}

struct TextCase {
    const wchar_t* text;
    unsigned long code;
    const wchar_t* expected;
};

class WithLastError : public ::testing::TestWithParam<TextCase> {};

TEST_P(WithLastError, AppendsTheCodeInDecimal)
{
    EXPECT_EQ(with_last_error(GetParam().text, GetParam().code), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, WithLastError,
                         ::testing::Values(TextCase{L"Unable to connect to a named pipe", 2,
                                                    L"Unable to connect to a named pipe (Error code: 2)"},
                                           TextCase{L"", 0, L" (Error code: 0)"},
                                           TextCase{L"  kept as is. ", 231, L"  kept as is.  (Error code: 231)"},
                                           TextCase{L"x", 0x80070005, L"x (Error code: 2147942405)"},
                                           TextCase{L"x", 4294967295u, L"x (Error code: 4294967295)"}));

class WithHresult : public ::testing::TestWithParam<TextCase> {};

TEST_P(WithHresult, TrimsAndAppendsTheCode)
{
    EXPECT_EQ(with_hresult(GetParam().text, GetParam().code), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, WithHresult,
    ::testing::Values(TextCase{L"SetNamedPipeHandleState failed", 6, L"SetNamedPipeHandleState failed (HRESULT = 6)."},
                      TextCase{L"Client failed to connect", 0, L"Client failed to connect."},
                      TextCase{L"  Done.  ", 5, L"Done (HRESULT = 5)."}, TextCase{L"", 0, L"."},
                      TextCase{L" \t\r\n\v\f ", 0, L"."}, TextCase{L"", 5, L" (HRESULT = 5)."},
                      TextCase{L"   ", 5, L" (HRESULT = 5)."}, TextCase{L"Failed..", 0, L"Failed."},
                      TextCase{L"Failed..", 3, L"Failed. (HRESULT = 3)."}, TextCase{L"Ends.", 0, L"Ends."},
                      TextCase{L"in  side", 4294967295u, L"in  side (HRESULT = 4294967295)."},
                      TextCase{L"\u3000wide\u00A0", 0, L"wide."}, TextCase{L"x\u200B", 0, L"x\u200B."}));

// The error texts write numbers without a stream; a default wide string stream is the reference.
TEST(ErrorNumbers, DecimalIsWhatADefaultWideStreamWrites)
{
    for (unsigned long value : {0ul, 1ul, 9ul, 10ul, 2147483647ul, 2147483648ul, 4294967295ul}) {
        std::wostringstream stream;
        stream << value;
        EXPECT_EQ(Decimal(value), stream.str());
    }
}

} // namespace
