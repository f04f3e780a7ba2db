// The command line of orvane-track, parsed without touching the system.
#pragma once

#include <string>
#include <vector>

namespace track {

constexpr unsigned kDefaultSettleMs = 1500;
constexpr unsigned kMaxSettleMs = 600000;
// The largest file (MB) whose old content the capture keeps before the setup changes it.
constexpr unsigned kDefaultKeepFilesUpToMb = 64;
constexpr unsigned kMaxKeepFilesUpToMb = 1048576;

struct TrackOptions {
    bool help = false;
    bool listEliminated = false;
    bool listProcesses = false; // name the process behind each value in the text report
    bool keepOldState = true;   // have the capture keep what the setup's changes replace
    std::string jsonFile;
    std::string regFile;
    std::string htmlFile;
    std::string uninstallScript; // --uninstall-script or --undo-script
    std::string undoPlan;        // --undo: no setup is run
    std::string packageDir;
    unsigned settleMs = kDefaultSettleMs;
    unsigned keepFilesUpToMb = kDefaultKeepFilesUpToMb;
    std::vector<std::string> setup; // the setup program and its arguments, as given
    // --compare A.json B.json: two captures compared, no setup run; --json and --html go with it.
    std::vector<std::string> compare;
};

struct ParsedOptions {
    TrackOptions options;
    std::string error; // empty when the command line was understood
};

// `args` excludes the program name. Options come first; "--" or the first argument that is not an
// option starts the setup's command, and everything after it belongs to the setup. `--undo PLAN`
// stands alone: no setup, no other output. `--compare A B` runs no setup either; of the outputs
// only --json and --html go with it.
ParsedOptions ParseTrackOptions(const std::vector<std::string>& args);

// The text --help prints.
std::string HelpText();

} // namespace track
