#include "PeerOptions.h"

#include "ParseCount.h"

#include <cwchar>
#include <cwctype>

const wchar_t PeerUsage[] =
    L"Usage: DownloaderPeer [options]\n"
    L"Serves the downloader pipe and answers each completion notice.\n"
    L"  --reply true|false|HEX   the reply to the notice: a Boolean, or raw bytes in hex (\"05000000\", \"\"\n"
    L"                           for empty); any other request is answered false\n"
    L"  --close                  read the request and close without replying\n"
    L"  --create-delay MS        wait before creating the pipe\n"
    L"  --reply-delay MS         wait before replying\n"
    L"  --clients N              stop after N requests, several clients at once (default 1, 0 = until\n"
    L"                           stopped): any whole request counts, a notice or not, answered or not;\n"
    L"                           a client that sends none (the support tool's look) does not count\n"
    L"  --grant-sid SID          serve the \"_EPM\" instance, open to the logon session and SID\n"
    L"  --default-security       keep the process's default security when it runs elevated, which refuses\n"
    L"                           its user's unelevated setups (without it, the elevated downloader's own)\n"
    L"  --byte-mode              serve a byte-mode pipe, which a client cannot switch to message mode;\n"
    L"                           --clients then counts connections\n"
    L"  --one-way                serve a pipe that only receives, which refuses a client (error 5)\n"
    L"  --pipe NAME              serve another pipe name (for tests)\n"
    L"Stops on Ctrl+C or when the count is reached.\n";

namespace {

// Delays and client counts alike.
const unsigned long kMaxNumber = 0x7FFFFFFF;

int HexDigit(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

} // namespace

bool ParseHexBytes(const std::wstring& text, std::string& bytes)
{
    bytes.clear();
    int high = -1;
    for (wchar_t c : text) {
        if (std::iswspace(c))
            continue;
        const int digit = HexDigit(c);
        if (digit < 0)
            return false;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<char>(high * 16 + digit));
            high = -1;
        }
    }
    return high < 0;
}

std::wstring ParsePeerOptions(int argc, wchar_t** argv, PeerOptions& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto needValue = [&]() -> bool {
            if (value == nullptr)
                return false;
            ++i;
            return true;
        };
        if (option == L"--help" || option == L"-h" || option == L"/?") {
            options.help = true;
        } else if (option == L"--close") {
            options.closeWithoutReply = true;
        } else if (option == L"--reply") {
            if (!needValue())
                return L"--reply needs a value";
            const std::wstring reply = value;
            if (reply == L"true")
                options.reply = std::string("\x05\x00\x00\x00\x01", 5);
            else if (reply == L"false")
                options.reply = std::string("\x05\x00\x00\x00\x00", 5);
            else if (!ParseHexBytes(reply, options.reply))
                return L"--reply takes true, false or hex bytes";
        } else if (option == L"--create-delay") {
            if (!needValue() || !ParseCount(value, kMaxNumber, options.createDelayMs))
                return L"--create-delay takes milliseconds";
        } else if (option == L"--reply-delay") {
            if (!needValue() || !ParseCount(value, kMaxNumber, options.replyDelayMs))
                return L"--reply-delay takes milliseconds";
        } else if (option == L"--clients") {
            if (!needValue() || !ParseCount(value, kMaxNumber, options.clients))
                return L"--clients takes a count";
        } else if (option == L"--default-security") {
            options.defaultSecurity = true;
        } else if (option == L"--byte-mode") {
            options.misfit = Misfit::ByteMode;
        } else if (option == L"--one-way") {
            options.misfit = Misfit::OneWay;
        } else if (option == L"--grant-sid") {
            if (!needValue())
                return L"--grant-sid needs a SID";
            options.grantSid = value;
        } else if (option == L"--pipe") {
            if (!needValue())
                return L"--pipe needs a name";
            options.pipeName = value;
        } else {
            return L"unknown option " + option;
        }
    }
    return std::wstring();
}
