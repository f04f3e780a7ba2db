#include "host/track/run/DriverLosses.h"

#include "common/UniqueHandle.h"

#include <cstddef>

namespace track {

namespace {

// The driver names itself; its losses belong to no one process.
CaptureGap DriverGap(unsigned count, const std::string& what) {
    return CaptureGap{"REGSYS.SYS", 0, std::to_string(count) + " " + what};
}

} // namespace

bool QueryDriverCaptureState(REGMON_CAPTURE_STATE& state) {
    const UniqueFile device(::CreateFileA(REGMON_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device)
        return false;
    state = REGMON_CAPTURE_STATE{};
    DWORD returned = 0;
    return ::DeviceIoControl(device.get(), IOCTL_QUERY_CAPTURE_STATE, nullptr, 0, &state, sizeof state,
                             &returned, nullptr) &&
           returned >= sizeof state;
}

std::vector<CaptureGap> DriverLossGaps(const REGMON_CAPTURE_STATE& state) {
    const struct {
        unsigned count;
        const char* what;
    } losses[] = {
        {state.linesLostLogFull, "registry operations were not logged: the driver's log was full"},
        {state.linesForbidden, "registry operations were not logged: a name held a tab, CR, LF or NUL"},
        {state.linesUnconvertible,
         "registry operations were not logged: a name has no form in the ANSI code page, or is too long"},
        {state.linesUnmapped,
         "registry operations were not logged: the key lies below no root the log names"},
        {state.nameQueriesFailed,
         "registry operations were not logged: a key, value or process name could not be had"},
        {state.linesUnpaired,
         "registry operations were not logged: their outcome could not be matched to them"},
        {state.deletionsUnchecked, "key deletions were not logged: too many waited to be checked at once"},
    };
    std::vector<CaptureGap> gaps;
    for (const auto& loss : losses) {
        if (loss.count != 0)
            gaps.push_back(DriverGap(loss.count, loss.what));
    }
    return gaps;
}

} // namespace track
