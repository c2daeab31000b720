// Lines for the tools' standard output: wide characters on a console, UTF-8 when redirected to a
// file or a pipe, so that a pasted report keeps its names whatever the console's code page.
#pragma once

#include <string>

void PrintLine(const std::wstring& line);
