#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

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

TEST(PipeSecurity, LogonSidOfAnUnopenedTokenIsAnUnexpectedError)
{
    EXPECT_EQ(RaisedBy([] { IPC::get_logon_sid(nullptr); }), L"Unexpected error from GetTokenInformation");
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
