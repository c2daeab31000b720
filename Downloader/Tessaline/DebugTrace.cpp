#include "DebugTrace.h"

#include <windows.h>

#include <cstring>

#include "../Text.h"

namespace {

// One line for the debugger, built on the stack, of at most Capacity - 2 units of text.
template <std::size_t Capacity> class DebugLine {
public:
    DebugLine() noexcept { Append(L"Tessaline: "); }
    DebugLine(const DebugLine&) = delete;
    DebugLine& operator=(const DebugLine&) = delete;

    void Append(const wchar_t* text) noexcept
    {
        while (text != nullptr && *text != L'\0' && length_ < kRoom)
            text_[length_++] = *text++;
    }

    void AppendDecimal(unsigned long number) noexcept
    {
        wchar_t digits[kDecimalDigits];
        const std::size_t count = WriteDecimal(number, digits);
        for (std::size_t i = 0; i < count && length_ < kRoom; ++i)
            text_[length_++] = digits[i];
    }

    void AppendHex(unsigned long code) noexcept
    {
        static const wchar_t kDigits[] = L"0123456789ABCDEF";
        Append(L"0x");
        for (int shift = 28; shift >= 0 && length_ < kRoom; shift -= 4)
            text_[length_++] = kDigits[(code >> shift) & 0xF];
    }

    // Text in the ANSI code page. A byte never becomes more than one code unit, so converting no more
    // bytes than there is room for always fits.
    void AppendAnsi(const char* text) noexcept
    {
        if (text == nullptr)
            return;
        const std::size_t room = kRoom - length_;
        const std::size_t bytes = strnlen(text, room);
        length_ += WidenInto(text, bytes, CP_ACP, text_ + length_, room);
    }

    // Sent in the ANSI code page from the stack: OutputDebugStringW would make that copy on the heap,
    // which, for the guard's lines, may be what is broken. Where a character takes more bytes than the
    // line has room for, the text is cut; the line feed always ends it.
    void Send() noexcept
    {
        char ansi[Capacity * 2];
        std::size_t bytes = NarrowInto(text_, length_, CP_ACP, ansi, sizeof ansi - 2);
        ansi[bytes++] = '\n';
        ansi[bytes] = '\0';
        OutputDebugStringA(ansi);
    }

private:
    // Room for the text, leaving the line feed and the terminator.
    static const std::size_t kRoom = Capacity - 2;

    wchar_t text_[Capacity] = {};
    std::size_t length_ = 0;
};

// A message with its source file; and the short lines of the guard, which may be written on a stack
// that has all but run out.
using MessageLine = DebugLine<1024>;
using ShortLine = DebugLine<64>;

} // namespace

void TraceToDebugger(const wchar_t* text) noexcept
{
    ShortLine line;
    line.Append(text);
    line.Send();
}

void TraceCodeToDebugger(const wchar_t* text, unsigned long code) noexcept
{
    ShortLine line;
    line.Append(text);
    line.AppendHex(code);
    line.Send();
}

void TraceToDebugger(const wexception<std::runtime_error>& error) noexcept
{
    MessageLine line;
    line.Append(error.message_text());
    // The one failure the program nests is the connection retry's last attempt, under its own. A nested
    // exception made where none was being handled holds nothing, and rethrowing that would terminate.
    const auto* nested = dynamic_cast<const std::nested_exception*>(&error);
    if (nested != nullptr && nested->nested_ptr() != nullptr) {
        try {
            nested->rethrow_nested();
        } catch (const wexception<std::runtime_error>& cause) {
            line.Append(L" Last attempt: ");
            line.Append(cause.message_text());
        } catch (...) {
            // Only a wexception is nested; anything else adds nothing to the line.
        }
    }
    line.Append(L" (");
    line.Append(error.file_text());
    line.Append(L":");
    line.AppendDecimal(static_cast<unsigned long>(error.line));
    line.Append(L")");
    line.Send();
}

void TraceToDebugger(const std::exception& error) noexcept
{
    MessageLine line;
    line.AppendAnsi(error.what());
    line.Send();
}

void TraceCaughtException(const wchar_t* unknown) noexcept
{
    // Rethrown in place, which unlike std::rethrow_exception needs no memory: the exception may be a
    // bad_alloc.
    try {
        // cppcheck-suppress rethrowNoCurrentException
        throw;
    } catch (const wexception<std::runtime_error>& error) {
        TraceToDebugger(error);
    } catch (const std::exception& error) {
        TraceToDebugger(error);
    } catch (...) {
        TraceToDebugger(unknown);
    }
}
