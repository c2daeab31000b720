#include "ServerIdentity.h"

ServerJudgement JudgeServer(const ServerFacts& server, const Identity& self)
{
    ServerJudgement judged;
    const Identity& owner = server.process.identity;
    judged.facts = DescribeServer(server) + L"; " + DescribeIdentity(owner);
    if (!owner.Known()) {
        judged.notes.push_back(L"who runs the server is not visible to this account: Windows alone tells whether a "
                               L"setup of this account may open its pipe");
    } else {
        // The pipe of an elevated server, or of one at a higher integrity level, carries that level and the
        // elevated default DACL unless the server sets its own ("Mandatory Integrity Control" in Microsoft's
        // documentation: objects you create receive your integrity level). This check has connected: an
        // unelevated one has seen that the server set them.
        const bool above = owner.elevated || owner.system || owner.integrity > Integrity::Medium;
        if (above && !self.elevated && !self.system && self.Known() && self.integrity <= Integrity::Medium)
            judged.notes.push_back(L"it runs elevated or at high integrity, and its pipe lets this unelevated "
                                   L"account in: it sets access rules of its own, as an elevated downloader must");
        if (owner.sid != self.sid)
            judged.notes.push_back(L"it runs as another account than this check: whether its pipe lets in this "
                                   L"account's setups is its access rules' to say, which Windows enforces");
    }
    return judged;
}
