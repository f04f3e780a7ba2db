// Registry operations the registry monitor's driver saw but could not log: where its kernel callback
// logs every process, a full log or a name it cannot have leaves an operation out, and the driver
// counts each kind. The tracker asks for the counts once the recorder has stopped (they last until
// the next capture starts) and names each kind as a gap in the capture.
#pragma once

#include "driver/RegmonProtocol.h"
#include "host/track/result/TrackResult.h"

#include <string>
#include <vector>

namespace track {

// The driver's answer to IOCTL_QUERY_CAPTURE_STATE; false when its device does not open or it does
// not answer (a driver that predates the question counts nothing).
bool QueryDriverCaptureState(REGMON_CAPTURE_STATE& state);

// One gap for each kind of loss the state counts, in the order of its fields; none when nothing
// was lost.
std::vector<CaptureGap> DriverLossGaps(const REGMON_CAPTURE_STATE& state);

} // namespace track
