#include "boundary/TrackingAssembly.h"

#include "include/IOrvaneInc.h"

#include "recorder/FileChangeRecorder.h"
#include "registry/RegistryMonitor.h"
#include "watcher/DelayedDirectoryChangeHandler.h"

#include <new>

IOrvaneInc* CreateTrackingRecorder() noexcept {
    if (g_registryMonitor == nullptr)
        g_registryMonitor = new (std::nothrow) CRegistryMonitor();
    try {
        return new CFileChangeRecorder();
    } catch (...) {
        return nullptr;
    }
}

void ReleaseSharedTrackingState() noexcept {
    delete g_registryMonitor;
    g_registryMonitor = nullptr;
    CDelayedNotificationWindow::UnregisterWindowClass();
}
