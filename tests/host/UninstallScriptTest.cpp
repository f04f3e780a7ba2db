// The uninstall script run by cmd under Wine on real files, folders and registry values whose
// names carry every character cmd treats specially, and names outside the ANSI code page.
#include "host/track/result/Base64.h"
#include "host/track/result/RealNames.h"
#include "host/track/result/TextEncoding.h"
#include "host/track/output/UninstallScript.h"
#include "tests/host/HostTestSupport.h"
#include "tests/support/TestSupport.h"

#include "common/UniqueHandle.h"

#include <gtest/gtest.h>

namespace {

using host_tests::Bytes;
using test_support::QuoteArgument;

const char kTestKey[] = "Software\\OrvaneUninstallTest (a&b) 100%!";

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void CreateWideFile(const std::wstring& path) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid()) << track::WideToUtf8(path);
}

void SetValue(const char* name, const std::string& data) {
    HKEY raw = nullptr;
    ASSERT_EQ(
        ::RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr),
        ERROR_SUCCESS);
    UniqueKey key(raw);
    ASSERT_EQ(::RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                               static_cast<DWORD>(data.size() + 1)),
              ERROR_SUCCESS);
}

// Runs `commandLine` in a console of its own, as a user starts a script, and answers its exit code.
DWORD RunInNewConsole(const std::string& commandLine) {
    std::string line = commandLine;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr,
                          &startup, &info))
        return 1000;
    UniqueHandle process(info.hProcess), thread(info.hThread);
    if (::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        return 1001;
    }
    DWORD code = 1002;
    ::GetExitCodeProcess(process.get(), &code);
    return code;
}

bool HasValue(const char* name) {
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    return host_tests::ReadRegistryValue(HKEY_CURRENT_USER, kTestKey, name, type, data);
}

TEST(UninstallScript, QuotesNamesSoThatCmdPassesThemThrough) {
    EXPECT_EQ(track::QuoteForCmd("C:\\a b\\x&y (1) ^ !.txt"), "\"C:\\a b\\x&y (1) ^ !.txt\"");
    EXPECT_EQ(track::QuoteForCmd("100%PATH%"), "\"100%%PATH%%\"");
    EXPECT_EQ(track::QuoteForCmd("HKLM\\Key\\"), "\"HKLM\\Key\\\\\"");
    EXPECT_EQ(track::QuoteForCmd("say \"hi\""), "");
}

// Removes the setup's files, its emptied folders deepest first, and its values; a file, a folder and
// a value that were there before stay, and so does a created folder the user put a file in.
TEST(UninstallScript, RemovesExactlyWhatWasRecordedWhenCmdRunsIt) {
    test_support::TempDir dir("uninstall");
    const std::wstring root = track::Utf8ToWide(dir.path()) + L"\\Old Folder";
    ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
    const std::wstring oddNames[] = {L"a b & c (1) ^ 100% !x!.txt", L"%PATH%.txt", L"caf\u00e9.txt",
                                     L"\u03a9 \u6587.txt"};
    const std::wstring made = root + L"\\New (1) & 100%!", deeper = made + L"\\de\u00e9p \u6587",
                       keptByUser = root + L"\\Kept ^ folder";
    for (const std::wstring& folder : {made, deeper, keptByUser})
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    track::TrackResult result;
    std::vector<std::wstring> recorded;
    for (const std::wstring& folder : {root, deeper, keptByUser}) {
        for (const std::wstring& name : oddNames)
            recorded.push_back(folder + L"\\" + name);
    }
    for (const std::wstring& file : recorded) {
        CreateWideFile(file);
        const std::string ansi = track::WideToAnsi(file);
        result.files.push_back(ansi);
        // As the tracker records a name the ANSI form could not hold.
        if (track::FindRealName(ansi) == file && track::AnsiToWide(ansi) != file)
            result.realNames[ansi] = track::WideToUtf8(file);
    }
    const std::wstring preExisting = root + L"\\pre-existing & kept.txt",
                       userFile = keptByUser + L"\\mine.txt";
    CreateWideFile(preExisting);
    CreateWideFile(userFile);
    result.createdFolders = {track::WideToUtf8(made), track::WideToUtf8(keptByUser),
                             track::WideToUtf8(deeper)};

    ::RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
    SetValue("Kept (before)", "stays");
    SetValue("x & y ^ (1) 100%!", "goes");
    SetValue("", "default value goes");
    const std::string key = std::string("HKCU\\") + kTestKey;
    result.registry = {{key + "\\x & y ^ (1) 100%!", REG_SZ, track::EncodeBase64(Bytes("goes"))},
                       {key + "\\", REG_SZ, track::EncodeBase64(Bytes("default value goes"))}};

    std::vector<std::string> named = result.createdFolders;
    for (const std::wstring& file : recorded)
        named.push_back(track::WideToUtf8(file));
    for (const std::string& name : named) {
        const std::string shortPath = track::AsciiShortPath(track::Utf8ToWide(name));
        if (!shortPath.empty())
            result.shortNames[name] = shortPath;
    }
    const std::string scriptPath = dir / "uninstall (1) & 100%.cmd";
    test_support::WriteTextFile(scriptPath, track::FormatUninstallScript(result));
    EXPECT_EQ(RunInNewConsole("cmd.exe /c \"" + QuoteArgument(scriptPath) + "\""), 0u);

    for (const std::wstring& file : recorded)
        EXPECT_FALSE(Exists(file)) << track::WideToUtf8(file);
    EXPECT_FALSE(Exists(deeper));
    EXPECT_FALSE(Exists(made));
    EXPECT_TRUE(Exists(root)) << "a folder that was there before stays";
    EXPECT_TRUE(Exists(preExisting));
    EXPECT_TRUE(Exists(userFile));
    EXPECT_TRUE(Exists(keptByUser)) << "a created folder that still holds a file stays";
    EXPECT_FALSE(HasValue("x & y ^ (1) 100%!"));
    EXPECT_FALSE(HasValue(""));
    EXPECT_TRUE(HasValue("Kept (before)"));
    ::RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
}

} // namespace
