// The old content of the files a setup changes, kept by the capture in each process of the setup's
// tree (capture/OldState.h): hooks on the ntdll entries every file API reaches (NtCreateFile,
// NtOpenFile, NtSetInformationFile, NtDeleteFile) see a call that is about to overwrite, truncate,
// supersede, replace by a rename, rename away, delete or open for writing a file below one of the
// tracker's watched folders, and before the call goes on, the first such call of this process for
// that file copies it into the store and appends its record.
//
// What is recorded (OldStateKind::File, keyed by the DOS path in its long form): an existing file's
// copy (Present), or TooLarge past the tracker's cap, or Unknown with the reason when it could not
// be read or copied; Absent for a file the call is about to create, since the look that tells
// whether it exists comes first anyway. Folders are not kept, nor the store, nor a file named
// relative to a folder's handle (which the Win32 layer never does): no record means "not kept".
//
// A detour returns exactly what the original returns and leaves the last error as the original
// leaves it; the capture's own file calls (the copy) pass straight through. Built once and never
// destroyed, like the registry capture (ProcessCapture.h).
#pragma once

#include "common/Win32.h"

#include <string>

namespace capture {

class CaptureChannel;
class OldStateLog;

// Starts keeping files' old content when the tracker asked for it (a store and watched folders in
// the environment); otherwise does nothing. Called once from StartProcessCapture, while the process
// is single-threaded; `guardSlot` is the registry capture's TLS slot (ReentryGuard.h), shared so
// that neither capture sees the other's calls. What cannot be started is said on `channel`.
void StartFileCapture(OldStateLog& oldState, const CaptureChannel& channel, DWORD guardSlot, DWORD processId,
                      const std::wstring& image);

} // namespace capture
