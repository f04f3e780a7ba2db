#pragma once

struct IOrvaneInc;

// Builds the tracking recorder on top of the process's one registry monitor, making that monitor
// first if there is none yet; null when the recorder cannot be built.
IOrvaneInc* CreateTrackingRecorder() noexcept;
