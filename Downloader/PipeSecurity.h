// Who may use a pipe: the AppContainer test for clients and the restricted descriptor for servers.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "Handles.h"

namespace IPC {

// A SID in its string form (S-1-...). When it is set, servers create their pipe under the "_EPM"
// name with a descriptor that admits only their logon session and this SID. Empty by default.
extern std::wstring GrantSid;

// An absolute security descriptor together with the DACL and the SID that it points to.
// Empty when no descriptor could be built.
class PipeSecurity {
public:
    PipeSecurity() = default;
    PipeSecurity(std::unique_ptr<unsigned char[]> descriptor, LocalPtr<ACL> acl, LocalPtr<void> grantSid)
        : descriptor_(std::move(descriptor)), acl_(std::move(acl)), grantSid_(std::move(grantSid))
    {}

    PSECURITY_DESCRIPTOR get() const { return descriptor_.get(); }
    explicit operator bool() const { return descriptor_ != nullptr; }

private:
    std::unique_ptr<unsigned char[]> descriptor_;
    LocalPtr<ACL> acl_;
    LocalPtr<void> grantSid_;
};

// True when the calling process runs inside an AppContainer; any failure of the query answers false.
bool is_app_container();

// A copy of the logon SID of the token (opened with at least TOKEN_QUERY). Raises wexception.
std::unique_ptr<unsigned char[]> get_logon_sid(HANDLE token);

// A descriptor granting full access to the logon SID and to the grant SID setting, or none.
PipeSecurity build_pipe_descriptor(PSID logonSid);

// The server's descriptor built from its own token, or none. Raises what get_logon_sid raises.
PipeSecurity make_pipe_security();

} // namespace IPC
