// The folder of the running test program, where the build puts the programs and files it uses.
#pragma once

#include <string>

// With a trailing backslash.
std::wstring ProgramFolder();

// The whole content of a file in that folder; empty when it cannot be read.
std::string ReadBesideProgram(const std::wstring& name);
