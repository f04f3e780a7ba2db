// Loading a DLL into a process created suspended, before any code of its own runs: the DLL is made
// the first entry of the main image's import table, so the system's loader loads it (and runs its
// DllMain) while it loads the image's own imports, before the image's entry point and TLS callbacks.
//
// The process must have been created suspended and not yet resumed, and must have the caller's
// bitness (a 32-bit caller cannot write a 64-bit process's image; CaptureInjection.h hands such a
// process to the injector program of its bitness). The DLL must export ordinal 1: the new import
// entry names it by that ordinal.
#pragma once

#include "common/Win32.h"

#include <string>

namespace capture {

// The numbers are the injector program's exit codes (CaptureInjection.h): new results go last.
enum class InjectionResult {
    Injected,
    DllMissing,        // no file at the DLL's path: injecting it would stop the process from starting
    DllPathUnusable,   // the path has no form the loader reads from an import entry (ASCII)
    ProcessUnreadable, // the process's memory cannot be read or queried
    OtherBitness,      // the process is not of the caller's bitness
    NotAnImage,        // its main image has no valid headers
    ManagedImage,      // an IL-only .NET image: the system's loader does not take its import table
    NoMemoryNearImage, // no memory within an import table's reach (RVA) of the image
    WriteRefused,      // the process's memory could not be written or its protection changed
    AlreadyInjected,   // the DLL is already the first import
    ProcessStarted,    // the process has run already (or ended): its loader would never read a new entry
};

constexpr InjectionResult kLastInjectionResult = InjectionResult::ProcessStarted;

const char* DescribeInjectionResult(InjectionResult result);

// Makes `dllPath` (a full path; a relative one is taken from the caller's current folder) the first
// import of the main image of `process`, a process of the caller's bitness created suspended that has
// not run yet. `process` needs PROCESS_QUERY_INFORMATION, PROCESS_VM_OPERATION, PROCESS_VM_READ and
// PROCESS_VM_WRITE. Whatever it allocated in the process is freed again when it fails.
InjectionResult InjectIntoSuspended(HANDLE process, const std::wstring& dllPath);

} // namespace capture
