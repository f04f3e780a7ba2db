#include "tests/host/HostTestSupport.h"
#include "tests/host/TrackerTestModes.h"
#include "tests/support/TestSupport.h"

#include "common/UniqueHandle.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string g_standInLibrary;

int SpawnLateWriter(const std::string& playback) {
    const std::string arguments = std::string(kModeLateWriter) + " " +
                                  std::to_string(::GetCurrentProcessId()) + " " +
                                  test_support::QuoteArgument(playback);
    UniqueHandle writer = test_support::StartSelf(arguments);
    return writer ? kSpawnerExitCode : 1;
}

int LateWriter(DWORD parentId, const std::string& playback) {
    UniqueHandle parent(::OpenProcess(SYNCHRONIZE, FALSE, parentId));
    if (parent && ::WaitForSingleObject(parent.get(), 60000) != WAIT_OBJECT_0)
        return 1;
    UniqueFile file(::CreateFileA(playback.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::string line = std::string("F\t") + kLateFile + "\n";
    DWORD written = 0;
    return file && ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)
               ? 0
               : 1;
}

// Runs `commandLine` in this process's console (its output not redirected), waits for it, then
// reads back every character the console shows and saves the lines, as UTF-8, to `outPath`.
int RunInConsole(const std::string& outPath, const std::string& commandLine) {
    HANDLE console = ::GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(console, &info))
        return 2;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string line = commandLine;
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process))
        return 3;
    UniqueHandle child(process.hProcess), thread(process.hThread);
    if (::WaitForSingleObject(child.get(), 100000) != WAIT_OBJECT_0)
        return 4;
    ::GetConsoleScreenBufferInfo(console, &info);
    std::wstring shown;
    const SHORT width = info.dwSize.X;
    std::vector<wchar_t> row(static_cast<size_t>(width));
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        DWORD read = 0;
        ::ReadConsoleOutputCharacterW(console, row.data(), static_cast<DWORD>(width), COORD{0, y}, &read);
        std::wstring text(row.data(), read);
        text.erase(text.find_last_not_of(L' ') + 1);
        shown += text + L"\n";
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, shown.data(), static_cast<int>(shown.size()), nullptr,
                                           0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, shown.data(), static_cast<int>(shown.size()), utf8.data(), size,
                          nullptr, nullptr);
    test_support::WriteTextFile(outPath, utf8);
    return 0;
}

std::string Inherited(const char* name) {
    char value[4096];
    const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string("(none)");
}

// What the setup inherits of the store of old state, one "NAME=value" line each, and whether the
// store is a folder while the setup runs.
int SaveStore(const std::string& outPath) {
    const std::string store = Inherited("ORVANE_CAPTURE_STORE");
    const DWORD attributes = ::GetFileAttributesA(store.c_str());
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    test_support::WriteTextFile(outPath,
                                "ORVANE_CAPTURE_STORE=" + store +
                                    "\nORVANE_CAPTURE_FOLDERS=" + Inherited("ORVANE_CAPTURE_FOLDERS") +
                                    "\nORVANE_CAPTURE_FILE_CAP=" + Inherited("ORVANE_CAPTURE_FILE_CAP") +
                                    "\nfolder=" + (folder ? "yes" : "no") + "\n");
    return 0;
}

} // namespace

const char* StandInLibraryPath() {
    return g_standInLibrary.c_str();
}

int RunTrackerTestMode(int argc, char** argv) {
    if (argc < 2)
        return -1;
    const std::string mode = argv[1];
    if (mode == kModeTouch && argc == 3) {
        test_support::WriteTextFile(argv[2], "ran");
        return 0;
    }
    if (mode == kModeExitWith && argc == 3)
        return static_cast<int>(std::strtoul(argv[2], nullptr, 10));
    if (mode == kModeSayHello) {
        std::printf("hello from the setup\n");
        return 0;
    }
    if (mode == kModeSpawnLateWriter && argc == 3)
        return SpawnLateWriter(argv[2]);
    if (mode == kModeLateWriter && argc == 4)
        return LateWriter(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)), argv[3]);
    if (mode == kModeInConsole && argc == 4)
        return RunInConsole(argv[2], argv[3]);
    if (mode == kModeSaveStore && argc == 3)
        return SaveStore(argv[2]);
    return -1;
}

int main(int argc, char** argv) {
    const int helperResult = RunTrackerTestMode(argc, argv);
    if (helperResult != -1)
        return helperResult;
    testing::InitGoogleTest(&argc, argv);
    if (argc > 1)
        g_standInLibrary = host_tests::WindowsPath(argv[1]);
    return RUN_ALL_TESTS();
}
