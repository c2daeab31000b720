// Who a process runs as, as far as the system lets this one see: for the account whose hive the marker
// goes to, and for the process that serves the downloader's pipe.
#pragma once

#include <windows.h>

#include <string>

struct Account {
    std::wstring name;      // DOMAIN\user; empty when the SID has no name here
    std::wstring sid;       // S-1-5-21-...
    std::wstring integrity; // "medium", "high", ...; empty when the token does not say
    bool elevated = false;
    bool system = false; // LocalSystem, whose HKCU is HKEY_USERS\S-1-5-18
    bool known = false;  // false: the token could not be read, and `error` says why
    DWORD error = ERROR_SUCCESS;
    DWORD session = 0;

    // "VM\root (S-1-5-21-0-0-0-1000), session 1, high integrity, elevated"
    std::wstring Describe() const;
};

// The account of the token (opened with TOKEN_QUERY).
Account AccountOfToken(HANDLE token);

// This process's own account.
Account OwnAccount();

// A process seen from here: its image and account, or why they cannot be seen.
struct ProcessView {
    std::wstring image; // the full path; empty when it cannot be seen
    DWORD imageError = ERROR_SUCCESS;
    Account account;
};
ProcessView ViewProcess(DWORD processId);

// DOMAIN\user signed in to this process's session, as the session reports it; empty when it does not.
std::wstring SessionUser();

// The system's own text for an error code, on one line; empty when it has none.
std::wstring SystemMessage(DWORD code);
