#include "Checks.h"

#include <cstring>

#include "BurstProcesses.h"
#include "CompletionNotice.h"
#include "ErrorText.h"
#include "Hex.h"
#include "InstanceSecurity.h"
#include "MessageBuffer.h"
#include "PipeSecurity.h"
#include "ProcessIdentity.h"
#include "Seconds.h"
#include "ServerIdentity.h"
#include "Text.h"
#include "WException.h"

// What the checks learn once and share.
struct CheckContext {
    CheckTarget target;
    const char* current = nullptr;
    const char* goneSince = nullptr; // the check that found the pipe gone
    DWORD openError = ERROR_SUCCESS; // of the last client that could not connect
    // The client of 1.2, which the notice of 2.1 goes over, and that notice's answer.
    std::unique_ptr<ProbeClient> first;
    bool asked = false;
    Answer answer;
    // The burst of 5.1 and 5.2, from several processes.
    bool burst = false;
    BurstTally tally;
};

namespace {

CheckResult Pass(const std::wstring& detail) { return {Verdict::Pass, detail, {}}; }
CheckResult Fail(const std::wstring& detail, const char* broken = nullptr)
{
    return {Verdict::Fail, detail, {}, broken};
}

// The answer read as Tessaline reads it: true or false, or why it is not an answer.
bool ReadAsTessaline(const std::string& bytes, bool& value, std::wstring& why)
{
    try {
        InputBuffer reply(bytes);
        value = reply.ReadBoolean();
        return true;
    } catch (const wexception<std::runtime_error>& error) {
        why = error.message();
        return false;
    }
}

std::wstring Seen(const Answer& answer)
{
    switch (answer.error) {
    case ERROR_SUCCESS:
        return Widen(Hex(answer.bytes), CP_UTF8) + L" (" + Decimal(static_cast<unsigned long>(answer.bytes.size())) +
               L" bytes) after " + Seconds(answer.milliseconds);
    case ERROR_TIMEOUT:
        return L"no answer within " + Seconds(answer.milliseconds);
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
        return L"the server closed the connection without an answer";
    default:
        return L"the read failed (" + ErrorText(answer.error) + L")";
    }
}

// A client opened as Tessaline opens it; a pipe missing at the last attempt has gone.
std::unique_ptr<ProbeClient> Connect(CheckContext& context, std::wstring& failure)
{
    auto client = std::make_unique<ProbeClient>(context.target.name);
    if (client->Connected())
        return client;
    context.openError = client->OpenError();
    if (client->OpenError() == ERROR_FILE_NOT_FOUND)
        context.goneSince = context.current;
    failure = L"no client could connect (" + ErrorText(client->OpenError()) + L")" +
              (client->OpenError() == ERROR_FILE_NOT_FOUND ? L": the pipe is gone" : L"");
    return nullptr;
}

// One notice on a new connection: answered within the time with a Boolean, or why not.
CheckResult NoticeAnswered(CheckContext& context, const std::wstring& before)
{
    std::wstring failure;
    const std::unique_ptr<ProbeClient> client = Connect(context, failure);
    if (!client)
        return Fail(before + failure);
    const DWORD sent = client->Send(CompletionRequestBytes());
    if (sent != ERROR_SUCCESS)
        return Fail(before + L"the notice could not be sent (" + ErrorText(sent) + L")");
    const Answer answer = client->Receive(context.target.answerMs);
    bool value = false;
    std::wstring why;
    if (answer.error != ERROR_SUCCESS)
        return Fail(before + Seen(answer));
    // An answer that is not one breaks what every answer must be, whatever came before it.
    if (!ReadAsTessaline(answer.bytes, value, why))
        return Fail(before + Seen(answer) + L", not an answer: " + why, "R4.1");
    return Pass(std::wstring(value ? L"true" : L"false") + L" after " + Seconds(answer.milliseconds));
}

// A client that does something else first; then the next notice must be answered. A message that is not
// the notice, answered at all, must be answered false: true tells whatever sent it that a setup completed.
CheckResult AfterClient(CheckContext& context, const std::string* message, const char* notTrue = nullptr)
{
    std::wstring failure;
    std::unique_ptr<ProbeClient> client = Connect(context, failure);
    if (!client)
        return Fail(failure);
    if (message != nullptr && client->Send(*message) == ERROR_SUCCESS && notTrue != nullptr) {
        const Answer answer = client->Receive(context.target.answerMs);
        bool value = false;
        std::wstring why;
        if (answer.error == ERROR_SUCCESS && ReadAsTessaline(answer.bytes, value, why) && value)
            return Fail(L"answered true (" + Widen(Hex(answer.bytes.substr(0, 5)), CP_UTF8) +
                            L") to a message that is not the notice",
                        notTrue);
    }
    client.reset();
    // What the client did reaches the server only once it runs: the next notice comes after it has had
    // the time to see the client go.
    Sleep(context.target.answerMs / 4 < 500 ? context.target.answerMs / 4 : 500);
    return NoticeAnswered(context, L"then the next notice: ");
}

const Answer& FirstAnswer(CheckContext& context)
{
    if (!context.asked) {
        context.asked = true;
        std::wstring failure;
        if (!context.first)
            context.first = Connect(context, failure);
        context.answer.error = ERROR_PIPE_NOT_CONNECTED;
        if (context.first && (context.answer.error = context.first->Send(CompletionRequestBytes())) == ERROR_SUCCESS)
            context.answer = context.first->Receive(context.target.answerMs);
        // Without an answer the connection is of no more use; a late answer then finds no client.
        if (context.answer.error != ERROR_SUCCESS)
            context.first.reset();
    }
    return context.answer;
}

void RunBurst(CheckContext& context)
{
    if (!context.burst)
        context.tally = RunBurstProcesses(context.target);
    context.burst = true;
}

CheckResult NameExists(CheckContext& context)
{
    if (WaitNamedPipeW(context.target.name.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT)
        return Pass(L"");
    const DWORD error = GetLastError();
    return Fail(error == ERROR_FILE_NOT_FOUND ? L"no process serves it (error 2)"
                                              : L"it cannot be asked for (" + ErrorText(error) + L")");
}

CheckResult OpensAsTessaline(CheckContext& context)
{
    context.first = std::make_unique<ProbeClient>(context.target.name);
    if (context.first->Connected())
        return Pass(L"");
    const DWORD error = context.first->OpenError();
    context.first.reset();
    switch (error) {
    case ERROR_INVALID_PARAMETER:
        return Fail(L"the switch to message mode fails (error 87): the pipe is not a message-mode pipe");
    case ERROR_ACCESS_DENIED: {
        // An instance above this check's level refuses its open for writing whatever the DACL grants, as an
        // elevated downloader's own level does ("Mandatory Integrity Control" in Microsoft's documentation);
        // its label is read on an open for READ_CONTROL, which no-write-up lets through. Wine enforces no
        // levels: there only a DACL refuses.
        const Identity self = OwnIdentity();
        const UniqueFile look(CreateFileW(context.target.name.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING,
                                          SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        const DWORD level = look ? LabelLevel(ReadInstanceSecurity(look.get())) : 0;
        if (self.Known() && !AboveASetup(self) && level > SECURITY_MANDATORY_MEDIUM_RID)
            return Fail(L"the pipe refuses this account (error 5): its instances carry a label above medium, as an "
                        L"elevated downloader's do that set none of their own",
                        "R7.7");
        return Fail(L"the pipe refuses this account (error 5)", "R7.1");
    }
    case ERROR_SEM_TIMEOUT:
    case ERROR_PIPE_BUSY:
        return Fail(L"every instance stays busy (" + ErrorText(error) + L")");
    default:
        return Fail(L"the open fails (" + ErrorText(error) + L")");
    }
}

CheckResult NoticeAnsweredInTime(CheckContext& context)
{
    const Answer& answer = FirstAnswer(context);
    if (answer.error != ERROR_SUCCESS)
        return Fail(Seen(answer), answer.error == ERROR_TIMEOUT ? "R5.1" : nullptr);
    return Pass(L"after " + Seconds(answer.milliseconds));
}

// The first answer's Boolean, or why there is none: a check run without the ones before it meets either.
bool FirstBoolean(CheckContext& context, bool& value, std::wstring& why)
{
    const Answer& answer = FirstAnswer(context);
    if (answer.error != ERROR_SUCCESS)
        why = Seen(answer);
    else if (!ReadAsTessaline(answer.bytes, value, why))
        why = Widen(Hex(answer.bytes), CP_UTF8) + L" is not an answer to Tessaline: " + why;
    else
        return true;
    return false;
}

CheckResult AnswerIsBoolean(CheckContext& context)
{
    bool value = false;
    std::wstring why;
    if (!FirstBoolean(context, value, why))
        return Fail(why);
    return Pass(std::wstring(value ? L"true" : L"false") + L" (" + Widen(Hex(context.answer.bytes), CP_UTF8) + L")");
}

CheckResult AnswerIsTrue(CheckContext& context)
{
    bool value = false;
    std::wstring why;
    if (!FirstBoolean(context, value, why))
        return Fail(why);
    return value ? Pass(L"") : Fail(L"false: Tessaline ends with E_FAIL, and the setup sees completion not reported");
}

CheckResult NothingMore(CheckContext& context)
{
    if (FirstAnswer(context).error != ERROR_SUCCESS || !context.first)
        return Fail(L"no answer to look after");
    const Answer more = context.first->Receive(context.target.answerMs < 1000 ? context.target.answerMs : 1000);
    context.first.reset();
    if (more.error == ERROR_SUCCESS)
        return Fail(L"a second message came: " + Widen(Hex(more.bytes), CP_UTF8));
    return Pass(L"");
}

CheckResult SecondNotice(CheckContext& context) { return NoticeAnswered(context, L""); }

// A disconnect after the write discards what the client has not read ("DisconnectNamedPipe" in Microsoft's
// documentation): a client that reads a moment late sees a broken pipe. A close leaves the reply.
CheckResult ReadLate(CheckContext& context)
{
    std::wstring failure;
    const std::unique_ptr<ProbeClient> client = Connect(context, failure);
    if (!client)
        return Fail(failure);
    const DWORD sent = client->Send(CompletionRequestBytes());
    if (sent != ERROR_SUCCESS)
        return Fail(L"the notice could not be sent (" + ErrorText(sent) + L")");
    Sleep(context.target.answerMs / 2);
    const Answer answer = client->Receive(context.target.answerMs / 2);
    if (answer.error != ERROR_SUCCESS)
        return Fail(L"read " + Seconds(context.target.answerMs / 2) + L" after the notice: " + Seen(answer));
    return Pass(L"");
}

// A silent client held connected while another sends its notice.
CheckResult BesideSilent(CheckContext& context)
{
    std::wstring failure;
    const std::unique_ptr<ProbeClient> silent = Connect(context, failure);
    if (!silent)
        return Fail(failure);
    return NoticeAnswered(context, L"with a silent client connected, the next notice: ");
}

CheckResult AfterLook(CheckContext& context) { return AfterClient(context, nullptr); }

CheckResult AfterHangUp(CheckContext& context)
{
    const std::string notice = CompletionRequestBytes();
    return AfterClient(context, &notice);
}

CheckResult AfterOtherType(CheckContext& context)
{
    OutputBuffer request;
    request.WriteString(L"{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}");
    request.WriteInteger(0);
    const std::string message = request.Content();
    return AfterClient(context, &message, "R3.3");
}

CheckResult AfterEmpty(CheckContext& context)
{
    const std::string empty;
    return AfterClient(context, &empty, "R3.4");
}

CheckResult AfterOversized(CheckContext& context)
{
    // Four times the buffer size that Tessaline's pipe code gives its pipes.
    const std::string oversized(4096, '\x5A');
    return AfterClient(context, &oversized, "R3.3");
}

CheckResult BurstNotRun(const BurstTally& tally)
{
    return {Verdict::NotRun,
            L"not run: the burst's processes did not start or report (" + ErrorText(tally.startError) + L")",
            {}};
}

CheckResult BurstAnswered(CheckContext& context)
{
    RunBurst(context);
    const BurstTally& tally = context.tally;
    if (tally.startError != ERROR_SUCCESS)
        return BurstNotRun(tally);
    const std::wstring counts = Decimal(tally.answered) + L" of " + Decimal(context.target.burst) + L", from " +
                                Decimal(tally.processes) + L" processes";
    if (tally.answered == context.target.burst)
        return Pass(counts);
    // Every process answered, the clients lost only dropped, and only where a process had more than one at
    // once: what a limit on one process's connections does.
    const bool perProcess = tally.mostPerProcess > 1 && tally.processesAnswered == tally.processes &&
                            tally.answered + tally.dropped == context.target.burst;
    const unsigned unconnected = context.target.burst - tally.answered - tally.dropped - tally.timedOut;
    return Fail(counts + L" answered: " + Decimal(tally.dropped) + L" closed unanswered, " + Decimal(tally.timedOut) +
                    L" not answered within the time, " + Decimal(unconnected) +
                    L" not connected or not answered with a Boolean" +
                    (perProcess ? L": every process was answered, and lost only clients closed unanswered, of up to " +
                                      Decimal(tally.mostPerProcess) + L" it had at once, as a limit per process does"
                                : L""),
                perProcess ? "R6.4" : nullptr);
}

CheckResult BurstNoneMissing(CheckContext& context)
{
    RunBurst(context);
    if (context.tally.startError != ERROR_SUCCESS)
        return BurstNotRun(context.tally);
    return context.tally.missing == 0 ? Pass(L"")
                                      : Fail(Decimal(context.tally.missing) +
                                             L" attempts found no instance at all (error 2): none was listening");
}

CheckResult WhoServes(CheckContext& context)
{
    std::wstring failure;
    const std::unique_ptr<ProbeClient> client = Connect(context, failure);
    if (!client)
        return Fail(failure + (context.openError == ERROR_ACCESS_DENIED
                                   ? L": the pipe refuses this account, and a setup of this account with it"
                                   : L""));
    const ServerFacts server = ServerOfPipe(client->Handle());
    const Identity self = OwnIdentity();
    ServerJudgement judged = JudgeServer(server, self);
    const InstanceSecurity security = ReadInstanceSecurity(client->Handle());
    if (security.error != ERROR_SUCCESS) {
        judged.notes.push_back(L"its instance's DACL and label cannot be read (" + ErrorText(security.error) + L")");
    } else if (AboveASetup(server.process.identity) && self.Known()) {
        // Its setups run unelevated, at medium integrity, as this account.
        std::wstring refusal = DaclRefusal(security, self.sid);
        const std::wstring label = LabelMismatch(security, SECURITY_MANDATORY_MEDIUM_RID);
        if (!label.empty())
            refusal += (refusal.empty() ? L"" : L"; ") + label + L", not medium with no-write-up";
        if (!refusal.empty())
            return Fail(judged.facts + L": it runs elevated, and " + refusal + L" (" + SecurityText(security) + L")",
                        "R7.7");
        judged.notes.push_back(L"it runs elevated or at high integrity, and its instances' DACL and label, read back, "
                               L"let this account's unelevated setups in");
    }
    return {Verdict::Pass, judged.facts, judged.notes};
}

CheckResult EpmInstance(CheckContext& context)
{
    const std::wstring epm = IPC::AppContainerPipeName(context.target.name);
    if (!WaitNamedPipeW(epm.c_str(), IPC::kBusyWaitMs) && GetLastError() == ERROR_FILE_NOT_FOUND)
        return {Verdict::Pass, L"", {L"no _EPM instance: setups inside an AppContainer cannot reach this downloader"}};
    // READ_CONTROL alone: what the DACL and the label are, whatever they let this account do besides.
    const UniqueFile instance(CreateFileW(epm.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING,
                                          SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!instance)
        return {Verdict::Pass,
                L"",
                {L"the _EPM instance cannot be opened to read its DACL and label (" + ErrorText(GetLastError()) +
                 L"): Windows alone shows whether setups inside an AppContainer may write to it"}};
    const InstanceSecurity security = ReadInstanceSecurity(instance.get());
    if (security.error != ERROR_SUCCESS)
        return {Verdict::Pass, L"", {L"its DACL and label cannot be read (" + ErrorText(security.error) + L")"}};
    const std::wstring dacl = EpmDaclMismatch(security);
    if (!dacl.empty())
        return Fail(dacl + L" (" + SecurityText(security) + L")", "R7.5");
    const std::wstring label = LabelMismatch(security, SECURITY_MANDATORY_LOW_RID);
    if (!label.empty())
        return Fail(label + L", not low with no-write-up (" + SecurityText(security) + L")", "R7.6");
    return Pass(SecurityText(security));
}

} // namespace

const std::vector<Check>& AllChecks()
{
    static const std::vector<Check> checks = {
        {"1.1", L"the pipe's name exists", {"R1.1"}, nullptr, false, NameExists},
        {"1.2",
         L"a client opened as Tessaline opens it connects, in message mode",
         {"R2.1"},
         "1.1",
         true,
         OpensAsTessaline},
        {"2.1",
         L"the completion notice is answered with one message within the time",
         {"R3.1", "R5.1"},
         "1.2",
         true,
         NoticeAnsweredInTime},
        {"2.2",
         L"the answer reads as a Boolean, as Tessaline reads it",
         {"R4.1", "R2.2"},
         "2.1",
         false,
         AnswerIsBoolean},
        {"2.3", L"the answer is true", {"R4.2"}, "2.2", false, AnswerIsTrue},
        {"2.4", L"nothing more is sent after the answer", {"R4.3"}, "2.1", false, NothingMore},
        {"3.1", L"a second notice right after the first is answered", {"R6.1"}, "1.2", true, SecondNotice},
        {"3.2", L"the answer waits for a client that reads it late", {"R4.4"}, "3.1", true, ReadLate},
        {"3.3", L"a client that connects and stays silent holds up no other", {"R6.3"}, "3.1", true, BesideSilent},
        {"4.1", L"a look without a request leaves it serving", {"R3.2"}, "1.2", true, AfterLook},
        {"4.2", L"a hang-up before the answer leaves it serving", {"R4.5"}, "1.2", true, AfterHangUp},
        {"4.3", L"a request of another type first leaves it serving", {"R3.3"}, "1.2", true, AfterOtherType},
        {"4.4", L"an empty message leaves it serving", {"R3.4"}, "1.2", true, AfterEmpty},
        {"4.5",
         L"a message over the pipe's buffer size leaves it serving",
         {"R3.5", "R3.3"},
         "1.2",
         true,
         AfterOversized},
        {"5.1", L"a burst of simultaneous notices is answered in full", {"R6.2", "R1.3"}, "3.1", true, BurstAnswered},
        {"5.2", L"no client of the burst meets a missing pipe", {"R1.2", "R1.3"}, "1.2", true, BurstNoneMissing},
        {"6.1", L"a setup of this account can open it", {"R7.1", "R7.7"}, "1.2", true, WhoServes},
        {"6.2",
         L"an _EPM instance, where there is one, admits setups inside an AppContainer",
         {"R7.5", "R7.6"},
         nullptr,
         true,
         EpmInstance},
    };
    return checks;
}

const wchar_t* GroupTitle(int group)
{
    static const wchar_t* const titles[] = {
        L"The pipe", L"The completion notice", L"More than one client", L"Clients that misbehave",
        L"A burst",  L"Who serves it"};
    return group >= 1 && group <= 6 ? titles[group - 1] : L"";
}

std::wstring Cited(const Check& check)
{
    std::wstring cited;
    for (const char* requirement : check.requirements)
        cited += (cited.empty() ? L"[" : L", ") + Widen(requirement, CP_UTF8);
    return cited + L"]";
}

std::wstring Broken(const Check& check, const CheckResult& result)
{
    const char* broken = result.broken != nullptr ? result.broken : check.requirements.front();
    return L"breaks protocol.md " + Widen(broken, CP_UTF8);
}

CheckRun::CheckRun(const CheckTarget& target) : context_(new CheckContext()) { context_->target = target; }

CheckRun::~CheckRun() = default;

CheckResult CheckRun::Run(const Check& check)
{
    CheckContext& context = *context_;
    if (check.usesPipe && context.goneSince != nullptr)
        return {Verdict::NotRun, L"not run: the pipe has been gone since " + Widen(context.goneSince, CP_UTF8), {}};
    context.current = check.id;
    return check.run(context);
}
