// The downloader check against the stand-in as it should be, and against downloaders that each break one
// part of the contract: each fails its checks, and only the checks that depend on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>

#include "ChildProcess.h"
#include "FaultyDownloader.h"
#include "ProcessIdentity.h"
#include "TestPipes.h"

namespace {

struct CheckCase {
    const char* what;
    const wchar_t* standIn; // the stand-in's options; none: a downloader with the fault
    Fault fault;
    const wchar_t* arguments; // the check's own, besides --pipe and --timeout
    // The checks that fail: "2.3", or with the requirement its line says it breaks, "2.3 R4.2", or "2.3 -"
    // for none, as for a check that did not run.
    std::set<std::string> failing;
    const wchar_t* served = L""; // appended to the name that the downloader serves
    bool elevatedOnly = false;   // what it breaks only an elevated downloader breaks
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.what; }

// The checks that the output says failed, "  2.3 FAIL  ...", each as the case names it: with the
// requirement it breaks where the case names one.
std::set<std::string> Failed(const std::string& output, const std::set<std::string>& named)
{
    std::set<std::string> ids;
    for (std::size_t at = output.find(" FAIL "); at != std::string::npos; at = output.find(" FAIL ", at + 1)) {
        const std::string id = output.substr(output.rfind(' ', at - 1) + 1, at - output.rfind(' ', at - 1) - 1);
        const std::string line = output.substr(at, output.find('\n', at) - at);
        const std::size_t breaks = line.rfind("(breaks protocol.md ");
        const std::string broken =
            breaks == std::string::npos ? "-" : line.substr(breaks + 20, line.find(')', breaks) - breaks - 20);
        ids.insert(named.count(id) ? id : id + " " + broken);
    }
    return ids;
}

std::size_t Count(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class DownloaderCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(DownloaderCheck, FailsOnlyWhatTheDownloaderBreaks)
{
    SetTestTimeLimit(120);
    const CheckCase& c = GetParam();
    if (c.elevatedOnly && !AboveASetup(OwnIdentity()))
        GTEST_SKIP() << "this test runs unelevated, as a downloader that may keep its default security";
    const std::wstring name = UniquePipeName(L"checked");
    const DWORD answerMs = Scaled(1000);
    std::unique_ptr<BackgroundProcess> standIn;
    std::unique_ptr<FaultyDownloader> faulty;
    if (c.standIn != nullptr) {
        standIn = std::make_unique<BackgroundProcess>(L"DownloaderPeer.exe",
                                                      std::wstring(c.standIn) + L" --pipe " + name + c.served);
        ASSERT_TRUE(standIn->WaitForOutput("listening on"));
    } else {
        faulty = std::make_unique<FaultyDownloader>(name + c.served, c.fault, answerMs * 3 / 2);
    }
    const std::wstring report = name.substr(name.rfind(L'\\') + 1) + L".xml";
    const ChildResult run =
        RunProgram(L"DownloaderCheck.exe", L"--pipe " + name + L" --timeout " + std::to_wstring(answerMs / 1000) +
                                               L"." + std::to_wstring(answerMs % 1000 / 100) + L" --junit " +
                                               QuoteArgument(ProgramFolder() + report) + L" " + c.arguments);
    ASSERT_TRUE(run.finished) << run.output;
    std::set<std::string> named;
    for (const std::string& check : c.failing)
        named.insert(check.find(' ') == std::string::npos ? check : "");
    EXPECT_EQ(Failed(run.output, named), c.failing) << run.output;
    EXPECT_EQ(run.exitCode, c.failing.empty() ? 0u : 1u) << run.output;
    // The closing count and the JUnit report count the same failures, a check that did not run among them.
    const std::string failed = std::to_string(c.failing.size());
    EXPECT_NE(
        run.output.find(" checks: " + std::to_string(Count(run.output, " PASS ")) + " passed, " + failed + " failed"),
        std::string::npos)
        << run.output;
    const std::string xml = ReadBesideProgram(report);
    DeleteFileW((ProgramFolder() + report).c_str());
    EXPECT_NE(xml.find("failures=\"" + failed + "\">\n  <testsuite"), std::string::npos) << xml;
    EXPECT_EQ(Count(xml, "<failure "), c.failing.size()) << xml;
}

const std::set<std::string> kAfterTheFirst{"3.1", "3.2 -", "3.3 -", "4.1", "4.2", "4.3", "4.4", "4.5", "5.1 -"};

INSTANTIATE_TEST_SUITE_P(
    Downloaders, DownloaderCheck,
    ::testing::Values(
        CheckCase{"the stand-in", L"--clients 0", Fault::AnswersFalse, L"", {}},
        CheckCase{"answers an Integer",
                  L"--clients 0 --reply 0000000001000000",
                  Fault::AnswersFalse,
                  L"--burst 4",
                  {"2.2 R4.1", "2.3", "3.1 R4.1", "3.2 -", "3.3 -", "4.1 R4.1", "4.2 R4.1", "4.3 R4.1", "4.4 R4.1",
                   "4.5 R4.1", "5.1 -"}},
        CheckCase{"true, then bytes to ignore", L"--clients 0 --reply 05000000010000000007000000", {}, L"", {}},
        CheckCase{"a pipe that refuses this account, 1.2 and 6.1 alone",
                  L"--one-way --clients 2",
                  Fault::AnswersFalse,
                  L"1.2 6.1",
                  {"1.2 R7.1", "6.1 -"}},
        CheckCase{"answers only its first client", nullptr, Fault::FirstClientOnly, L"--burst 4", kAfterTheFirst},
        CheckCase{"stops at a look",
                  nullptr,
                  Fault::StopsAtLook,
                  L"--burst 4",
                  {"3.3 R6.3", "4.1", "4.2", "4.3", "4.4", "4.5", "5.1", "5.2", "6.1", "6.2"}},
        CheckCase{"no instance while it serves one", nullptr, Fault::NoInstanceWhileServing, L"5 --burst 2", {"5.2"}},
        CheckCase{"byte mode",
                  nullptr,
                  Fault::ByteMode,
                  L"",
                  {"1.2 R2.1", "2.1 -", "2.2 -", "2.3 -", "2.4 -", "3.1 -", "3.2 -", "3.3 -", "4.1 -", "4.2 -", "4.3 -",
                   "4.4 -", "4.5 -", "5.1 -", "5.2 -", "6.1 -"}},
        CheckCase{"two reply messages", nullptr, Fault::TwoReplies, L"--burst 4", {"2.4"}},
        CheckCase{"a reply slower than the bound",
                  nullptr,
                  Fault::SlowReply,
                  L"--burst 4",
                  {"2.1 R5.1", "2.2", "2.3", "2.4"}},
        CheckCase{"ends on an unexpected request",
                  nullptr,
                  Fault::EndsOnUnexpected,
                  L"--burst 4",
                  {"4.3", "4.4", "4.5", "5.1", "5.2", "6.1", "6.2"}},
        CheckCase{"answers false", nullptr, Fault::AnswersFalse, L"--burst 4", {"2.3 R4.2"}},
        CheckCase{"reads each request in turn", nullptr, Fault::ReadsInTurn, L"--burst 4", {"3.3 R6.3"}},
        CheckCase{"disconnects after its reply", nullptr, Fault::DisconnectsAfterReply, L"--burst 4", {"3.2 R4.4"}},
        CheckCase{"answers true to any message",
                  nullptr,
                  Fault::TrueToAnything,
                  L"--burst 4",
                  {"4.3 R3.3", "4.4 R3.4", "4.5 R3.3"}},
        // Two connections of a process at once: the burst passes with a setup per process, and with four
        // clients a process fails on the limit; the time for each answer well above the time it holds one.
        CheckCase{"two connections a process, the default burst", nullptr, Fault::FewPerProcess, L"5", {}},
        CheckCase{"two connections a process, four clients each",
                  nullptr,
                  Fault::FewPerProcess,
                  L"5 --burst 64 --timeout 3",
                  {"5.1 R6.4"}},
        CheckCase{"elevated, with the default security",
                  L"--clients 0 --default-security",
                  {},
                  L"6",
                  {"6.1 R7.7"},
                  L"",
                  true},
        CheckCase{"the _EPM instance as the stand-in serves it", L"--clients 0 --grant-sid S-1-15-2-1", {}, L"6.2", {}},
        CheckCase{"an _EPM instance with the plain name's security", L"--clients 0", {}, L"6.2", {"6.2 R7.5"}, L"_EPM"},
        // One check, or one group, alone.
        CheckCase{"answers false, check 2.3 alone", nullptr, Fault::AnswersFalse, L"2.3", {"2.3"}},
        CheckCase{"answers false, group 4 alone", nullptr, Fault::AnswersFalse, L"4", {}}),
    [](const testing::TestParamInfo<CheckCase>& info) { return std::to_string(info.index); });

// Each requirement cited is one of protocol.md's "- **R4.1** ..." items; each MUST is cited or says why not.
TEST(DownloaderCheckRequirements, AreTheDocumentsAndCoverEveryMust)
{
    const ChildResult list = RunProgram(L"DownloaderCheck.exe", L"--list");
    ASSERT_TRUE(list.finished) << list.output;
    EXPECT_EQ(Count(list.output, " [R"), Count(list.output, "\n")) << "a check that cites none:\n" << list.output;
    const std::regex id("R[0-9]+\\.[0-9]+");
    const std::set<std::string> cited(std::sregex_token_iterator(list.output.begin(), list.output.end(), id),
                                      std::sregex_token_iterator());
    const std::string document = ReadBesideProgram(L"protocol.md");
    std::map<std::string, std::string> defined;
    for (std::size_t at = document.find("\n- **R"); at != std::string::npos; at = document.find("\n- **R", at + 1)) {
        const std::size_t end = std::min(document.find("\n- ", at + 1), document.find("\n\n", at + 1));
        defined[document.substr(at + 5, document.find("**", at + 5) - at - 5)] = document.substr(at, end - at);
    }
    for (const std::string& requirement : cited)
        EXPECT_TRUE(defined.count(requirement)) << requirement << " is cited, and protocol.md does not define it";
    for (const auto& [requirement, text] : defined) {
        const bool must = text.find("MUST") != std::string::npos, cites = cited.count(requirement) != 0;
        EXPECT_TRUE(!must || cites != (text.find("(not checked: ") != std::string::npos)) << requirement;
    }
}

} // namespace
