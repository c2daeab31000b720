// RawClient: the pipe mode's system calls and nothing else, as the yardstick for Tessaline's pipe mode.
// Makes the process set-up and the AppContainer query, opens the downloader's pipe once (no retry),
// sends the completion notice and reads the answer: 0 when it is the Boolean true (05 00 00 00, then a
// non-zero byte), else E_FAIL.
#include <windows.h>

#include "Handles.h"
#include "RawSetup.h"

namespace {

const wchar_t kPipeName[] = L"\\\\.\\pipe\\lumo_downloader_{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}";
const wchar_t kPipeNameInAppContainer[] = L"\\\\.\\pipe\\lumo_downloader_{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}_EPM";
const wchar_t kSuffix[] = L"{C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A}";
const DWORD kSuffixUnits = 38;

// Integer 0, then the suffix as a String: tags and length are 4-byte little-endian, the text UTF-16LE.
struct Request {
    DWORD integerTag;
    DWORD integerValue;
    DWORD stringTag;
    DWORD stringUnits;
    wchar_t units[kSuffixUnits];
};
static_assert(sizeof(Request) == 92, "the completion notice is 92 bytes");
static_assert(sizeof kSuffix == (kSuffixUnits + 1) * sizeof(wchar_t), "the suffix has 38 code units");

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    RawProcessSetUp();
    Request request = {0, 0, 2, kSuffixUnits, {}};
    for (DWORD i = 0; i < kSuffixUnits; ++i)
        request.units[i] = kSuffix[i];

    const wchar_t* name = RawInAppContainer() ? kPipeNameInAppContainer : kPipeName;
    const UniqueFile pipe(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!pipe)
        return E_FAIL;
    DWORD mode = PIPE_READMODE_MESSAGE;
    unsigned char reply[1024];
    DWORD written = 0;
    DWORD read = 0;
    const bool answered = SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr) &&
                          WriteFile(pipe.get(), &request, sizeof request, &written, nullptr) &&
                          ReadFile(pipe.get(), reply, sizeof reply, &read, nullptr);
    const bool isTrue =
        answered && read >= 5 && reply[0] == 5 && reply[1] == 0 && reply[2] == 0 && reply[3] == 0 && reply[4] != 0;
    return isTrue ? S_OK : E_FAIL;
}
