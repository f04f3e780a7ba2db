#include "boundary/TrackingAssembly.h"

namespace {

// The module object: constructed when the library loads, destroyed when it unloads. Its end releases
// what tracking shares across recorders: the registry monitor and the engine's window class.
class COrvaneApp {
public:
    COrvaneApp() = default;
    ~COrvaneApp() { ReleaseSharedTrackingState(); }
    COrvaneApp(const COrvaneApp&) = delete;
    COrvaneApp& operator=(const COrvaneApp&) = delete;
};

COrvaneApp theApp;

} // namespace
