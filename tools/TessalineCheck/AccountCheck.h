// Who this tool runs as, against who a setup runs Tessaline as and who serves the downloader's pipe: what
// may make a setup's run fare otherwise than this tool's look. Facts first, then the report's words.
#pragma once

#include <string>

#include "ProcessIdentity.h"

// This tool's account and the user signed in to its session (empty when the session does not say).
struct ToolAccount {
    Identity self;
    std::wstring sessionUser;
};

// How two identities compare, part by part.
enum class Match { Same, Differs, Unknown };
struct IdentityMatch {
    Match user = Match::Unknown;
    Match session = Match::Unknown;
    Match elevation = Match::Unknown;
    Match integrity = Match::Unknown;
};
IdentityMatch CompareIdentities(const Identity& one, const Identity& other);

// What may make a setup's Tessaline fare otherwise than this tool, a bit each.
enum SetupDifference : unsigned {
    kRunsElevated = 1u << 0,     // registry mode: HKCU may be another administrator's
    kRunsAsSystem = 1u << 1,     // registry mode: HKCU is LocalSystem's own
    kNotSessionUser = 1u << 2,   // another user than the one signed in to the session
    kLowIntegrity = 1u << 3,     // pipe mode, refused: a setup's Tessaline runs at medium or higher
    kElevatedServer = 1u << 4,   // pipe mode, opened elevated: the downloader runs elevated or as SYSTEM
    kOtherUsersServer = 1u << 5, // pipe mode, opened elevated: the downloader runs as another user
    kUnseenServer = 1u << 6,     // pipe mode, opened elevated: who serves the pipe is not visible
};

[[nodiscard]] unsigned RegistryModeDifferences(const ToolAccount& account);
// `server`: who served the pipe this tool opened; null when it did not open.
[[nodiscard]] unsigned PipeModeDifferences(const ToolAccount& account, const ServerFacts* server);

// The report's lines for them: a warning each, named, and for a look that holds for a setup, why.
void SayDifferences(unsigned differences, const ToolAccount& account, const ServerFacts* server);
// "user yes, session yes, elevation no, integrity level yes"
std::wstring DescribeMatch(const IdentityMatch& match);
