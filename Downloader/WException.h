// The one exception type of the pipe code: a wide message plus the place that raised it.
#pragma once

#include <stdexcept>
#include <string>

// The message in the ANSI code page; empty when it cannot be converted.
std::string NarrowForWhat(const std::wstring& message);

template <typename Base> class wexception;

wexception<std::runtime_error> with_location(wexception<std::runtime_error> error, const wchar_t* file, int line);

template <typename Base> class wexception : public Base {
public:
    explicit wexception(const std::wstring& message) : Base(NarrowForWhat(message)), message_(message) {}

    std::wstring message() const { return message_; }
    std::wstring file() const { return file_; }
    // The same texts without copying them, for reports that must not allocate.
    const wchar_t* message_text() const noexcept { return message_.c_str(); }
    const wchar_t* file_text() const noexcept { return file_.c_str(); }

    int line = 0;

private:
    friend wexception<std::runtime_error> with_location(wexception<std::runtime_error> error, const wchar_t* file,
                                                        int line);

    std::wstring message_;
    std::wstring file_;
};

// Appends " (Error code: N)" with the calling thread's last-error code.
std::wstring with_last_error(const std::wstring& text);

// Trims the text, drops one final period, and appends " (HRESULT = N)." with the last-error code
// (or just a period when the code is 0).
std::wstring with_hresult(const std::wstring& text);

#define WEXCEPTION_WIDEN2(text) L##text
#define WEXCEPTION_WIDEN(text) WEXCEPTION_WIDEN2(text)

// A wexception<std::runtime_error> carrying the message and this source location.
#define MAKE_WEXCEPTION(message)                                                                                       \
    with_location(wexception<std::runtime_error>(message), WEXCEPTION_WIDEN(__FILE__), __LINE__)

#define RAISE_WEXCEPTION(message) throw MAKE_WEXCEPTION(message)
