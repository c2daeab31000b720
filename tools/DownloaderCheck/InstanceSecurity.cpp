#include "InstanceSecurity.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <vector>

namespace {

std::wstring SidString(PSID sid)
{
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return L"(invalid)";
    const LocalPtr<wchar_t> owned(text);
    return text;
}

// Every access-allowed and access-denied entry of the DACL, in order: the SID and the mask.
struct Entry {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    std::wstring sid;
};

std::vector<Entry> Entries(PACL acl)
{
    std::vector<Entry> entries;
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(acl, i, &ace))
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        // The allowed and the denied entry share their layout.
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE)
            entries.push_back(
                {header->AceType, header->AceFlags, allowed->Mask, SidString(const_cast<DWORD*>(&allowed->SidStart))});
        else
            entries.push_back({header->AceType, header->AceFlags, 0, L""});
    }
    return entries;
}

ACCESS_MASK Mapped(ACCESS_MASK mask)
{
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    MapGenericMask(&mask, &mapping);
    return mask;
}

std::wstring Hex32(ACCESS_MASK mask)
{
    wchar_t text[16];
    std::swprintf(text, 16, L"%lX", static_cast<unsigned long>(mask));
    return text;
}

bool StartsWith(const std::wstring& text, const wchar_t* start) { return text.rfind(start, 0) == 0; }

} // namespace

InstanceSecurity ReadInstanceSecurity(HANDLE pipe)
{
    InstanceSecurity security;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    security.error = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                     nullptr, nullptr, &security.dacl, &security.label, &descriptor);
    security.descriptor.reset(descriptor);
    return security;
}

std::wstring DaclRefusal(const InstanceSecurity& security, const std::wstring& userSid)
{
    if (security.dacl == nullptr)
        return L"";
    // The groups that the unelevated token of any interactive user holds: Everyone, Interactive,
    // Authenticated Users, Users. Administrators counts for an elevated token only.
    const std::wstring everySetup[] = {userSid, L"S-1-1-0", L"S-1-5-4", L"S-1-5-11", L"S-1-5-32-545"};
    ACCESS_MASK granted = 0, denied = 0;
    // As the access check reads a DACL: in order, each right decided by the first entry that names it.
    for (const Entry& entry : Entries(security.dacl)) {
        bool applies = false;
        for (const std::wstring& sid : everySetup)
            applies = applies || (entry.sid == sid && !(entry.flags & INHERIT_ONLY_ACE));
        if (!applies)
            continue;
        if (entry.type == ACCESS_ALLOWED_ACE_TYPE)
            granted |= Mapped(entry.mask) & ~denied;
        else
            denied |= Mapped(entry.mask) & ~granted;
    }
    const ACCESS_MASK needed = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    if ((granted & needed) == needed)
        return L"";
    return L"its DACL grants this account 0x" + Hex32(granted) + L", not the read and write access 0x" + Hex32(needed) +
           L" a setup opens it with";
}

DWORD LabelLevel(const InstanceSecurity& security)
{
    void* ace = nullptr;
    if (security.label == nullptr || security.label->AceCount != 1 || !GetAce(security.label, 0, &ace) ||
        static_cast<const ACE_HEADER*>(ace)->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE)
        return 0;
    PSID sid = const_cast<DWORD*>(&static_cast<const SYSTEM_MANDATORY_LABEL_ACE*>(ace)->SidStart);
    return *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
}

std::wstring LabelMismatch(const InstanceSecurity& security, DWORD levelRid)
{
    void* ace = nullptr;
    if (security.label == nullptr || security.label->AceCount == 0)
        return L"no mandatory label";
    if (security.label->AceCount != 1 || !GetAce(security.label, 0, &ace) ||
        static_cast<const ACE_HEADER*>(ace)->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE)
        return L"not one mandatory label";
    const auto* label = static_cast<const SYSTEM_MANDATORY_LABEL_ACE*>(ace);
    PSID sid = const_cast<DWORD*>(&label->SidStart);
    if (LabelLevel(security) == levelRid && (label->Mask & SYSTEM_MANDATORY_LABEL_NO_WRITE_UP) != 0)
        return L"";
    return L"the label " + SidString(sid) + L" with the policy 0x" + Hex32(label->Mask);
}

std::wstring EpmDaclMismatch(const InstanceSecurity& security)
{
    const std::vector<Entry> entries = Entries(security.dacl);
    if (security.dacl == nullptr || entries.size() != 2)
        return L"not a DACL of exactly two entries";
    for (const Entry& entry : entries) {
        if (entry.type != ACCESS_ALLOWED_ACE_TYPE || entry.flags != 0 ||
            (Mapped(entry.mask) & FILE_ALL_ACCESS) != FILE_ALL_ACCESS)
            return L"an entry that is not full access, allowed, and neither inherited nor inheritable";
    }
    if (!StartsWith(entries[0].sid, L"S-1-5-5-") ||
        !(StartsWith(entries[1].sid, L"S-1-15-2-") || StartsWith(entries[1].sid, L"S-1-15-3-")))
        return L"not a logon SID, then an AppContainer's or a capability's";
    return L"";
}

std::wstring SecurityText(const InstanceSecurity& security)
{
    wchar_t* text = nullptr;
    if (!security.descriptor || !ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                    security.descriptor.get(), SDDL_REVISION_1,
                                    DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION, &text, nullptr))
        return L"(unreadable)";
    const LocalPtr<wchar_t> owned(text);
    return *text != L'\0' ? std::wstring(text) : L"no DACL, no label";
}
