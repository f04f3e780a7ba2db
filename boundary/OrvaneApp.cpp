#include "boundary/TrackingAssembly.h"

#include "watcher/DelayedDirectoryChangeHandler.h"

namespace {

// The module object: constructed when the library loads, destroyed when it unloads. Its end releases
// what tracking shares across recorders: the registry monitor and the engine's window class.
//
// Its teardown uses the engine's process-wide delivery state, a function-local static that would
// otherwise be built on first use, after this object, and so be destroyed before it. Building that
// state inside this constructor completes it first, which makes it outlive this object: statics are
// destroyed in the reverse order of their completed construction.
class COrvaneApp {
public:
    COrvaneApp() { CDelayedNotificationWindow::PrepareSharedState(); }
    ~COrvaneApp() { ReleaseSharedTrackingState(); }
    COrvaneApp(const COrvaneApp&) = delete;
    COrvaneApp& operator=(const COrvaneApp&) = delete;
};

COrvaneApp theApp;

} // namespace
