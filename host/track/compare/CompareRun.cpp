#include "host/track/compare/CompareRun.h"

#include "host/track/ExitCodes.h"
#include "host/track/compare/Comparison.h"
#include "host/track/output/ReportFile.h"

#include <fstream>
#include <sstream>

namespace track {

namespace {

// A capture of 20,000 values is a few MB; anything far larger is no capture of ours.
constexpr std::streamoff kMaxCaptureBytes = 512ll * 1024 * 1024;

bool ReadWholeFile(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxCaptureBytes) {
        error = path + " is not a capture: it is too large";
        return false;
    }
    in.seekg(0);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    text = bytes.str();
    return true;
}

} // namespace

int RunCompare(const TrackOptions& options, const std::function<void(const std::string&)>& print,
               const std::function<void(const std::string&)>& fail) {
    ReportFile jsonFile, htmlFile;
    std::string error;
    if ((!options.jsonFile.empty() && !jsonFile.Open(options.jsonFile, error)) ||
        (!options.htmlFile.empty() && !htmlFile.Open(options.htmlFile, error))) {
        fail(error);
        return kExitReportNotWritten;
    }
    Capture captures[2];
    for (int i = 0; i < 2; ++i) {
        std::string text;
        if (!ReadWholeFile(options.compare[i], text, error) ||
            !ReadCapture(options.compare[i], text, captures[i], error)) {
            fail(error);
            return kCompareUnreadable;
        }
    }
    const Comparison comparison = CompareCaptures(captures[0], captures[1]);
    print(FormatComparisonText(comparison));
    if ((jsonFile.IsOpen() && !jsonFile.Write(FormatComparisonJson(comparison), error)) ||
        (htmlFile.IsOpen() && !htmlFile.Write(FormatComparisonHtml(comparison), error))) {
        fail(error);
        return kExitReportNotWritten;
    }
    return comparison.Same() ? kCompareSame : kCompareDiffer;
}

} // namespace track
