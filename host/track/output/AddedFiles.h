// The size and time of each file a setup added, read from disk when the reports are written: the
// library records only the names.
#pragma once

#include "host/track/result/TrackResult.h"

#include <vector>

namespace track {

// One per entry of `result.files`, in that order; `exists` false where the file cannot be read.
std::vector<FileFacts> AddedFileFacts(const TrackResult& result);

} // namespace track
