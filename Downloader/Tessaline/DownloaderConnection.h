// The downloader's pipe: its name, and the client connection with its retry.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "../Pipe.h"

extern const std::wstring PipeNamePrefix;

// "{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}": ends the pipe name and goes in the request.
std::wstring MakeInstanceSuffix();

// PipeNamePrefix followed by the instance suffix.
std::wstring DownloaderPipeName();

// The most attempts the retry makes: one at once and one after each of ten pauses.
const unsigned kOpenAttemptLimit = 11;
// The pause between two attempts.
const unsigned long kRetryPauseMs = 500;

// What a watcher of the retry learns, for a report of its course; the program itself watches nothing.
struct RetryWatch {
    // Each attempt's handle, as soon as it exists (before the switch to message mode).
    IPC::Pipe::HandleObserver opened;
    // The end of each attempt: its failure, or none for the attempt that opened the pipe.
    std::function<void(const wexception<std::runtime_error>* failure)> attempted;
};

// Opens the named pipe as a client: one attempt at once and up to ten more, 500 ms apart, each of which
// waits up to 3 s more for a free instance while every one is busy (up to about 38 s in all).
// Raises "Unable to open named pipe." when none succeeds, with the last attempt's wexception nested in it
// (std::nested_exception).
std::unique_ptr<IPC::Pipe> OpenPipeWithRetry(const std::wstring& name, const RetryWatch& watch = RetryWatch());

std::unique_ptr<IPC::Pipe> OpenDownloaderPipe();
