#include "include/IOrvaneInc.h"

#include "boundary/EmptyRecorder.h"
#include "boundary/TrackingAssembly.h"
#include "recorder/FileChangeRecorder.h"

#include <new>

IOrvaneInc* IOrvaneInc::CreateOrvane(OV_TYPE type) {
    switch (type) {
    case OV_RECORDER:
        return CreateTrackingRecorder();
    case OV_EMPTY:
        return new (std::nothrow) CEmptyRecorder();
    }
    return nullptr;
}

void IOrvaneInc::DestroyOrvane(IOrvaneInc** object) {
    if (object == nullptr || *object == nullptr)
        return;
    // A recorder may be destroyed by a host handler while its own Stop dispatches messages.
    if (auto* recorder = dynamic_cast<CFileChangeRecorder*>(*object))
        recorder->Destroy();
    else
        delete *object;
    *object = nullptr;
}
