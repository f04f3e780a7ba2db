// Holds the captured registry writes against the library's result once the recorder has stopped:
// names the process behind each value, and lists each captured value the library kept no record
// of with why it was dropped, so that nothing the capture saw leaves the report without a word.
#pragma once

#include "host/track/result/CapturedWrites.h"
#include "host/track/run/CaptureMessages.h"

namespace track {

// What the registry holds at `path` (a value's path as the log names it) now, read in the 64-bit
// view as the library reads it. A value name may hold backslashes: each split of the path into key
// and name is tried, from the last backslash back.
ValueNow ProbeValueNow(const std::string& path);

// ExplainCapturedValues with the live registry; writes past the collection's bound are said as a
// gap of the tracker's own (through `messages`, into `notes`).
void CheckCapturedValues(const CapturedWrites& writes, TrackResult& result, CaptureMessages& messages,
                         TrackResult& notes);

} // namespace track
