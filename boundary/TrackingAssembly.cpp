#include "boundary/TrackingAssembly.h"

#include "include/IOrvaneInc.h"

IOrvaneInc* CreateTrackingRecorder() noexcept {
    return nullptr;
}

void DestroySharedRegistryMonitor() noexcept {}
