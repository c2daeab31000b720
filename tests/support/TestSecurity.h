// Who may open what, as Windows decides it: tokens of this test's own account as Windows gives them to
// other programs (a copy at low integrity, the level of every process inside an AppContainer, and the
// unelevated twin of an elevated token, a setup's token on a machine with UAC), an object's label, and
// what an open meets. Wine makes the tokens, and enforces nothing of them.
#pragma once

#include <windows.h>

#include <string>

#include "Handles.h"

// This process's token as an impersonation token at low integrity ("Designing Applications to Run at a
// Low Integrity Level" in Microsoft's documentation); empty when it cannot be made.
UniqueHandle LowIntegrityCopy();

// The calling thread acts as the token (primary or impersonation) until the scope ends.
class Impersonation {
public:
    explicit Impersonation(HANDLE token) : active_(ImpersonateLoggedOnUser(token) != FALSE) {}
    ~Impersonation()
    {
        if (active_)
            RevertToSelf();
    }
    Impersonation(const Impersonation&) = delete;
    Impersonation& operator=(const Impersonation&) = delete;
    bool Active() const { return active_; }

private:
    bool active_;
};

// An elevated token's unelevated twin, to start processes and to impersonate with. Windows hands the
// linked token itself to a caller without the TCB privilege for identification only, so that no process
// starts on it (TOKEN_LINKED_TOKEN, "User Account Control" in Microsoft's documentation): the twin is
// this process's token filtered as UAC filters it (CreateRestrictedToken with the Administrators group
// deny-only and no privileges but the one every token keeps, then medium integrity).
struct UnelevatedTwin {
    UniqueHandle token;  // a primary token; empty when there is no twin
    UniqueHandle linked; // the linked token Windows hands out, to compare the twin with
    std::string why;     // why there is no twin
};
UnelevatedTwin MakeUnelevatedTwin();

// What a pipe's access check reads of a token, as text: its user, its integrity level and whether the
// Administrators group counts for it ("user S-1-5-21-..., integrity 0x2000, Administrators deny-only").
std::string TokenFacts(HANDLE token);

// The SID in its string form, S-1-...
std::string SidText(PSID sid);

// A SACL's mandatory label as "SID type T mask M" of its one label entry; a text in brackets when it does
// not hold exactly one.
std::string LabelText(PACL sacl);
// The low label with no-write-up, as LabelText shows it: low integrity (S-1-16-4096), a label entry
// (SYSTEM_MANDATORY_LABEL_ACE_TYPE, 17), no-write-up (1).
const char kLowNoWriteUp[] = "S-1-16-4096 type 17 mask 1";

// The object's mandatory label, read with GetSecurityInfo and LABEL_SECURITY_INFORMATION, which needs only
// READ_CONTROL ("GetSecurityInfo" and "SECURITY_INFORMATION" in Microsoft's documentation), as LabelText
// shows it.
std::string LabelOf(HANDLE object);

// The error of a client's open of the pipe for reading and writing, as Tessaline opens it;
// ERROR_SUCCESS when it opens (and it is closed again at once).
DWORD OpenError(const std::wstring& name);

// OpenError within a time limit, for an open that may stall (one through the network redirector, whose
// loopback can hang): past the limit the open is cancelled with CancelSynchronousIo ("Canceling Pending I/O
// Operations": a blocked open is cancelled so that the program goes on), and where even that does not end
// it, it is left to end on its own thread. answered is false then (error
// ERROR_TIMEOUT), and for an open that was cancelled.
struct BoundedOpen {
    bool answered = false;
    DWORD error = ERROR_SUCCESS;
};
BoundedOpen OpenErrorWithin(const std::wstring& name, DWORD milliseconds);
