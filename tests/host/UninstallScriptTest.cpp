// The undo script run by cmd under Wine on real files, folders and registry values whose names
// carry every character cmd treats specially, and names outside the ANSI code page: it runs
// orvane-track --undo on the plan written beside it.
#include "host/track/result/Base64.h"
#include "host/track/result/RealNames.h"
#include "host/track/result/TextEncoding.h"
#include "host/track/output/UninstallScript.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/UndoTestSupport.h"
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

// As the setup would: through the ANSI call, with the string's NUL.
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

// The bytes the library records for a string written by SetValue.
std::vector<std::uint8_t> Recorded(const std::string& data) {
    std::vector<std::uint8_t> bytes = Bytes(data);
    bytes.push_back(0);
    return bytes;
}

track::RegistryValue NewValue(const std::string& path, const std::string& data) {
    track::RegistryValue value(path, REG_SZ, track::EncodeBase64(Recorded(data)));
    value.change = track::ValueChange::New;
    return value;
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

// Removes the setup's files, its emptied folders deepest first, and its values, and puts back the
// value it changed; a file, a folder and a value that were there before stay, and so does a created
// folder the user put a file in.
TEST(UninstallScript, UndoesExactlyWhatWasRecordedWhenCmdRunsIt) {
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
    SetValue("Changed ^ 100%", "the setup's");
    const std::string key = std::string("HKCU\\") + kTestKey;
    const track::ValueData old{REG_EXPAND_SZ, undo_tests::WideBytes(L"%TEMP%\\before")};
    track::RegistryValue changed(key + "\\Changed ^ 100%", REG_SZ,
                                 track::EncodeBase64(Recorded("the setup's")));
    changed.change = track::ValueChange::Changed;
    changed.before = {track::Before::Present, old.type, old.bytes, ""};
    result.registry = {NewValue(key + "\\x & y ^ (1) 100%!", "goes"),
                       NewValue(key + "\\", "default value goes"), changed};

    const std::string scriptPath = dir / "uninstall (1) & 100%.cmd";
    std::string script, error;
    ASSERT_TRUE(track::WriteUndoPlanBeside(scriptPath, result, host_tests::BinFolder() + "\\orvane-track.exe",
                                           script, error))
        << error;
    EXPECT_TRUE(test_support::FileExists(dir / "uninstall (1) & 100%-undo-plan.txt"));
    test_support::WriteTextFile(scriptPath, script);
    // 2: the created folder the user put a file in is left alone (the undo says so).
    EXPECT_EQ(RunInNewConsole("cmd.exe /c \"" + QuoteArgument(scriptPath) + "\""), 2u) << script;

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
    track::ValueData restored;
    ASSERT_TRUE(undo_tests::GetExact(HKEY_CURRENT_USER, kTestKey, L"Changed ^ 100%", restored));
    EXPECT_TRUE(restored == old) << "the changed value has its old type and bytes again";
    ::RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
}

// The script names each step in rem lines, and without the tracker it says so and does nothing.
TEST(UninstallScript, ListsWhatItDoesAndFailsClearlyWithoutTheTracker) {
    test_support::TempDir dir("uninstall");
    const std::string file = dir / "added 100%.txt";
    test_support::WriteTextFile(file, "added");
    track::TrackResult result;
    result.files = {file};
    track::RegistryValue unknown(std::string("HKCU\\") + kTestKey + "\\Unknown", REG_DWORD,
                                 track::EncodeBase64({1, 0, 0, 0}));
    result.registry = {unknown};
    const std::string scriptPath = dir / "undo.cmd";
    std::string script, error;
    ASSERT_TRUE(
        track::WriteUndoPlanBeside(scriptPath, result, dir / "moved away\\orvane-track.exe", script, error));
    EXPECT_NE(script.find("rem   delete file \"" + dir.path() + "\\added 100%%.txt\"\r\n"), std::string::npos)
        << script;
    // % is doubled in rem lines too: cmd expands it there.
    EXPECT_NE(
        script.find("rem   leave alone value \"HKCU\\Software\\OrvaneUninstallTest (a&b) 100%%!\\Unknown\" "
                    "(old data unknown)\r\n"),
        std::string::npos)
        << script;
    EXPECT_NE(script.find(" --undo \"" + dir.path() + "\\undo-undo-plan.txt\"\r\n"), std::string::npos)
        << script;
    test_support::WriteTextFile(scriptPath, script);
    const host_tests::ProcessResult run =
        host_tests::RunProcess("cmd.exe /c " + QuoteArgument(scriptPath), 60000);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_NE(run.err.find("This undo needs orvane-track.exe at"), std::string::npos) << run.out << run.err;
    EXPECT_TRUE(test_support::FileExists(file)) << "nothing is done without the tracker";
}

} // namespace
