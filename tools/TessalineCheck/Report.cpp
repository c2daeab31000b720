#include "Report.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <stdexcept>

#include "WException.h"

namespace {

[[noreturn]] void EndAsToolFailure(const std::wstring& what)
{
    Say(L"tool failure", what);
    std::_Exit(static_cast<int>(Outcome::ToolFailed));
}

void OnAbortSignal(int) { EndAsToolFailure(L"aborted"); }

} // namespace

int RunGuarded(int (*body)(int argc, wchar_t** argv), int argc, wchar_t** argv)
{
    try {
        return body(argc, argv);
    } catch (const wexception<std::runtime_error>& error) {
        Say(L"tool failure",
            error.message() + L" (" + error.file() + L":" + Decimal(static_cast<unsigned long>(error.line)) + L")");
    } catch (const std::exception& error) {
        Say(L"tool failure", Widen(error.what(), CP_ACP));
    } catch (...) {
        Say(L"tool failure", L"an exception of no standard type");
    }
    return static_cast<int>(Outcome::ToolFailed);
}

void EndFailuresWithToolFailed()
{
    std::signal(SIGABRT, OnAbortSignal);
    std::set_terminate([] { EndAsToolFailure(L"terminated"); });
}
