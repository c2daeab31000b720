#include "ToolGuard.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>

#include "ConsoleOutput.h"
#include "Text.h"
#include "WException.h"

namespace {

[[noreturn]] void EndAsToolFailure(const std::wstring& what)
{
    PrintLine(L"tool failure: " + what);
    std::_Exit(kToolFailed);
}

void OnAbortSignal(int) { EndAsToolFailure(L"aborted"); }

} // namespace

int RunGuarded(int (*body)(int argc, wchar_t** argv), int argc, wchar_t** argv)
{
    try {
        return body(argc, argv);
    } catch (const wexception<std::runtime_error>& error) {
        PrintLine(L"tool failure: " + error.message() + L" (" + error.file() + L":" +
                  Decimal(static_cast<unsigned long>(error.line)) + L")");
    } catch (const std::exception& error) {
        PrintLine(L"tool failure: " + Widen(error.what(), CP_ACP));
    } catch (...) {
        PrintLine(L"tool failure: an exception of no standard type");
    }
    return kToolFailed;
}

int AnswerUsage(const std::wstring& problem, const wchar_t* usage)
{
    std::fputws(problem.empty() ? L"" : (problem + L"\n").c_str(), stderr);
    std::fputws(usage, problem.empty() ? stdout : stderr);
    return problem.empty() ? 0 : kToolFailed;
}

void EndFailuresWithToolFailed()
{
    std::signal(SIGABRT, OnAbortSignal);
    std::set_terminate([] { EndAsToolFailure(L"terminated"); });
}
