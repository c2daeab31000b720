#pragma once

#include <string>

struct PeerOptions {
    std::wstring pipeName;                                      // empty: the downloader's own name
    std::string reply = std::string("\x05\x00\x00\x00\x01", 5); // Boolean true
    bool closeWithoutReply = false;
    unsigned createDelayMs = 0;
    unsigned replyDelayMs = 0;
    unsigned clients = 1; // 0: until stopped
    std::wstring grantSid;
    bool help = false;
};

// Fills the options from the arguments; returns an error text, empty when they are fine.
std::wstring ParsePeerOptions(int argc, wchar_t** argv, PeerOptions& options);

// "05 00 00 00 01" or "0500000001" to bytes; false when the text is not hex.
bool ParseHexBytes(const std::wstring& text, std::string& bytes);

extern const wchar_t PeerUsage[];
