#include "ServerIdentity.h"

ServerJudgement JudgeServer(const ServerFacts& server, const Identity& self, bool epmExists)
{
    ServerJudgement judged;
    const Identity& owner = server.process.identity;
    judged.facts = DescribeServer(server) + L"; " + DescribeIdentity(owner);
    if (!owner.Known()) {
        judged.notes.push_back(L"who runs the server is not visible to this account: Windows alone tells whether a "
                               L"setup of this account may open its pipe");
    } else {
        // The pipe of an elevated server, or of one at a higher integrity level, carries that level and the
        // elevated default DACL: a setup that runs Tessaline unelevated is refused ("Mandatory Integrity
        // Control" in Microsoft's documentation: objects you create receive your integrity level).
        const bool above = owner.elevated || owner.system || owner.integrity > Integrity::Medium;
        if (above && !self.elevated && !self.system && self.Known() && self.integrity <= Integrity::Medium) {
            judged.refused = true;
            judged.refusal = L"it runs above this account's integrity level, so its pipe refuses this account's "
                             L"unelevated setups (error 5) unless it sets access rules of its own";
        } else if (above) {
            judged.notes.push_back(L"it runs elevated or at high integrity, as this check does: a setup that runs "
                                   L"Tessaline unelevated is refused (error 5) unless the downloader sets access "
                                   L"rules of its own; run this check unelevated to see what such a setup sees");
        }
        if (owner.sid != self.sid)
            judged.notes.push_back(L"it runs as another account than this check: whether its pipe lets in this "
                                   L"account's setups is its access rules' to say, which Windows enforces");
    }
    judged.notes.push_back(epmExists ? L"the _EPM instance is there: setups inside an AppContainer open it, and only "
                                       L"Windows shows whether its low label and access rules let them write"
                                     : L"no _EPM instance: setups inside an AppContainer cannot reach this downloader");
    return judged;
}
