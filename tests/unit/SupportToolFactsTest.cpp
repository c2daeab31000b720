// The support tool's facts and decisions where no Windows varies them: its table of failures against the
// setup author's guide, how it tells failures apart, who it finds may fare otherwise than itself (what
// Wine, with one elevated account for every process, cannot show), and its last-resort handler.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "AccountCheck.h"
#include "OpenFailures.h"
#include "ProgramFolder.h"
#include "Report.h"
#include "Text.h"

namespace {

TEST(SupportToolFacts, FailureTableIsTheGuides)
{
    const std::string guide = ReadBesideProgram(L"setup-authors.md");
    std::istringstream lines(guide.substr(std::min(guide.find("<!-- table: known failures -->"), guide.size())));
    std::vector<std::string> rows, expected;
    for (std::string line; std::getline(lines, line) && (rows.empty() || line.rfind("| `", 0) == 0);) {
        if (line.rfind("| `", 0) == 0)
            rows.push_back(line);
    }
    for (std::size_t i = 0; i < kKnownFailureCount; ++i)
        expected.push_back("| `" + Narrow(ComposedMessage(kKnownFailures[i]), CP_UTF8) + "` | " +
                           std::to_string(kKnownFailures[i].code) + " | " + Narrow(kKnownFailures[i].meaning, CP_UTF8) +
                           " |");
    EXPECT_EQ(rows, expected) << "the table after <!-- table: known failures --> in setup-authors.md";
}

TEST(SupportToolFacts, FailuresAreToldApartByTheirCodeAndMessage)
{
    const auto found = [](const wchar_t* message, unsigned long code) {
        return FindKnownFailure(with_error_code(wexception<std::runtime_error>(message), code));
    };
    EXPECT_EQ(found(L"Unable to connect to a named pipe (Error code: 5)", 5), &kKnownFailures[1]);
    EXPECT_EQ(found(L"Unable to connect to a named pipe (Error code: 5)", 2), nullptr);
    EXPECT_EQ(found(L"Timeout while trying to connect to a named pipe, pipe is busy", 121), &kKnownFailures[3]);
    EXPECT_EQ(found(L"Pipe disconnected", 121), nullptr);
}

// An account with a name, in session 1.
Identity Who(const wchar_t* sid, bool elevated, Integrity integrity = Integrity::Medium, bool system = false)
{
    return Identity{ERROR_SUCCESS, sid, std::wstring(L"VM\\") + sid, integrity, elevated, system, 1};
}

TEST(SupportToolFacts, WhatMayMakeASetupFareOtherwiseAndHowAccountsCompare)
{
    const Identity user = Who(L"U", false), admin = Who(L"U", true, Integrity::High);
    const ServerFacts byUser{ERROR_SUCCESS, {7, L"", 0, user}, 1}, byAdmin{ERROR_SUCCESS, {7, L"", 0, admin}, 1},
        byOther{ERROR_SUCCESS, {7, L"", 0, Who(L"O", false)}, 1}, unseen{ERROR_ACCESS_DENIED, {}, {}};
    const auto pipe = [](const Identity& self, const ServerFacts* server, const wchar_t* sessionUser = L"VM\\U") {
        return PipeModeDifferences({self, sessionUser}, server);
    };
    EXPECT_EQ(pipe(user, &byUser) | pipe(admin, &byUser) | pipe(user, &byAdmin) | pipe(user, &byUser, L"u"), 0u);
    EXPECT_EQ(pipe(admin, &byAdmin), kElevatedServer);
    EXPECT_EQ(pipe(admin, &byOther), kOtherUsersServer);
    EXPECT_EQ(pipe(admin, &unseen), kUnseenServer);
    EXPECT_EQ(pipe(Who(L"U", false, Integrity::Low), nullptr), kLowIntegrity);
    EXPECT_EQ(pipe(user, &byUser, L"VM\\O"), kNotSessionUser);
    EXPECT_EQ(RegistryModeDifferences({admin, L"VM\\U"}), kRunsElevated);
    EXPECT_EQ(RegistryModeDifferences({Who(L"S-1-5-18", false, Integrity::System, true), L"VM\\U"}),
              kRunsAsSystem | kNotSessionUser);
    EXPECT_EQ(RegistryModeDifferences({user, L""}), 0u);
    // Compared only where both are known.
    Identity sessionless = Who(L"U", false);
    sessionless.session.reset();
    EXPECT_EQ(DescribeMatch(CompareIdentities(Who(L"U", false), Who(L"U", true, Integrity::High))),
              L"user yes, session yes, elevation no, integrity level no");
    EXPECT_EQ(DescribeMatch(CompareIdentities(Who(L"U", false), sessionless)),
              L"user yes, session unknown, elevation yes, integrity level yes");
}

TEST(SupportToolFacts, AnythingUnexpectedIsAToolFailure)
{
    EXPECT_EQ(RunGuarded([](int, wchar_t**) -> int { throw std::runtime_error("no"); }, 0, nullptr), 2);
    EXPECT_EQ(RunGuarded([](int, wchar_t**) -> int { throw 7; }, 0, nullptr), 2);
    EXPECT_EXIT(
        {
            EndFailuresWithToolFailed();
            std::abort();
        },
        ::testing::ExitedWithCode(2), "");
}

} // namespace
