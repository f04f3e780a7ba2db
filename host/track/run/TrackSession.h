// One tracked run, from loading the library to the written reports.
#pragma once

#include "host/track/TrackOptions.h"

namespace track {

// Runs the whole job for parsed options (help and usage errors already handled); answers the
// tracker's exit status.
int RunTrackSession(const TrackOptions& options);

} // namespace track
