// orvane-track --compare A.json B.json: reads two captures, writes the comparison.
#pragma once

#include "host/track/TrackOptions.h"

#include <functional>
#include <string>

namespace track {

constexpr int kCompareSame = 0;
constexpr int kCompareDiffer = 1;
constexpr int kCompareUnreadable = 2; // a file cannot be read or is not a capture

// `print` gets the text report (UTF-8), `fail` one line per problem. Returns one of the codes
// above, or kExitReportNotWritten when --json or --html cannot be written.
int RunCompare(const TrackOptions& options, const std::function<void(const std::string&)>& print,
               const std::function<void(const std::string&)>& fail);

} // namespace track
