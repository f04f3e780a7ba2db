// The capture as one HTML page (HtmlPage.h): what the setup changed, folded by section, with the
// run's facts, a chart of where the changes went and a warning box for every gap in the capture.
#pragma once

#include "host/track/result/TrackResult.h"

#include <string>
#include <vector>

namespace track {

// What the page says about the run beyond the result: when, and with which tracker. UTF-8.
struct HtmlRunFacts {
    std::string started; // "2026-12-10 16:45:20 UTC"
    std::string ended;
    std::string build;                       // "orvane-track 0.1.0, x86_64 build"
    std::string lane;                        // "win64 Windows (Wine)"
    std::vector<std::string> watchedFolders; // the chart groups files by the longest that holds them
};

std::string FormatHtmlReport(const TrackResult& result, const HtmlRunFacts& facts);

// The current time as "2026-12-10 16:45:20 UTC".
std::string UtcNow();

} // namespace track
