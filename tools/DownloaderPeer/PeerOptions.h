#pragma once

#include <string>

// A pipe that no downloader should serve, to try what a client makes of it.
enum class Misfit { None, ByteMode, OneWay };

struct PeerOptions {
    std::wstring pipeName;                                      // empty: the downloader's own name
    std::string reply = std::string("\x05\x00\x00\x00\x01", 5); // Boolean true
    bool closeWithoutReply = false;
    unsigned createDelayMs = 0;
    unsigned replyDelayMs = 0;
    unsigned clients = 1; // requests to answer; 0: until stopped
    std::wstring grantSid;
    bool defaultSecurity = false; // the process's default security even when it runs elevated
    Misfit misfit = Misfit::None;
    bool help = false;
};

// Fills the options from the arguments; returns an error text, empty when they are fine.
std::wstring ParsePeerOptions(int argc, wchar_t** argv, PeerOptions& options);

// "05 00 00 00 01" or "0500000001" to bytes; false when the text is not hex.
bool ParseHexBytes(const std::wstring& text, std::string& bytes);

extern const wchar_t PeerUsage[];
