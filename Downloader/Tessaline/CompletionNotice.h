// The completion notice: one request to the downloader, one Boolean reply.
#pragma once

#include <windows.h>

#include <memory>

#include "../Pipe.h"

// The connection to the downloader, kept until the process exits.
extern std::shared_ptr<IPC::Pipe> PipeHolder;

// Integer 0, then the instance suffix as a String.
void BuildCompletionRequest(OutputBuffer& request);

// The same request as its bytes, for the tools and tests that send it themselves.
std::string CompletionRequestBytes();

// Sends the request and reads the reply into the buffer. False on any failure; raises nothing.
[[nodiscard]] bool SendCompletionNotice(const OutputBuffer& request, InputBuffer& reply);

// What the downloader's reply decides: S_OK when its first value is the Boolean true (any non-zero byte),
// E_FAIL when false; bytes after it are not read. Raises the buffer's wexception for a reply that does
// not begin with a Boolean.
[[nodiscard]] HRESULT ResultOfReply(InputBuffer& reply);

// The pipe mode of a run: S_OK only when the downloader answers true. Every failure of the exchange,
// a reply that is not an answer included, ends in E_FAIL with one line for a debugger; raises only when
// the request itself cannot be built (no memory).
[[nodiscard]] HRESULT NotifyDownloader();
