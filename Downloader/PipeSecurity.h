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

// An absolute security descriptor together with the DACL, the SID and the label that it points to.
// Empty when no descriptor could be built.
class PipeSecurity {
public:
    PipeSecurity() = default;
    PipeSecurity(std::unique_ptr<unsigned char[]> descriptor, LocalPtr<ACL> acl, LocalPtr<void> grantSid,
                 std::unique_ptr<unsigned char[]> label)
        : descriptor_(std::move(descriptor)), acl_(std::move(acl)), grantSid_(std::move(grantSid)),
          label_(std::move(label))
    {}

    [[nodiscard]] PSECURITY_DESCRIPTOR get() const { return descriptor_.get(); }
    explicit operator bool() const { return descriptor_ != nullptr; }

private:
    std::unique_ptr<unsigned char[]> descriptor_;
    LocalPtr<ACL> acl_;
    LocalPtr<void> grantSid_;
    std::unique_ptr<unsigned char[]> label_; // the SACL that holds the mandatory label
};

// The name that clients inside an AppContainer open, and that a server with a grant SID serves: the
// name with "_EPM" appended.
std::wstring AppContainerPipeName(const std::wstring& name);

// True when the calling process runs inside an AppContainer; any failure of the query answers false.
[[nodiscard]] bool is_app_container();

// A copy of the logon SID of the token (opened with at least TOKEN_QUERY). Raises wexception.
std::unique_ptr<unsigned char[]> get_logon_sid(HANDLE token);

// The descriptor of an "_EPM" instance, or none: full access for the logon SID and for the grant SID (the
// setting, unless one is given), and nothing for anyone else; and a low mandatory label with no-write-up,
// without which a client inside an AppContainer, which runs at low integrity, could not open the pipe for
// writing, whatever the DACL grants it.
PipeSecurity build_pipe_descriptor(PSID logonSid);
PipeSecurity build_pipe_descriptor(PSID logonSid, const std::wstring& grantSid);

// The server's descriptor built from its own token, or none. Raises what get_logon_sid raises.
PipeSecurity make_pipe_security();
PipeSecurity make_pipe_security(const std::wstring& grantSid);

} // namespace IPC
