#include "ServerIdentity.h"

#include "Text.h"

ServerJudgement JudgeServer(HANDLE clientPipe)
{
    ServerJudgement judged;
    ULONG processId = 0;
    if (GetNamedPipeServerProcessId(clientPipe, &processId))
        judged.facts = L"process " + Decimal(processId);
    return judged;
}
