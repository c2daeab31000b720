// The one exception type of the pipe code: a wide message plus the place that raised it.
#pragma once

#include <stdexcept>
#include <string>

// The message as what() answers it: in the ANSI code page, empty when it cannot be converted.
std::string AnsiText(const std::wstring& message);

template <typename Base> class wexception;

wexception<std::runtime_error> with_location(wexception<std::runtime_error> error, const wchar_t* file, int line);
wexception<std::runtime_error> with_error_code(wexception<std::runtime_error> error, unsigned long code);

template <typename Base> class wexception : public Base {
public:
    explicit wexception(const std::wstring& message) : Base(AnsiText(message)), message_(message) {}

    const std::wstring& message() const { return message_; }
    const std::wstring& file() const { return file_; }
    // The Windows error code of the failed call behind the failure, the one the message was composed
    // with; 0 when no system call failed. Read this, never the message, to tell failures apart.
    unsigned long error_code() const noexcept { return errorCode_; }
    // The same texts without copying them, for reports that must not allocate.
    const wchar_t* message_text() const noexcept { return message_.c_str(); }
    const wchar_t* file_text() const noexcept { return file_.c_str(); }

    int line = 0;

private:
    friend wexception<std::runtime_error> with_location(wexception<std::runtime_error> error, const wchar_t* file,
                                                        int line);
    friend wexception<std::runtime_error> with_error_code(wexception<std::runtime_error> error, unsigned long code);

    std::wstring message_;
    std::wstring file_;
    unsigned long errorCode_ = 0;
};

// The builders take the failed call's last-error code as an argument: the caller reads it right at
// the failing call, so nothing it does before raising can change the number.

// Appends " (Error code: N)".
std::wstring with_last_error(const std::wstring& text, unsigned long code);

// Trims the text, drops one final period, and appends " (HRESULT = N)." (or just a period when the
// code is 0). N is the last-error code itself, not an HRESULT made from it.
std::wstring with_hresult(const std::wstring& text, unsigned long code);

#define WEXCEPTION_WIDEN2(text) L##text
#define WEXCEPTION_WIDEN(text) WEXCEPTION_WIDEN2(text)

// A wexception<std::runtime_error> carrying the message and this source location.
#define MAKE_WEXCEPTION(message)                                                                                       \
    with_location(wexception<std::runtime_error>(message), WEXCEPTION_WIDEN(__FILE__), __LINE__)

#define RAISE_WEXCEPTION(message) throw MAKE_WEXCEPTION(message)

// The same, for a failed system call: the message (composed with the code, or a plain one) and the code
// itself, as data beside it.
#define RAISE_WEXCEPTION_CODE(message, code) throw with_error_code(MAKE_WEXCEPTION(message), code)
