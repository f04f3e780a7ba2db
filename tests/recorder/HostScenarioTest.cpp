// Hosts that call the library in awkward orders, through the exported interface only: a stop from a
// message handler while a wake waits behind that message, a host that empties its queue without
// dispatching, a modal loop during tracking, and a host that unloads the library while a recorder
// still tracks. Each scenario runs under a watchdog that ends the program when it hangs.
#include "include/IOrvaneInc.h"

#include "tests/support/LoadedLibrary.h"
#include "tests/support/TestSupport.h"
#include "tests/support/Watchdog.h"
#include "common/Tick.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>

namespace {

using test_support::PumpMessagesUntil;
using test_support::Watchdog;
using test_support::WriteTextFile;

using test_support::LoadedLibrary;

// A folder created below the program-files folder while tracking runs (Wine reports changes only in
// folders created after the watch started), removed with its contents at the end.
class NewFolder : public test_support::TempDir {
public:
    explicit NewFolder(const std::string& tag)
        : TempDir(test_support::KnownFolder(CSIDL_PROGRAM_FILES), "host-" + tag) {}
};

bool Has(IOrvaneInc* recorder, const std::string& path) {
    return recorder->GetFileChanges().count(path) != 0;
}

// A message for the engine's hidden delivery window waits in this thread's queue; looking does
// not take it.
bool DeliveryMessageQueued() {
    const HWND window = ::FindWindowA("Delayed_Message_Sender", "DelayedWnd");
    MSG msg;
    return window != nullptr && ::PeekMessageA(&msg, window, 0x8400, 0x84FF, PM_NOREMOVE | PM_NOYIELD);
}

bool WaitWithoutDispatching(const std::function<bool()>& condition, DWORD timeoutMs = 20000) {
    const ULONGLONG deadline = TickCount64() + timeoutMs;
    while (!condition()) {
        if (TickCount64() >= deadline)
            return false;
        ::WaitForSingleObject(::GetCurrentProcess(), 5); // never signalled while this runs
    }
    return true;
}

void DropEveryQueuedMessage() {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// The host's own window: its handlers call the recorder.
constexpr UINT kStopMessage = WM_APP + 1;

struct HostWindow {
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == kStopMessage && current != nullptr && current->recorder != nullptr) {
            current->recorder->Stop();
            current->stopped = true;
            return 0;
        }
        return ::DefWindowProcA(window, message, wParam, lParam);
    }

    HostWindow() {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = &Procedure;
        windowClass.hInstance = ::GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "OrvaneHostScenario";
        ::RegisterClassA(&windowClass);
        window = ::CreateWindowExA(0, "OrvaneHostScenario", "host", 0, 0, 0, 0, 0, nullptr, nullptr,
                                   ::GetModuleHandleA(nullptr), nullptr);
        current = this;
    }
    ~HostWindow() {
        current = nullptr;
        ::DestroyWindow(window);
    }

    static HostWindow* current;
    HWND window = nullptr;
    IOrvaneInc* recorder = nullptr;
    bool stopped = false;
};
HostWindow* HostWindow::current = nullptr;

class HostScenario : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(library_.loaded());
        recorder_ = library_.Create();
        ASSERT_NE(recorder_, nullptr);
        host_.recorder = recorder_;
        recorder_->Start();
    }
    void TearDown() override {
        if (recorder_ != nullptr)
            library_.Destroy(recorder_);
        test_support::PumpPendingMessages();
    }

    // Creates a file and pumps until tracking saw it: everything before it has been delivered too.
    void CreateAndAwait(const std::string& path) {
        WriteTextFile(path, "x");
        ASSERT_TRUE(PumpMessagesUntil([&] { return Has(recorder_, path); })) << "tracking never saw " << path;
    }

    LoadedLibrary library_;
    HostWindow host_;
    IOrvaneInc* recorder_ = nullptr;
};

// The host's GetMessage takes a message that was queued ahead of the engine's wake; its handler
// stops tracking. The stop must end and still flush the record behind the wake.
TEST_F(HostScenario, StopFromAHandlerWhileAWakeWaitsBehindItsMessage) {
    NewFolder app("behind");
    CreateAndAwait(app / "first.txt");
    ASSERT_TRUE(::PostMessageA(host_.window, kStopMessage, 0, 0));
    WriteTextFile(app / "behind.txt", "x");
    ASSERT_TRUE(WaitWithoutDispatching(DeliveryMessageQueued));
    Watchdog watchdog("Stop from a handler ahead of the wake", 60000);
    MSG msg;
    ASSERT_GT(::GetMessageA(&msg, nullptr, 0, 0), 0);
    ASSERT_EQ(msg.message, kStopMessage);
    ::DispatchMessageA(&msg);
    EXPECT_TRUE(host_.stopped);
    EXPECT_TRUE(Has(recorder_, app / "first.txt"));
    EXPECT_TRUE(Has(recorder_, app / "behind.txt")) << "the stop flushes what was queued before it";
}

// The host empties its queue now and then without dispatching: later files still arrive, and the
// stop still flushes the ones whose wake went.
TEST_F(HostScenario, AHostThatEmptiesItsQueueWithoutDispatchingLosesNothing) {
    NewFolder app("drops");
    CreateAndAwait(app / "first.txt");
    WriteTextFile(app / "dropped.txt", "x");
    ASSERT_TRUE(WaitWithoutDispatching(DeliveryMessageQueued));
    DropEveryQueuedMessage();
    Watchdog watchdog("host that drops its messages", 60000);
    CreateAndAwait(app / "later.txt");
    EXPECT_TRUE(Has(recorder_, app / "dropped.txt"));

    WriteTextFile(app / "dropped-at-stop.txt", "x");
    ASSERT_TRUE(WaitWithoutDispatching(DeliveryMessageQueued));
    DropEveryQueuedMessage();
    recorder_->Stop();
    EXPECT_TRUE(Has(recorder_, app / "dropped-at-stop.txt"));
    EXPECT_TRUE(Has(recorder_, app / "later.txt"));
}

// A modal loop of the host during tracking, which dispatches window messages and drops the
// thread's own (as a message box does): tracking goes on through it and after it.
TEST_F(HostScenario, AModalLoopDuringTrackingLosesNothing) {
    NewFolder app("modal");
    CreateAndAwait(app / "before.txt");
    Watchdog watchdog("modal loop during tracking", 60000);
    WriteTextFile(app / "during.txt", "x");
    const ULONGLONG deadline = TickCount64() + 20000;
    MSG msg;
    while (!Has(recorder_, app / "during.txt") && TickCount64() < deadline) {
        if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
            continue;
        }
        if (msg.hwnd == nullptr)
            continue; // thread messages: a modal loop has no use for them
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    EXPECT_TRUE(Has(recorder_, app / "during.txt")) << "the modal loop dispatched no delivery";
    CreateAndAwait(app / "after.txt");
    recorder_->Stop();
    for (const char* name : {"before.txt", "during.txt", "after.txt"})
        EXPECT_TRUE(Has(recorder_, app / name)) << name;
}

// Helper mode: a host that unloads the library while its recorder still tracks (never stopped,
// never destroyed), then goes on dispatching messages while files keep appearing.
int FreeWhileTracking() {
    NewFolder* app = nullptr;
    {
        LoadedLibrary library;
        IOrvaneInc* recorder = library.loaded() ? library.Create() : nullptr;
        if (recorder == nullptr)
            return 4;
        recorder->Start();
        app = new NewFolder("freed");
        WriteTextFile(*app / "before.txt", "x");
        if (!PumpMessagesUntil([&] { return Has(recorder, *app / "before.txt"); }))
            return 5;
        library.Free();
    }
    for (int i = 0; i < 6; ++i) {
        WriteTextFile(*app / ("after" + std::to_string(i) + ".txt"), "x");
        PumpMessagesUntil([] { return false; }, 500);
    }
    delete app;
    return 0;
}

// Helper mode: the stop from a handler ahead of the wake, in a process whose registry monitor has no
// driver (so no pull timer of its own comes by to wake a waiting thread).
int StopBehindWakeWithoutTimer() {
    LoadedLibrary library;
    HostWindow host;
    IOrvaneInc* recorder = library.loaded() ? library.Create() : nullptr;
    if (recorder == nullptr)
        return 4;
    host.recorder = recorder;
    recorder->Start();
    {
        NewFolder app("nodriver");
        WriteTextFile(app / "first.txt", "x");
        if (!PumpMessagesUntil([&] { return Has(recorder, app / "first.txt"); }))
            return 5;
        ::PostMessageA(host.window, kStopMessage, 0, 0);
        WriteTextFile(app / "behind.txt", "x");
        if (!WaitWithoutDispatching(DeliveryMessageQueued))
            return 6;
        Watchdog watchdog("Stop from a handler ahead of the wake, without the driver", 60000);
        MSG msg;
        if (::GetMessageA(&msg, nullptr, 0, 0) <= 0 || msg.message != kStopMessage)
            return 7;
        ::DispatchMessageA(&msg);
        if (!host.stopped || !Has(recorder, app / "behind.txt"))
            return 8;
    }
    library.Destroy(recorder);
    return 0;
}

// The driver file moved aside for the length of a scope, so that the library cannot install it.
class DriverMovedAside {
public:
    DriverMovedAside() {
        char system[MAX_PATH] = {};
        ::GetSystemDirectoryA(system, MAX_PATH);
        path_ = std::string(system) + "\\drivers\\REGSYS.SYS";
        moved_ = ::MoveFileExA(path_.c_str(), (path_ + ".aside").c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    }
    ~DriverMovedAside() {
        if (moved_)
            ::MoveFileExA((path_ + ".aside").c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    bool moved() const { return moved_; }

private:
    std::string path_;
    bool moved_ = false;
};

TEST(HostWithoutDriver, StopFromAHandlerWhileAWakeWaitsBehindItsMessage) {
    DriverMovedAside aside;
    ASSERT_TRUE(aside.moved());
    UniqueHandle child = test_support::StartSelf("--stop-behind-wake");
    ASSERT_TRUE(child);
    ASSERT_EQ(::WaitForSingleObject(child.get(), 120000), WAIT_OBJECT_0) << "the host hung";
    DWORD code = 1;
    ::GetExitCodeProcess(child.get(), &code);
    EXPECT_EQ(code, 0u) << "the host failed, crashed or hung";
}

// The host's window procedure destroys the recorder when its window is closed.
IOrvaneInc* closingRecorder = nullptr;

LRESULT CALLBACK ClosingHostProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE && closingRecorder != nullptr) {
        LoadedLibrary::DestroyThrough(&closingRecorder);
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

// Helper mode: a WM_CLOSE reaches the host while Stop dispatches messages, and its handler destroys
// the recorder that is stopping.
int DestroyWhileStopPumps() {
    LoadedLibrary library;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &ClosingHostProcedure;
    windowClass.hInstance = ::GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "OrvaneClosingHost";
    ::RegisterClassA(&windowClass);
    const HWND window = ::CreateWindowExA(0, "OrvaneClosingHost", "host", 0, 0, 0, 0, 0, nullptr, nullptr,
                                          ::GetModuleHandleA(nullptr), nullptr);
    IOrvaneInc* recorder = library.loaded() ? library.Create() : nullptr;
    if (recorder == nullptr || window == nullptr)
        return 4;
    closingRecorder = recorder;
    recorder->Start();
    {
        NewFolder app("closing");
        WriteTextFile(app / "a.txt", "x");
        if (!PumpMessagesUntil([&] { return Has(recorder, app / "a.txt"); }))
            return 5;
        ::PostMessageA(window, WM_CLOSE, 0, 0);
        recorder->Stop(); // the recorder is destroyed inside
        if (closingRecorder != nullptr)
            return 6; // the close was not dispatched while Stop waited
    }
    test_support::PumpPendingMessages();
    ::DestroyWindow(window);
    return 0;
}

TEST(HostReentrancy, DestroyingTheRecorderFromAHandlerWhileStopPumpsEndsWell) {
    UniqueHandle child = test_support::StartSelf("--destroy-while-stop-pumps");
    ASSERT_TRUE(child);
    ASSERT_EQ(::WaitForSingleObject(child.get(), 120000), WAIT_OBJECT_0) << "the host hung";
    DWORD code = 1;
    ::GetExitCodeProcess(child.get(), &code);
    EXPECT_EQ(code, 0u) << "the host crashed or failed";
}

TEST(HostUnload, FreeLibraryWithARecorderStillTrackingNeitherCrashesNorHangs) {
    UniqueHandle child = test_support::StartSelf("--free-while-tracking");
    ASSERT_TRUE(child);
    ASSERT_EQ(::WaitForSingleObject(child.get(), 120000), WAIT_OBJECT_0) << "the host hung";
    DWORD code = 1;
    ::GetExitCodeProcess(child.get(), &code);
    EXPECT_EQ(code, 0u) << "the host crashed or failed";
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--free-while-tracking") == 0)
        return FreeWhileTracking();
    if (argc == 2 && std::strcmp(argv[1], "--stop-behind-wake") == 0)
        return StopBehindWakeWithoutTimer();
    if (argc == 2 && std::strcmp(argv[1], "--destroy-while-stop-pumps") == 0)
        return DestroyWhileStopPumps();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
