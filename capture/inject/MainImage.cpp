#include "capture/inject/MainImage.h"

#include "capture/inject/RemoteMemory.h"

#include <winternl.h>

namespace capture {
namespace {

// The first fields of a PEB of the caller's bitness: four flag bytes, padded to a pointer's size, then
// Mutant, ImageBaseAddress and Ldr. ImageBaseAddress is set when the process is created; Ldr only by the
// loader, once the first thread runs.
struct PebStart {
    BYTE flags[sizeof(void*)];
    void* mutant;
    void* imageBaseAddress;
    void* loaderData;
};

using QueryInformationProcess = decltype(&::NtQueryInformationProcess);

// ntdll's own entry, found at run time: there is no import library for it in the SDK the build uses.
QueryInformationProcess FindQueryInformationProcess() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr)
        return nullptr;
    return reinterpret_cast<QueryInformationProcess>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQueryInformationProcess")));
}

uintptr_t PebAddressOf(HANDLE process) {
    const QueryInformationProcess query = FindQueryInformationProcess();
    if (query == nullptr)
        return 0;
    PROCESS_BASIC_INFORMATION basic{};
    ULONG length = 0;
    if (query(process, ProcessBasicInformation, &basic, sizeof basic, &length) < 0)
        return 0;
    return reinterpret_cast<uintptr_t>(basic.PebBaseAddress);
}

bool HasEnded(HANDLE process) {
    DWORD exitCode = 0;
    return ::GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE;
}

} // namespace

InjectionResult FindMainImage(HANDLE process, uintptr_t& imageBase) {
    if (HasEnded(process))
        return InjectionResult::ProcessStarted;
    const uintptr_t peb = PebAddressOf(process);
    PebStart start{};
    if (peb == 0 || !ReadRemote(process, peb, start))
        return InjectionResult::ProcessUnreadable;
    if (start.loaderData != nullptr)
        return InjectionResult::ProcessStarted;
    imageBase = reinterpret_cast<uintptr_t>(start.imageBaseAddress);
    return imageBase != 0 ? kStepDone : InjectionResult::NotAnImage;
}

} // namespace capture
