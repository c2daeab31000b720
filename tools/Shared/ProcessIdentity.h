// Who a process runs as, and who serves a pipe, as far as the system lets this process see: facts for
// the tools that report them (the hive the marker goes to, the process behind the downloader's pipe).
// The sentences that show them are at the end, for the reports.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

// A token's mandatory integrity level, lowest first.
enum class Integrity { Unknown, Untrusted, Low, Medium, MediumPlus, High, System, Protected };

struct Identity {
    DWORD error = ERROR_SUCCESS; // why the token could not be read; ERROR_SUCCESS when it was
    std::wstring sid;            // S-1-5-21-...
    std::wstring name;           // DOMAIN\user; empty when the SID has no name here
    Integrity integrity = Integrity::Unknown;
    bool elevated = false;
    bool system = false; // LocalSystem, whose HKCU is HKEY_USERS\S-1-5-18
    std::optional<DWORD> session;

    bool Known() const { return error == ERROR_SUCCESS; }
};

// The identity of a token opened with TOKEN_QUERY.
Identity IdentityOfToken(HANDLE token);

// This process's own identity.
Identity OwnIdentity();

// Whether what the process creates carries its own level, or an elevated token's default DACL, unless it
// sets its own, so that an unelevated setup of its user is refused: it runs elevated (TokenElevation), or
// above medium integrity (SYSTEM among them). False when the identity is not known.
bool AboveASetup(const Identity& identity);

// A process seen from here: its image and identity, or why they cannot be seen.
struct ProcessFacts {
    DWORD id = 0;
    std::wstring image; // the full path; empty when it cannot be seen
    DWORD imageError = ERROR_SUCCESS;
    Identity identity;
};
ProcessFacts FactsOfProcess(DWORD processId);

// Who serves a pipe, asked on a client's open handle: the process the pipe names and its session.
struct ServerFacts {
    DWORD processError = ERROR_SUCCESS; // why the pipe did not name its process; then `process` is empty
    ProcessFacts process;
    std::optional<ULONG> session; // as the pipe reports it
};
ServerFacts ServerOfPipe(HANDLE clientEnd);

// DOMAIN\user signed in to this process's session, as the session reports it; empty when it does not.
std::wstring SessionUser();

// Whether the session's user is the account, which the session may name without its domain.
bool IsSessionUser(const std::wstring& sessionUser, const std::wstring& accountName);

// "medium", "high", ...
const wchar_t* IntegrityName(Integrity level);

// "VM\user (S-1-5-21-0-0-0-1000), session 1, high integrity, elevated", or why it is not visible.
std::wstring DescribeIdentity(const Identity& identity);

// "process 32, C:\Program Files\Product\Downloader.exe, session 1", or what of it is not visible.
std::wstring DescribeServer(const ServerFacts& server);
