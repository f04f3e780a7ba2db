// orvane-track: runs a setup while Orvane.dll records what it installs, then reports.
#include "host/track/ExitCodes.h"
#include "host/track/TrackOptions.h"
#include "host/track/run/TrackSession.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    try {
        const track::ParsedOptions parsed =
            track::ParseTrackOptions(std::vector<std::string>(argv + 1, argv + argc));
        if (parsed.options.help) {
            std::fputs(track::HelpText().c_str(), stdout);
            return 0;
        }
        if (!parsed.error.empty()) {
            std::fprintf(stderr, "orvane-track: %s (see orvane-track --help)\n", parsed.error.c_str());
            return track::kExitUsage;
        }
        return track::RunTrackSession(parsed.options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvane-track: %s\n", e.what());
        return 1;
    }
}
