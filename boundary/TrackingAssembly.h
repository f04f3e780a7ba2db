#pragma once

struct IOrvaneInc;

// Builds the tracking recorder on top of the process's one registry monitor; null when it cannot.
IOrvaneInc* CreateTrackingRecorder() noexcept;

// Called once, when the library unloads: destroys the process's registry monitor, if one was made
// (which removes the driver service), and unregisters the engine's window class.
void ReleaseSharedTrackingState() noexcept;
