// The words and figures the reports share for what a setup changed: how a value changed, what it
// held before, and a file's facts at one moment.
#pragma once

#include "host/track/result/TrackResult.h"

#include <cstdint>
#include <string>
#include <vector>

namespace track {

// "new", "changed", "deleted", "unchanged", "old data unknown".
const char* ChangeName(ValueChange change);

// The old data's bytes with strings in UTF-8 rather than UTF-16, so that the decoders of the
// library's (ANSI) data show them, in UTF-8.
std::vector<std::uint8_t> OldDataAsUtf8(const OldData& before);

// The old data for a person, in UTF-8, as DescribeRegistryData shows a value's data now.
std::string DescribeOldData(const OldData& before);

// How many of the result's values are deleted ones.
size_t DeletedValues(const TrackResult& result);

// A FILETIME as ISO 8601 in UTC ("2024-05-06T07:08:09Z"); empty for 0, which stands for unknown.
std::string IsoTime(std::uint64_t fileTime);

// "1234 bytes, 2024-05-06 07:08:09 UTC" ("time unknown" for a time of 0).
std::string DescribeFacts(const FileFacts& facts);

} // namespace track
