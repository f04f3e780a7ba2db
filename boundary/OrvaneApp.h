#pragma once

// The module object's side of the process's one registry monitor, g_registryMonitor (defined beside
// the module object, which alone destroys it). Called by the factory before it builds a tracking
// recorder: makes the monitor if there is none yet; when memory cannot be obtained the pointer stays
// null and recorders record files only. Called from one thread at a time, like the factory.
void EnsureSharedRegistryMonitor() noexcept;
