// orvane-track: runs a setup while Orvane.dll records what it installs, then reports; or, with
// --undo, carries out the undo plan of an earlier run.
#include "host/track/ExitCodes.h"
#include "host/track/TrackOptions.h"
#include "host/track/compare/CompareRun.h"
#include "host/track/output/ConsoleOutput.h"
#include "host/track/run/TrackSession.h"
#include "host/track/undo/UndoRun.h"

#include <cstdio>
#include <exception>

namespace {

int Undo(const std::string& plan) {
    track::UndoReport report;
    report.line = [](const std::string& line) { track::WriteStandardOutput(line + "\n"); };
    report.problem = [](const std::string& line) {
        std::fprintf(stderr, "orvane-track: %s\n", line.c_str());
    };
    return track::RunUndo(plan, report);
}

} // namespace

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
        if (!parsed.options.undoPlan.empty())
            return Undo(parsed.options.undoPlan);
        if (!parsed.options.compare.empty())
            return track::RunCompare(
                parsed.options, [](const std::string& text) { track::WriteStandardOutput(text); },
                [](const std::string& line) { std::fprintf(stderr, "orvane-track: %s\n", line.c_str()); });
        return track::RunTrackSession(parsed.options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvane-track: %s\n", e.what());
        return 1;
    }
}
