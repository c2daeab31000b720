#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <functional>

#include "ImportSlots.h"
#include "Pipe.h"
#include "PipeSecurity.h"
#include "Raised.h"
#include "TestPipes.h"
#include "TestSecurity.h"

namespace {

using Error = wexception<std::runtime_error>;

// Restores the grant SID setting when a test ends.
class GrantSidScope {
public:
    explicit GrantSidScope(const std::wstring& sid) { IPC::GrantSid = sid; }
    ~GrantSidScope() { IPC::GrantSid.clear(); }
};

// The logon SID of this process, or empty where the platform does not report one.
std::string OwnLogonSid()
{
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive()))
        return "";
    try {
        auto sid = IPC::get_logon_sid(token.get());
        return SidText(sid.get());
    } catch (const Error&) {
        return "";
    }
}

void ExpectTwoFullAccessEntries(PACL dacl, const std::string& first, const std::string& second)
{
    ASSERT_NE(dacl, nullptr);
    ASSERT_EQ(dacl->AceCount, 2);
    const std::string expected[2] = {first, second};
    for (DWORD i = 0; i < 2; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &ace));
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(allowed->Header.AceFlags, 0);
        EXPECT_EQ(allowed->Mask, 0x1FFFFFu);
        EXPECT_EQ(SidText(const_cast<DWORD*>(&allowed->SidStart)), expected[i]) << "entry " << i;
    }
}

// What the token stand-in below answers for the information class it is set to; every other class, and
// every answer once it is set back to System, comes from the system.
enum class TokenAnswer { System, SizeAnswered, OtherError, SizeTooSmall, ReadFails, ReadShort, TwoGroups, InContainer };
TokenAnswer Answer = TokenAnswer::System;
TOKEN_INFORMATION_CLASS AnsweredClass = TokenLogonSid;

struct ContainerInformation {
    TOKEN_APPCONTAINER_INFORMATION information;
    BYTE sid[SECURITY_MAX_SID_SIZE];
};

BOOL WINAPI TokenStandIn(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* buffer, DWORD size, DWORD* needed)
{
    if (kind != AnsweredClass || Answer == TokenAnswer::System || Answer == TokenAnswer::TwoGroups) {
        const BOOL read = SystemGetTokenInformation(token, kind, buffer, size, needed);
        if (read && buffer != nullptr && Answer == TokenAnswer::TwoGroups)
            static_cast<TOKEN_GROUPS*>(buffer)->GroupCount = 2;
        return read;
    }
    if (buffer == nullptr) { // the size's query
        *needed = Answer == TokenAnswer::SizeTooSmall ? 2 : sizeof(ContainerInformation);
        if (Answer == TokenAnswer::SizeAnswered)
            return TRUE;
        SetLastError(Answer == TokenAnswer::OtherError ? ERROR_INVALID_PARAMETER : ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (Answer == TokenAnswer::ReadFails) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return FALSE;
    }
    // A SID of the app package authority, as an AppContainer's is (S-1-15-2-...).
    auto* out = static_cast<ContainerInformation*>(buffer);
    PSID sid = nullptr;
    ConvertStringSidToSidW(L"S-1-15-2-1", &sid);
    CopySid(sizeof out->sid, out->sid, sid);
    LocalFree(sid);
    out->information.TokenAppContainer = out->sid;
    *needed = Answer == TokenAnswer::ReadShort ? 2 : sizeof(ContainerInformation);
    return TRUE;
}

// The token stand-in answering `answer` for the class, put in its slot (true), and taken out (false).
std::function<void(bool)> TokenAnswers(TOKEN_INFORMATION_CLASS kind, TokenAnswer answer)
{
    const auto swap = Swapper(GetTokenInformationImport, TokenStandIn);
    return [=](bool in) {
        AnsweredClass = kind;
        Answer = in ? answer : TokenAnswer::System;
        swap(in);
    };
}

// The logon SID raises, with the call that failed, and a descriptor that any call fails for is none.
TEST(PipeSecurity, EachCallThatFailsIsReportedOrGivesNoDescriptor)
{
    EXPECT_EQ(RaisedBy([] { IPC::get_logon_sid(nullptr); }), L"Unexpected error from GetTokenInformation");
    if (OwnLogonSid().empty())
        GTEST_SKIP() << "the process token carries no logon SID on this platform";
    const std::pair<std::function<void(bool)>, const wchar_t*> calls[] = {
        {TokenAnswers(TokenLogonSid, TokenAnswer::SizeAnswered), L"Unexpected result from GetTokenInformation"},
        {TokenAnswers(TokenLogonSid, TokenAnswer::ReadFails), L"GetTokenInformation failed"},
        {TokenAnswers(TokenLogonSid, TokenAnswer::TwoGroups), L"Unexpected group count"},
        {FAILING_SLOT(OpenProcessToken, 0), L"Unexpected error from GetTokenInformation"},
        {FAILING_SLOT(CopySid, 0), L"CopySid failed"},
        {FAILING_SLOT(SetEntriesInAclW, ERROR_NO_SYSTEM_RESOURCES), L"(nothing raised)"},
        {FAILING_SLOT(CreateWellKnownSid, 0), L"(nothing raised)"},
        {FAILING_SLOT(InitializeAcl, 0), L"(nothing raised)"},
        {FAILING_SLOT(AddMandatoryAce, 0), L"(nothing raised)"},
        {FAILING_SLOT(InitializeSecurityDescriptor, 0), L"(nothing raised)"},
        {FAILING_SLOT(SetSecurityDescriptorDacl, 0), L"(nothing raised)"},
        {FAILING_SLOT(SetSecurityDescriptorSacl, 0), L"(nothing raised)"},
    };
    for (const auto& call : calls) {
        bool built = false;
        const std::wstring raised = WithFailing(call.first, [&] {
            return RaisedBy([&] { built = static_cast<bool>(IPC::make_pipe_security(L"S-1-5-32-545")); });
        });
        EXPECT_EQ(raised, call.second);
        EXPECT_FALSE(built) << testing::PrintToString(raised);
    }
    EXPECT_TRUE(IPC::make_pipe_security(L"S-1-5-32-545"));
}

// A client inside an AppContainer opens the "_EPM" name; a token that cannot be read says it is not in one.
TEST(PipeSecurity, AnAppContainerIsToldByItsTokenAndAFailedQueryAnswersNo)
{
    const auto container = TokenAnswers(TokenAppContainerSid, TokenAnswer::InContainer);
    const std::pair<std::function<void(bool)>, bool> cases[] = {
        {container, true},
        {FAILING_SLOT(OpenProcessToken, 0), false},
        {FAILING_SLOT(HeapAlloc, 0), false},
        {TokenAnswers(TokenAppContainerSid, TokenAnswer::SizeAnswered), false},
        {TokenAnswers(TokenAppContainerSid, TokenAnswer::OtherError), false},
        {TokenAnswers(TokenAppContainerSid, TokenAnswer::SizeTooSmall), false},
        {TokenAnswers(TokenAppContainerSid, TokenAnswer::ReadFails), false},
        {TokenAnswers(TokenAppContainerSid, TokenAnswer::ReadShort), false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(WithFailing(cases[i].first, [] { return IPC::is_app_container(); }), cases[i].second) << i;

    const std::wstring name = UniquePipeName(L"container");
    const UniqueFile instance(CreateNamedPipeW((name + L"_EPM").c_str(), PIPE_ACCESS_DUPLEX,
                                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(instance);
    EXPECT_EQ(WithFailing(container, [&] { return RaisedBy([&] { IPC::Pipe client(name, true); }); }),
              L"(nothing raised)");
}

TEST(PipeSecurity, LogonSidIsALogonSessionSid)
{
    const std::string sid = OwnLogonSid();
    if (sid.empty())
        GTEST_SKIP() << "the process token carries no logon SID on this platform";
    EXPECT_EQ(sid.rfind("S-1-5-5-", 0), 0u) << testing::PrintToString(sid);
}

TEST(PipeSecurity, InvalidGrantSidGivesNoDescriptor)
{
    GrantSidScope scope(L"not a SID");
    PSID everyone = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-1-0", &everyone));
    LocalPtr<void> owner(everyone);
    EXPECT_FALSE(IPC::build_pipe_descriptor(everyone));
}

TEST(PipeSecurity, DescriptorGrantsExactlyTheLogonSidAndTheGrantSid)
{
    GrantSidScope scope(L"S-1-5-32-545");
    PSID logon = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-5-0-12345", &logon));
    LocalPtr<void> owner(logon);

    IPC::PipeSecurity security = IPC::build_pipe_descriptor(logon);
    ASSERT_TRUE(security);
    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(security.get(), &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    ExpectTwoFullAccessEntries(dacl, "S-1-5-5-0-12345", "S-1-5-32-545");

    PSID owner2 = nullptr;
    BOOL ownerDefaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(security.get(), &owner2, &ownerDefaulted));
    EXPECT_EQ(owner2, nullptr);

    // The label, the SACL's one entry: low integrity, no-write-up. Only Windows enforces it.
    PACL sacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorSacl(security.get(), &present, &sacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(LabelText(sacl), kLowNoWriteUp);
}

TEST(PipeSecurity, ServerWithAGrantSidServesTheEpmInstance)
{
    const std::string logon = OwnLogonSid();
    if (logon.empty())
        GTEST_SKIP() << "the process token carries no logon SID on this platform: no descriptor can be built";
    GrantSidScope scope(L"S-1-5-32-545");
    const std::wstring name = UniquePipeName(L"epm");
    const ConnectedPipes pipes = Connect(name, name + L"_EPM");
    EXPECT_FALSE(WaitNamedPipeW(name.c_str(), 0));

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(pipes.server->NativeHandle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalPtr<void> descriptorOwner(descriptor);
    ExpectTwoFullAccessEntries(dacl, logon, "S-1-5-32-545");
}

TEST(PipeSecurity, InvalidGrantSidStillUsesTheEpmName)
{
    if (OwnLogonSid().empty())
        GTEST_SKIP() << "the process token carries no logon SID on this platform: make_pipe_security raises first";
    GrantSidScope scope(L"S-1-garbage");
    const std::wstring name = UniquePipeName(L"epmdefault");
    const ConnectedPipes pipes = Connect(name, name + L"_EPM");
    EXPECT_EQ(Relay(*pipes.client, *pipes.server, 42), 42);
}

} // namespace
