#include "boundary/TrackingAssembly.h"

#include "include/IOrvaneInc.h"

#include "boundary/OrvaneApp.h"
#include "recorder/FileChangeRecorder.h"

IOrvaneInc* CreateTrackingRecorder() noexcept {
    EnsureSharedRegistryMonitor();
    try {
        return new CFileChangeRecorder();
    } catch (...) {
        return nullptr;
    }
}
