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
