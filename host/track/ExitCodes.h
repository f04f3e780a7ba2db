// The exit status of orvane-track. A tracked setup's own exit code is passed through unchanged;
// the tracker's own failures use this block, chosen above the codes setups commonly return
// (0, 1, 2, 1602, 1603, 3010, ...) so that a script can tell the two apart.
#pragma once

namespace track {

constexpr int kExitUsage = 240;              // bad command line
constexpr int kExitLibraryNotLoadable = 241; // Orvane.dll missing, unloadable or lacking its exports
constexpr int kExitRecorderNotCreated = 242; // the library built no tracking recorder
constexpr int kExitSetupNotStarted = 243;    // the setup program could not be started
constexpr int kExitReportNotWritten = 244;   // an output file or the package could not be written

} // namespace track
