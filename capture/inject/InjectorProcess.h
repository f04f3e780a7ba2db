// Running the injector program of the other bitness on a process (CaptureInjection.h).
#pragma once

#include "capture/inject/CaptureInjection.h"

#include <string>

namespace capture {

struct InjectorRun {
    CaptureOutcome outcome = CaptureOutcome::InjectorFailed;
    InjectionResult injection = InjectionResult::ProcessUnreadable; // when it ended with one
};

// Runs "`injector` <processId> <dllPath>" without a window and waits at most `waitMs` for it; one that
// takes longer is ended. Captured or Refused when it ended with an InjectionResult's number, otherwise
// InjectorFailed.
InjectorRun RunInjector(const std::wstring& injector, DWORD processId, const std::wstring& dllPath,
                        DWORD waitMs);

// One command-line argument, quoted so that the C runtime reads it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument);

} // namespace capture
