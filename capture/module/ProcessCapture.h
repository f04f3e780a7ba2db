// The capture of one process's registry writes: hooks on the ntdll entries that every registry API
// of the process reaches (NtSetValueKey, NtDeleteKey), one log line for each that succeeds, and a
// hook on NtCreateUserProcess that loads the capture into each process this one starts, before
// that process runs. Where the tracker made a store of old state, the same registry hooks and two
// more (NtDeleteValueKey, NtCreateKey) keep what each first change replaces (RegistryOldState.h).
//
// Built once, by the DLL's attach, and never destroyed: a detour may run on any thread until the
// process ends, so nothing it uses may go away before that.
//
// Failing closed: a process whose calls cannot be hooked captures nothing and says so on the
// channel; so does a started process the capture cannot be loaded into.
#pragma once

namespace capture {

// Starts capturing in this process. Called once, from the DLL's process attach, while the process is
// still single-threaded (the capture is loaded before its code runs); never fails the attach.
void StartProcessCapture(void* captureModule);

} // namespace capture
