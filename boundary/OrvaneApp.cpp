#include "boundary/TrackingAssembly.h"

namespace {

// The module object: constructed when the library loads, destroyed when it unloads. It owns the
// lifetime of the process's registry monitor and nothing else.
class COrvaneApp {
public:
    COrvaneApp() = default;
    ~COrvaneApp() { ReleaseSharedTrackingState(); }
    COrvaneApp(const COrvaneApp&) = delete;
    COrvaneApp& operator=(const COrvaneApp&) = delete;
};

COrvaneApp theApp;

} // namespace
