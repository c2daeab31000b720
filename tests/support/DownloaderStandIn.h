// A downloader served by the test itself, on a thread, for one run of the program.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "ChildProcess.h"
#include "Pipe.h"

// What the downloader does with the connected pipe; returns the request it read.
using DownloaderHandler = std::function<std::string(IPC::Pipe&)>;

// What the downloader saw of one run: the request, and whether its handler ran to its end.
struct DownloaderRun {
    ChildResult program;
    std::string request;
    bool served = false;
};

// Serves the downloader's pipe once with the handler and runs Tessaline.exe with the arguments against it.
DownloaderRun RunAgainstDownloader(const std::wstring& arguments, DownloaderHandler handler);

// Reads the request and, after the delay, answers with the reply as one message.
DownloaderHandler Answer(const std::string& reply, DWORD delayMs = 0);
