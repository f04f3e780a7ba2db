// orvane-inject32.exe / orvane-inject64.exe <process id> <dll path>
//
// Makes the DLL the first import of a suspended process of this program's bitness, for a caller of the
// other bitness, which cannot write such a process's image itself (CaptureInjection.h). The exit code is
// the InjectionResult's number, or kInjectorUsageError / kInjectorInternalError.
#include "capture/inject/CaptureInjection.h"

#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <new>

namespace {

constexpr DWORD kInjectionRights =
    PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE;

// A process id in decimal, all of the text and nothing else.
bool ParseProcessId(const wchar_t* text, DWORD& processId) {
    if (*text < L'0' || *text > L'9')
        return false;
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long value = std::wcstoull(text, &end, 10);
    if (errno != 0 || *end != L'\0' || value > MAXDWORD)
        return false;
    processId = static_cast<DWORD>(value);
    return true;
}

int Inject(DWORD processId, const wchar_t* dllPath) {
    const UniqueHandle process(::OpenProcess(kInjectionRights, FALSE, processId));
    if (!process)
        return static_cast<int>(capture::InjectionResult::ProcessUnreadable);
    return static_cast<int>(capture::InjectIntoSuspended(process.get(), dllPath));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    DWORD processId = 0;
    if (argc != 3 || !ParseProcessId(argv[1], processId) || argv[2][0] == L'\0') {
        std::fputs("usage: orvane-inject <process id> <dll path>\n", stderr);
        return capture::kInjectorUsageError;
    }
    try {
        return Inject(processId, argv[2]);
    } catch (const std::bad_alloc&) {
        return capture::kInjectorInternalError;
    }
}
