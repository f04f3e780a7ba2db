// What the capture in the setup's processes reports besides its log lines: a process it could not
// capture, a value it could not log. The tracker makes a mailslot, names it to the setup's processes
// in the environment they inherit, and collects the messages while the setup runs.
#pragma once

#include "common/UniqueHandle.h"
#include "host/track/result/TrackResult.h"

#include <set>
#include <string>

namespace track {

struct CaptureMessage {
    enum class Kind { Incomplete, Unrecorded, OldState } kind = Kind::Incomplete;
    unsigned long processId = 0;
    std::string process; // UTF-8
    std::string text;    // the reason, or the value's path
};

// One message: "incomplete", "unrecorded" or "oldstate", a decimal process id, the image name, the text,
// separated by single tabs (the text may hold tabs of its own). False for anything else.
bool ParseCaptureMessage(const std::string& message, CaptureMessage& parsed);

// The line that names a gap, on standard error and in the report: "registry capture incomplete: ...".
// A gap with process id 0 is the driver's own and names no process.
std::string DescribeCaptureGap(const CaptureGap& gap);

class CaptureMessages {
public:
    // Makes the mailslot and sets the variable the capture reads; false when there is none, and the
    // capture then runs without telling anything but its log.
    bool Open();

    // Adds a gap the tracker found itself (the setup could not be captured).
    void AddGap(TrackResult& result, const CaptureGap& gap);

    // Takes every message waiting into `result`, each gap said on standard error as it comes; a
    // value or gap reported twice is kept once.
    void Drain(TrackResult& result);

private:
    void AddOldStateGap(TrackResult& result, const CaptureMessage& message);

    UniqueFile slot_;
    std::set<std::string> seenValues_;
    std::set<std::string> seenGaps_;
    std::set<std::string> seenOldStateGaps_;
};

} // namespace track
