// The library's lifetime in a host process: loaded and freed at run time, with and without a
// recorder, while capturing, and at process exit with a recorder still alive.
#include "include/IOrvaneInc.h"

#include "tests/support/LoadedLibrary.h"
#include "tests/support/TestSupport.h"
#include "common/Tick.h"

#include <gtest/gtest.h>

#include <process.h>

#include <cstring>
#include <string>

namespace {

using test_support::LoadedLibrary;

using test_support::ServiceExists;

// A "REGMON" service entry that this test made itself, removed at the end.
class PlaceholderService {
public:
    PlaceholderService() {
        UniqueService manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueService service(::CreateServiceA(
            manager.get(), "REGMON", "REGMON", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\windows\\system32\\drivers\\REGSYS.SYS", nullptr,
            nullptr, nullptr, nullptr, nullptr));
    }
    ~PlaceholderService() {
        UniqueService manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueService service(::OpenServiceA(manager.get(), "REGMON", SERVICE_ALL_ACCESS));
        if (service)
            ::DeleteService(service.get());
    }
};

TEST(Unload, WithoutARecorderNothingIsDestroyed) {
    PlaceholderService placeholder;
    ASSERT_TRUE(ServiceExists("REGMON"));
    LoadedLibrary library;
    ASSERT_TRUE(library.loaded());
    IOrvaneInc* empty = library.Create(IOrvaneInc::OV_EMPTY);
    ASSERT_NE(empty, nullptr);
    library.Destroy(empty);
    library.Free();
    EXPECT_TRUE(ServiceExists("REGMON")) << "an unload without a recorder must leave the service alone";
}

TEST(Unload, AfterARecorderTheServiceIsRemovedAndTheLibraryLoadsAgain) {
    for (int round = 0; round < 2; ++round) {
        LoadedLibrary library;
        ASSERT_TRUE(library.loaded());
        IOrvaneInc* recorder = library.Create(IOrvaneInc::OV_RECORDER);
        ASSERT_NE(recorder, nullptr);
        EXPECT_TRUE(ServiceExists("REGMON"));
        recorder->Start();
        recorder->Stop();
        library.Destroy(recorder);
        EXPECT_TRUE(ServiceExists("REGMON")) << "the monitor outlives the recorder";
        library.Free();
        EXPECT_FALSE(ServiceExists("REGMON")) << "round " << round;
    }
}

TEST(Unload, WhileTheMonitorIsCapturingNoTickOutlivesTheLibrary) {
    LoadedLibrary library;
    ASSERT_TRUE(library.loaded());
    IOrvaneInc* recorder = library.Create(IOrvaneInc::OV_RECORDER);
    ASSERT_NE(recorder, nullptr);
    recorder->Start();
    library.Destroy(recorder); // the shared monitor goes on capturing, its timer set on this thread
    library.Free();
    EXPECT_FALSE(ServiceExists("REGMON"));
    // Ticks come every 500 ms: dispatching for three periods gives a stray one the chance to reach
    // the unloaded library, which would end this process.
    test_support::PumpMessagesUntil([] { return false; }, 1500);
}

// Helper mode: start tracking and leave the process without stopping or destroying anything.
int ExitWhileTracking() {
    LoadedLibrary library;
    if (!library.loaded())
        return 3;
    IOrvaneInc* recorder = library.Create(IOrvaneInc::OV_RECORDER);
    if (recorder == nullptr)
        return 4;
    recorder->Start();
    test_support::PumpPendingMessages();
    return 0; // ExitProcess runs the library's teardown with the loader lock held
}

// Where a module lies in memory, for telling afterwards what would have run its code.
struct ImageRange {
    ULONG_PTR begin = 0;
    ULONG_PTR end = 0;

    explicit ImageRange(HMODULE module) {
        const auto* base = reinterpret_cast<const BYTE*>(module);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        begin = reinterpret_cast<ULONG_PTR>(base);
        end = begin + nt->OptionalHeader.SizeOfImage;
    }
    bool Holds(ULONG_PTR address) const { return address >= begin && address < end; }
};

// Whether dispatching `message` would call code of `image`: a thread timer's tick (this program
// sets no thread timer of its own while it looks), or a message for a window whose procedure lies
// there. Wine and Windows both swallow a fault inside a timer procedure by default, so a stray tick
// has to be caught before it is dispatched rather than by its crash.
bool WouldRunCodeOf(const ImageRange& image, const MSG& message) {
    if (message.message == WM_TIMER && message.hwnd == nullptr)
        return true;
    return message.hwnd != nullptr && image.Holds(ULONG_PTR(::GetWindowLongPtrA(message.hwnd, GWLP_WNDPROC)));
}

// Dispatches for `periodMs`; false as soon as a message would run code of the unloaded image.
bool DispatchAfterUnload(const ImageRange& image, DWORD periodMs) {
    const ULONGLONG deadline = TickCount64() + periodMs;
    while (TickCount64() < deadline) {
        MSG message;
        if (!::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
            continue;
        }
        if (WouldRunCodeOf(image, message))
            return false;
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
    return true;
}

unsigned __stdcall FreeOnThisThread(void* module) {
    ::FreeLibrary(static_cast<HMODULE>(module));
    return 0;
}

// Waits for `thread` as a host would: blocked in one call, or dispatching its messages meanwhile.
bool WaitForThread(HANDLE thread, bool dispatch, DWORD timeoutMs) {
    if (!dispatch)
        return ::WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
    return test_support::PumpMessagesUntil(
        [thread] { return ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }, timeoutMs);
}

// Helper mode: this thread starts tracking and leaves the monitor capturing, with its pull timer set
// here; another thread unloads the library; then this thread dispatches for several timer periods.
int UnloadOnAnotherThread(bool dispatchWhileUnloading) {
    HMODULE module = nullptr;
    {
        LoadedLibrary library;
        if (!library.loaded())
            return 3;
        IOrvaneInc* recorder = library.Create(IOrvaneInc::OV_RECORDER);
        if (recorder == nullptr)
            return 4;
        recorder->Start();
        library.Destroy(recorder); // the shared monitor goes on capturing
        module = library.Release();
    }
    const ImageRange image(module);
    UniqueHandle unloader(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, FreeOnThisThread, module, 0, nullptr)));
    if (!unloader)
        return 5;
    if (!WaitForThread(unloader.get(), dispatchWhileUnloading, 30000))
        return 6; // FreeLibrary did not return
    // The library's own threads may keep it mapped for a moment after the host lets it go.
    if (!test_support::PumpMessagesUntil([] { return ::GetModuleHandleA("Orvane.dll") == nullptr; }, 30000))
        return 7;
    if (!DispatchAfterUnload(image, 3000))
        return 8; // a timer or window of the unloaded library is still alive on this thread
    return 0;
}

void ExpectCleanChild(const char* mode) {
    UniqueHandle child = test_support::StartSelf(mode);
    ASSERT_TRUE(child);
    if (::WaitForSingleObject(child.get(), 120000) != WAIT_OBJECT_0) {
        ::TerminateProcess(child.get(), 1);
        FAIL() << mode << ": the process did not end";
    }
    DWORD code = 0;
    ::GetExitCodeProcess(child.get(), &code);
    EXPECT_EQ(code, 0u) << mode << std::hex << ": exit code 0x" << code;
    EXPECT_FALSE(ServiceExists("REGMON")) << mode << ": the unload removes the service";
}

TEST(Unload, FromAnotherThreadWhileCapturingLeavesNoTimerBehind) {
    ExpectCleanChild("--unload-elsewhere");
    ExpectCleanChild("--unload-elsewhere-while-dispatching");
}

TEST(Unload, ProcessExitWithALiveRecorderNeitherHangsNorCrashes) {
    UniqueHandle child = test_support::StartSelf("--exit-while-tracking");
    ASSERT_TRUE(child);
    ASSERT_EQ(::WaitForSingleObject(child.get(), 120000), WAIT_OBJECT_0) << "the process did not end";
    DWORD code = 0;
    ::GetExitCodeProcess(child.get(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(ServiceExists("REGMON")) << "process exit removes the service too";
}

} // namespace

// Under Wine a crash would wait for a dialog nobody sees: let it end the process at once instead.
void NoCrashDialog() {
    if (::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr)
        return;
    UniqueKey key;
    HKEY opened = nullptr;
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\WineDbg", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                          &opened, nullptr) != ERROR_SUCCESS)
        return;
    key.reset(opened);
    const DWORD off = 0;
    ::RegSetValueExA(key.get(), "ShowCrashDialog", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off),
                     sizeof off);
}

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--exit-while-tracking") == 0)
        return ExitWhileTracking();
    if (argc == 2 && std::strcmp(argv[1], "--unload-elsewhere") == 0)
        return UnloadOnAnotherThread(false);
    if (argc == 2 && std::strcmp(argv[1], "--unload-elsewhere-while-dispatching") == 0)
        return UnloadOnAnotherThread(true);
    NoCrashDialog();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
