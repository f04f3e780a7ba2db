// Why an added file was judged noise. The library answers only yes or no; the tracker explains
// its answer to the person reading the report, from the same kinds of evidence: the file is gone,
// it lies in a location Windows or an installer keeps for itself, or it cannot be read.
#pragma once

#include <string>

namespace track {

struct PathFacts {
    bool exists = false;
    bool readable = false;
};

// The explanation for a path the library eliminated, given what the file system says about it.
std::string NoiseReason(const std::string& path, const PathFacts& facts);

// Whether the path contains one of the library's noise fragments (exact case, anywhere).
bool HasNoiseFragment(const std::string& path);

// Asks the file system: exists (file or folder) and opens for reading with full sharing.
PathFacts ProbePath(const std::string& path);
PathFacts ProbePath(const std::wstring& path);

} // namespace track
