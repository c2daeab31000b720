// The console tools' last resort: anything unexpected ends the tool with its failure code and a line
// that says what, never with the C runtime's own code (3 for an abort()).
#pragma once

#include <string>

// The tool-failure exit code of every tool.
const int kToolFailed = 2;

// The tool's body run under a handler that turns anything unexpected into kToolFailed, with its text on a
// line of its own ("tool failure: ..."); and, set up once, the same for an abort() or a terminate().
[[nodiscard]] int RunGuarded(int (*body)(int argc, wchar_t** argv), int argc, wchar_t** argv);
void EndFailuresWithToolFailed();

// The answer to --help or to a wrong command line: the usage on standard output and 0, or the problem
// and the usage on standard error and kToolFailed.
[[nodiscard]] int AnswerUsage(const std::wstring& problem, const wchar_t* usage);
