// The tracker's end of the capture's shared ring (capture/CaptureRing.h): it makes the ring for one
// tracked run, names it to the setup's processes in the environment they inherit, and hands the
// lines they put there to the registry monitor's driver in batches, while the setup runs and once
// more when it has ended, before the recorder stops and reads the log.
#pragma once

#include "capture/CaptureRing.h"
#include "common/UniqueHandle.h"
#include "host/track/result/CapturedWrites.h"

#include <deque>
#include <string>

namespace track {

class CaptureRelay {
public:
    CaptureRelay() = default;
    ~CaptureRelay();
    CaptureRelay(const CaptureRelay&) = delete;
    CaptureRelay& operator=(const CaptureRelay&) = delete;

    // Makes the ring and sets the variable the capture reads; false when it cannot, and the capture
    // then appends each line to the driver itself.
    bool Open();

    // Hands the lines put so far to the driver. With `final` (every process of the setup has
    // ended) a slot its writer never finished is passed over. Lines the driver refuses now (its log
    // full until the recorder's next pull) wait for the next call. True when none is left waiting.
    bool Relay(bool final);

    // Lines still waiting, and the driver's last refusal, for a report of lines lost.
    size_t waiting() const { return pending_.size(); }
    DWORD lastError() const { return lastError_; }
    // Lines the driver refused as malformed: not the capture's own.
    size_t dropped() const { return dropped_; }

    // Every line the driver took, in ring order, then the lines still waiting as never delivered.
    // Called once, after the last Relay.
    CapturedWrites TakeWrites();

private:
    // Sends up to `maxLines` waiting lines as one batch; false, with lastError_, when refused.
    bool SendBatch(size_t maxLines);

    UniqueHandle mapping_;
    void* view_ = nullptr;
    UniqueFile device_;
    capture::RingReader reader_;
    std::deque<std::string> pending_;
    DWORD lastError_ = 0;
    size_t dropped_ = 0;
    CapturedWrites writes_{IsAnsiLeadByte};

    static bool IsAnsiLeadByte(unsigned char byte);
};

} // namespace track
