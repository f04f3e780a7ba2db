#include "capture/inject/CaptureInjection.h"

#include "capture/inject/DllImportName.h"
#include "capture/inject/InjectorProcess.h"

#include <string>

namespace capture {
namespace {

constexpr int kCallerBits = static_cast<int>(sizeof(void*) * 8);

std::string Bits(int bits) {
    return std::to_string(bits) + "-bit";
}

} // namespace

int ProcessBits(HANDLE process) {
    BOOL wow64 = FALSE;
#if !defined(_WIN64)
    // A 32-bit caller outside WoW64 runs on 32-bit Windows, where every process is 32-bit.
    if (!::IsWow64Process(::GetCurrentProcess(), &wow64))
        return 0;
    if (!wow64)
        return 32;
#endif
    if (!::IsWow64Process(process, &wow64))
        return 0;
    return wow64 ? 32 : 64;
}

CaptureAttempt CaptureSuspendedProcess(HANDLE process, const std::wstring& folder) {
    CaptureAttempt attempt;
    attempt.bits = ProcessBits(process);
    if (attempt.bits == 0)
        return attempt;
    const std::wstring bits = std::to_wstring(attempt.bits);
    const std::wstring dll = folder + L"\\orvane-capture" + bits + L".dll";
    if (attempt.bits == kCallerBits) {
        attempt.injection = InjectIntoSuspended(process, dll);
        attempt.outcome = attempt.injection == InjectionResult::Injected ||
                                  attempt.injection == InjectionResult::AlreadyInjected
                              ? CaptureOutcome::Captured
                              : CaptureOutcome::Refused;
        return attempt;
    }
    const std::wstring injector = folder + L"\\orvane-inject" + bits + L".exe";
    if (!IsFile(injector)) {
        attempt.outcome = CaptureOutcome::InjectorMissing;
        return attempt;
    }
    const InjectorRun run = RunInjector(injector, ::GetProcessId(process), dll, kInjectorWaitMs);
    attempt.outcome = run.outcome;
    attempt.injection = run.injection;
    // A process that already has the capture as its first import is captured.
    if (attempt.injection == InjectionResult::AlreadyInjected)
        attempt.outcome = CaptureOutcome::Captured;
    return attempt;
}

std::string DescribeCaptureAttempt(const CaptureAttempt& attempt) {
    switch (attempt.outcome) {
    case CaptureOutcome::Captured:
        return "captured";
    case CaptureOutcome::InjectorMissing:
        return "no " + Bits(attempt.bits) + " injector program (orvane-inject" +
               std::to_string(attempt.bits) + ".exe)";
    case CaptureOutcome::InjectorFailed:
        return "the " + Bits(attempt.bits) + " injector program failed or did not end in time";
    case CaptureOutcome::Refused:
        break;
    }
    if (attempt.bits == 0)
        return "the process's bitness could not be told";
    if (attempt.injection == InjectionResult::DllMissing)
        return "no " + Bits(attempt.bits) + " capture DLL (orvane-capture" + std::to_string(attempt.bits) +
               ".dll)";
    return std::string("not captured: ") + DescribeInjectionResult(attempt.injection);
}

} // namespace capture
