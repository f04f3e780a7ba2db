// Loading the capture DLL of the right bitness into a suspended process of either bitness.
//
// The files live side by side in one folder (the tracker's own):
//   orvane-capture32.dll, orvane-capture64.dll   the capture DLLs
//   orvane-inject32.exe,  orvane-inject64.exe    the injector programs
// A process of the caller's bitness is injected directly (ImportInjection.h). A process of the other
// bitness is handed to the injector program of its bitness, "orvane-inject<bits>.exe <pid> <dll path>",
// whose exit code is an InjectionResult; it is waited for at most kInjectorWaitMs.
#pragma once

#include "capture/inject/ImportInjection.h"

#include <string>

namespace capture {

constexpr unsigned long kInjectorWaitMs = 30000;

// The injector program's exit codes besides an InjectionResult's number; both are failures.
constexpr int kInjectorUsageError = 64;    // not "<pid> <dll path>": one line on stderr says so
constexpr int kInjectorInternalError = 65; // it ran out of memory before it could tell

enum class CaptureOutcome {
    Captured,
    InjectorMissing, // the other bitness's injector program is not in the folder
    InjectorFailed,  // it could not be started, did not end in time, or ended with no known result
    Refused,         // the injection itself failed: `injection` says why
};

struct CaptureAttempt {
    CaptureOutcome outcome = CaptureOutcome::Refused;
    InjectionResult injection = InjectionResult::ProcessUnreadable;
    int bits = 0; // the process's bitness, 32 or 64; 0 when it could not be told
};

// A text for a report: "captured", or what went wrong ("no 64-bit capture DLL", ...).
std::string DescribeCaptureAttempt(const CaptureAttempt& attempt);

// The bitness of `process` (32 or 64), or 0 when it cannot be told.
int ProcessBits(HANDLE process);

// Loads the capture DLL of `process`'s bitness from `folder` (a full path, no trailing separator)
// into `process`, created suspended and not yet run.
CaptureAttempt CaptureSuspendedProcess(HANDLE process, const std::wstring& folder);

} // namespace capture
