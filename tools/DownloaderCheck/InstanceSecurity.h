// What a pipe instance's security descriptor lets a setup do, read on a client's handle with READ_CONTROL
// (the DACL and the mandatory label: "GetSecurityInfo" and "SECURITY_INFORMATION" in Microsoft's
// documentation), judged as the requirements on an elevated downloader's and an "_EPM" instance ask.
#pragma once

#include <windows.h>

#include <string>

#include "Handles.h"

struct InstanceSecurity {
    DWORD error = ERROR_SUCCESS; // why the descriptor could not be read
    LocalPtr<void> descriptor;   // owns what dacl and label point into
    PACL dacl = nullptr;         // null: no DACL, which admits everyone
    PACL label = nullptr;        // the SACL that holds the mandatory label, if any
};

InstanceSecurity ReadInstanceSecurity(HANDLE pipe);

// Empty when the DACL lets the user open the pipe for reading and writing (FILE_GENERIC_READ and
// FILE_GENERIC_WRITE, once generic rights are mapped) through the user's own SID or a group that every
// unelevated token of that user holds; else what it grants that user.
std::wstring DaclRefusal(const InstanceSecurity& security, const std::wstring& userSid);

// The label's level as a RID (SECURITY_MANDATORY_MEDIUM_RID, ...); 0 when it has none.
DWORD LabelLevel(const InstanceSecurity& security);

// Empty when the label is exactly one mandatory label at the level (SECURITY_MANDATORY_MEDIUM_RID, ...)
// with no-write-up; else what it is.
std::wstring LabelMismatch(const InstanceSecurity& security, DWORD levelRid);

// Empty when the DACL is what an "_EPM" instance needs: exactly two access-allowed entries, neither
// inherited nor inheritable, each full access, first a logon SID (S-1-5-5-...), then an AppContainer's or a
// capability's (S-1-15-2-... or S-1-15-3-...); else what it is.
std::wstring EpmDaclMismatch(const InstanceSecurity& security);

// The instance's security as SDDL, for the failure's text.
std::wstring SecurityText(const InstanceSecurity& security);
