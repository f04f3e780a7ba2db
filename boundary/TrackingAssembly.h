#pragma once

struct IOrvaneInc;

// Builds the tracking recorder on top of the process's one registry monitor; null when it cannot.
IOrvaneInc* CreateTrackingRecorder() noexcept;

// Destroys the process's registry monitor, if one was made; called once, when the library unloads.
void DestroySharedRegistryMonitor() noexcept;
