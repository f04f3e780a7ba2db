#include "boundary/OrvaneApp.h"

#include "recorder/FileChangeRecorder.h"
#include "registry/RegistryMonitor.h"
#include "watcher/DirectoryChanges.h"

#include <new>

CRegistryMonitor* g_registryMonitor = nullptr;

void EnsureSharedRegistryMonitor() noexcept {
    if (g_registryMonitor == nullptr)
        g_registryMonitor = new (std::nothrow) CRegistryMonitor();
}

namespace {

// The module object: constructed when the library loads, destroyed when it unloads. Its end releases
// what tracking shares across recorders: the registry monitor (whose destruction removes the driver
// service), then what the engine holds for the process.
//
// Its teardown uses the engine's process-wide delivery state, a function-local static that would
// otherwise be built on first use, after this object, and so be destroyed before it. Building that
// state inside this constructor completes it first, which makes it outlive this object: statics are
// destroyed in the reverse order of their completed construction.
//
// The unload contract. The destructor runs from the C runtime's static teardown in the library's
// DLL_PROCESS_DETACH, under the loader lock, on the thread that freed the library (or the thread
// that ends the process). Nothing it does waits for a thread that could need the loader lock:
// - no library thread (a watcher's worker, the delivery thread) runs by then: each holds a
//   reference on the module until it leaves through FreeLibraryAndExitThread, so the detach
//   cannot start while one lives, and nothing here joins one;
// - the monitor's pull timer is retired on its own thread at once; from another thread its window
//   is handed to DefWindowProcA and asked to close, and the only wait is for a tick already
//   running, bounded (ThreadTimer::kTickWaitMs), whose callback takes no lock;
// - closing the device and removing the driver service talk to the driver and to the service
//   manager, another process, never to a thread of this one;
// - unregistering the engine's window class waits for nobody; the delivery window itself was
//   retired on its own thread when its last sender went.
class COrvaneApp {
public:
    COrvaneApp() { CDirectoryChangeWatcher::PrepareProcessState(); }
    ~COrvaneApp() {
        delete g_registryMonitor;
        g_registryMonitor = nullptr;
        CDirectoryChangeWatcher::ReleaseProcessState();
    }
    COrvaneApp(const COrvaneApp&) = delete;
    COrvaneApp& operator=(const COrvaneApp&) = delete;
};

COrvaneApp theApp;

} // namespace
