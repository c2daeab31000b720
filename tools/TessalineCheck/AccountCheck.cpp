#include "AccountCheck.h"

#include "Report.h"

namespace {

Match Compare(bool known, bool same) { return !known ? Match::Unknown : same ? Match::Same : Match::Differs; }

bool NotSessionUser(const ToolAccount& account)
{
    return !account.sessionUser.empty() && !account.self.name.empty() &&
           !IsSessionUser(account.sessionUser, account.self.name);
}

std::wstring NameOf(const Identity& identity) { return identity.name.empty() ? identity.sid : identity.name; }

} // namespace

IdentityMatch CompareIdentities(const Identity& one, const Identity& other)
{
    const bool known = one.Known() && other.Known();
    IdentityMatch match;
    match.user = Compare(known, one.sid == other.sid);
    match.session = Compare(known && one.session && other.session, one.session == other.session);
    match.elevation = Compare(known, one.elevated == other.elevated && one.system == other.system);
    match.integrity = Compare(one.integrity != Integrity::Unknown && other.integrity != Integrity::Unknown,
                              one.integrity == other.integrity);
    return match;
}

unsigned RegistryModeDifferences(const ToolAccount& account)
{
    unsigned found = NotSessionUser(account) ? kNotSessionUser : 0u;
    if (account.self.system)
        found |= kRunsAsSystem;
    else if (account.self.elevated)
        found |= kRunsElevated;
    return found;
}

// A default pipe lets in its owner (an unelevated creator's user; the Administrators of an elevated one),
// administrators and SYSTEM, and lets everyone else only read; an object without a label of its own is
// at medium integrity. So an elevated tool opens what an unelevated setup may not, and a tool below
// medium is refused what a setup is not.
unsigned PipeModeDifferences(const ToolAccount& account, const ServerFacts* server)
{
    unsigned found = NotSessionUser(account) ? kNotSessionUser : 0u;
    const Identity& self = account.self;
    if (server == nullptr) {
        if (self.integrity != Integrity::Unknown && self.integrity < Integrity::Medium)
            found |= kLowIntegrity;
        return found;
    }
    if (!self.elevated && !self.system)
        return found;
    const Identity& owner = server->process.identity;
    if (server->processError != ERROR_SUCCESS || !owner.Known())
        found |= kUnseenServer;
    else if (owner.elevated || owner.system)
        found |= kElevatedServer;
    else if (owner.sid != self.sid)
        found |= kOtherUsersServer;
    return found;
}

void SayDifferences(unsigned differences, const ToolAccount& account, const ServerFacts* server)
{
    const std::wstring self = NameOf(account.self);
    if (differences & kRunsAsSystem)
        Say(L"warning [LocalSystem]", L"this tool runs as LocalSystem, whose HKCU is its own (HKEY_USERS\\S-1-5-18) "
                                      L"and no user's: a setup run as SYSTEM (a deployment tool, a WiX action with "
                                      L"Impersonate=\"no\") writes the marker there, and the product, running as the "
                                      L"user, never sees it");
    if (differences & kRunsElevated)
        Say(L"warning [elevated]", L"this tool runs elevated: HKCU is the hive of " + self +
                                       L", which is the product user's only if that user elevated with their own "
                                       L"account; with another administrator's password (over-the-shoulder "
                                       L"elevation) the marker goes to that administrator's hive");
    if (differences & kNotSessionUser)
        Say(L"warning [another user]", L"this tool runs as " + self + L", and the session's user is " +
                                           account.sessionUser +
                                           L": a setup run as that user fares as that user, "
                                           L"which this look does not show");
    if (differences & kLowIntegrity)
        Say(L"warning [low integrity]", L"this tool runs at low integrity, below a setup's Tessaline (medium, or "
                                        L"high when elevated): a pipe that refuses this tool may let Tessaline in");
    if (differences & kElevatedServer)
        Say(L"warning [elevated downloader]",
            L"the downloader runs elevated or as LocalSystem, so its pipe lets in only administrators and SYSTEM: a "
            L"setup that runs Tessaline without elevation is refused (error 5), where this elevated tool is not");
    if (differences & kOtherUsersServer)
        Say(L"warning [another user's downloader]",
            L"the downloader runs as " + NameOf(server->process.identity) + L", not as " + self +
                L": its pipe lets in that user, administrators and SYSTEM, so a setup run as another user without "
                L"elevation is refused (error 5), where this elevated tool is not");
    if (differences & kUnseenServer)
        Say(L"warning [unseen downloader]", L"who serves the pipe is not visible to this tool, which runs elevated: "
                                            L"it may open a pipe that a setup's unelevated Tessaline cannot");
    const Identity* owner = server != nullptr ? &server->process.identity : nullptr;
    if (owner != nullptr && differences == 0 && account.self.elevated && owner->Known() && !owner->elevated)
        Say(L"for a setup", L"a setup run as " + NameOf(*owner) +
                                L" opens the pipe as well, elevated or not: the "
                                L"downloader runs unelevated as that user, the "
                                L"owner of its pipe");
}

std::wstring DescribeMatch(const IdentityMatch& match)
{
    const auto word = [](Match part) {
        return part == Match::Same ? L"yes" : part == Match::Differs ? L"no" : L"unknown";
    };
    return std::wstring(L"user ") + word(match.user) + L", session " + word(match.session) + L", elevation " +
           word(match.elevation) + L", integrity level " + word(match.integrity);
}
