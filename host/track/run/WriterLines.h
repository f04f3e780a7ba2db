// Where the driver's own registry callback logs every process (Windows, the reactos lane), the
// capture in the setup's processes logs nothing, and the library's lines name a process outside the
// setup's tree (services.exe writing a service's key) by its image alone. The driver keeps each of
// those lines once more among its writer lines (IOCTL_READ_WRITER_LINES), naming every process by
// image and id; the tracker reads them to name the process that wrote each value. Their store is
// smaller than the log: they are read while the setup runs, and once more after capture stopped.
#pragma once

#include "common/UniqueHandle.h"
#include "host/track/result/CapturedWrites.h"

#include <cstdint>

namespace track {

class WriterLines {
public:
    WriterLines();

    // Takes every writer line the driver holds now. A driver that keeps none (no callback is
    // active: the capture's own lines name their processes) or that cannot be opened is not asked
    // again.
    void Read();

    const CapturedWrites& writes() const { return writes_; }
    // Lines the driver could not keep, as its marker lines count them.
    std::uint64_t lost() const { return lost_; }

private:
    void Take(std::string_view line);

    UniqueFile device_;
    bool unavailable_ = false;
    CapturedWrites writes_;
    std::uint64_t lost_ = 0;
};

// The gap that says how many values may lack their process: none when nothing was lost.
std::vector<CaptureGap> WriterLineGaps(std::uint64_t lost);

} // namespace track
