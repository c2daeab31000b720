#include "Robustness.h"

#include <cstdio>
#include <cstdlib>

#include "DownloaderConnection.h"
#include "TestPipes.h"

namespace {

const std::uint32_t kDefaultSeed = 20240611;

// Under Wine the registry follows Wine's rules, which the tests pin down; elsewhere those of Windows.
bool RunningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void ScanInto(HKEY parent, const std::wstring& name, const std::wstring& path, MarkerScan& scan)
{
    const UniqueKey key = OpenKeyBelow(parent, name, KEY_READ);
    if (!key)
        return;
    const InstallValue install = ReadInstallValue(key.get());
    if (install.Exists()) {
        scan.installKeys.push_back(path);
        if (!install.IsMarker())
            scan.malformed.push_back(path);
    }
    for (const std::wstring& child : SubkeysOfKey(key.get()))
        ScanInto(key.get(), child, path + L"\\" + child, scan);
}

} // namespace

std::uint32_t RobustSeed()
{
    static const std::uint32_t seed = [] {
        const char* text = std::getenv("TESSALINE_ROBUST_SEED");
        return text != nullptr && *text != '\0' ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0))
                                                : kDefaultSeed;
    }();
    return seed;
}

std::mt19937 SeededGenerator(const char* purpose)
{
    std::printf("seed %lu (set TESSALINE_ROBUST_SEED to change), stream \"%s\"\n",
                static_cast<unsigned long>(RobustSeed()), purpose);
    std::seed_seq sequence(purpose, purpose + std::char_traits<char>::length(purpose));
    std::vector<std::uint32_t> words(1);
    sequence.generate(words.begin(), words.end());
    return std::mt19937(RobustSeed() ^ words[0]);
}

std::string Describe(const std::wstring& text, std::size_t limit)
{
    std::string out = "(" + std::to_string(text.size()) + " chars) \"";
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const wchar_t c = text[i];
        if (c == L'\\' || c == L'"') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    out += text.size() > limit ? "\"..." : "\"";
    return out;
}

::testing::AssertionResult EndedCleanly(const ChildResult& run)
{
    if (!run.finished)
        return ::testing::AssertionFailure() << "still running after the time-out (hang)";
    if (run.exitCode != S_OK && run.exitCode != kFail) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(run.exitCode));
        return ::testing::AssertionFailure() << "exit code " << code << " is neither S_OK nor E_FAIL (crash)";
    }
    for (const std::wstring& line : run.debugLines)
        if (line.rfind(L"Tessaline: fault", 0) == 0)
            return ::testing::AssertionFailure() << "faulted: " << Describe(line);
    return ::testing::AssertionSuccess();
}

std::size_t ArgumentRoom() { return 32767 - 1 - QuoteArgument(ProgramFolder() + L"Tessaline.exe").size() - 1; }

DownloaderRun RunAgainstDownloader(const std::wstring& arguments, std::function<std::string(IPC::Pipe&)> handler)
{
    const std::wstring name = DownloaderPipeName();
    auto server = OnThread([name, handler]() {
        IPC::Pipe pipe(name, false);
        return handler(pipe);
    });
    DownloaderRun run;
    EXPECT_TRUE(WaitUntilListening(name)) << "the in-test downloader is not listening";
    run.program = RunProgram(L"Tessaline.exe", arguments);
    // A program that never connected leaves the server waiting for a client.
    if (server.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
        IPC::CancelPendingConnect();
    try {
        run.request = server.get();
        run.served = true;
    } catch (const std::exception&) {
        // The program left before the handler was done; the caller judges by the exit code.
    }
    return run;
}

std::function<std::string(IPC::Pipe&)> Answer(const std::string& reply)
{
    return [reply](IPC::Pipe& pipe) {
        const std::string request = pipe.Read().Content();
        OutputBuffer out;
        out.WriteBytes(reply);
        pipe.Write(out);
        FlushFileBuffers(pipe.NativeHandle());
        return request;
    };
}

const wchar_t kMarkerRoot[] = L"Software\\Tessaline";

std::set<std::wstring> SubkeysOf(const std::wstring& path)
{
    if (path.empty())
        return SubkeysOfKey(HKEY_CURRENT_USER);
    return SubkeysOfKey(OpenUserKey(path).get());
}

RegistryFootprint RegistryFootprint::Take()
{
    RegistryFootprint footprint;
    footprint.rootKeys = SubkeysOf(L"");
    footprint.softwareKeys = SubkeysOf(L"Software");
    footprint.markerKeys = SubkeysOf(kMarkerRoot);
    footprint.rootValues = ValueCountOf(HKEY_CURRENT_USER);
    footprint.softwareValues = ValueCountOf(OpenUserKey(L"Software").get());
    return footprint;
}

void ExpectNoStrayWrites(const RegistryFootprint& before, const RegistryFootprint& after)
{
    EXPECT_EQ(after.rootKeys, before.rootKeys) << "keys at the root of HKEY_CURRENT_USER changed";
    EXPECT_EQ(after.rootValues, before.rootValues) << "values at the root of HKEY_CURRENT_USER changed";
    std::set<std::wstring> software = after.softwareKeys;
    software.erase(L"Tessaline");
    std::set<std::wstring> softwareBefore = before.softwareKeys;
    softwareBefore.erase(L"Tessaline");
    EXPECT_EQ(software, softwareBefore) << "keys in HKEY_CURRENT_USER\\Software changed";
    EXPECT_EQ(after.softwareValues, before.softwareValues) << "values in HKEY_CURRENT_USER\\Software changed";
    EXPECT_EQ(after.markerKeys, before.markerKeys) << "keys left in HKEY_CURRENT_USER\\Software\\Tessaline";
}

MarkerScan ScanMarkers(const std::wstring& top)
{
    MarkerScan scan;
    if (const UniqueKey root = OpenUserKey(kMarkerRoot))
        ScanInto(root.get(), top, top, scan);
    return scan;
}

void DeleteMarkerTree(const std::wstring& top)
{
    // Never the whole of HKCU\Software\Tessaline: only a tree that a test named.
    if (top.empty() || top.find(L'\\') != std::wstring::npos)
        return;
    const std::wstring path = std::wstring(kMarkerRoot) + L"\\" + top;
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
}

ExpectedMarker PredictMarker(const std::wstring& name)
{
    // Windows allows 255 code units in a key name; Wine takes one more and refuses from 257 on
    // (ERROR_INVALID_PARAMETER). Wine skips empty components (doubled, leading or trailing
    // backslashes) and opens the key the rest names; Windows may refuse such a path instead.
    const bool wine = RunningUnderWine();
    const std::size_t longest = wine ? 256 : 255;
    ExpectedMarker expected;
    bool emptyComponent = false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = name.find(L'\\', start);
        const std::wstring component = name.substr(start, end == std::wstring::npos ? end : end - start);
        if (component.empty())
            emptyComponent = true;
        else
            expected.components.push_back(component);
        if (component.size() > longest)
            expected.outcome = Outcome::Refused;
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    if (expected.outcome != Outcome::Refused && emptyComponent && !wine)
        expected.outcome = Outcome::EitherWay;
    return expected;
}

void CheckRegistryRun(const std::wstring& top, const std::wstring& name, const ChildResult& run, int* written,
                      int* refused)
{
    ASSERT_TRUE(EndedCleanly(run)) << Describe(name);
    const ExpectedMarker expected = PredictMarker(name);
    ASSERT_FALSE(expected.components.empty());
    ASSERT_EQ(expected.components.front(), top) << "the name must stay below the test's own key";
    std::wstring path;
    for (const std::wstring& component : expected.components)
        path += (path.empty() ? L"" : L"\\") + component;

    const MarkerScan scan = ScanMarkers(top);
    EXPECT_TRUE(scan.malformed.empty()) << "an Install value that is not REG_SZ \"1\": " << Describe(path);
    const bool isWritten = run.exitCode == S_OK;
    if (expected.outcome == Outcome::Written) {
        EXPECT_TRUE(isWritten) << "refused: " << Describe(name);
    }
    if (expected.outcome == Outcome::Refused) {
        EXPECT_FALSE(isWritten) << "accepted: " << Describe(name);
    }
    if (isWritten) {
        ASSERT_EQ(scan.installKeys.size(), 1u) << Describe(name);
        EXPECT_EQ(scan.installKeys[0], path) << Describe(scan.installKeys[0]) << " instead of " << Describe(path);
        if (written != nullptr)
            ++*written;
    } else {
        EXPECT_TRUE(scan.installKeys.empty()) << "a marker despite E_FAIL: " << Describe(name);
        if (refused != nullptr)
            ++*refused;
    }
}
