// A test fixture: the program the injection tests inject into. Its TLS callback is the first of its
// own code the loader runs, after the DLLs it imports are initialised and before the C runtime starts;
// whether the payload's mark was in the environment by then is its exit code (InjectFixture.h).
#include "tests/capture/InjectFixture.h"

#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <cstring>
#include <string>

namespace {

int verdict = inject_fixture::kPayloadAbsent;

void NTAPI SeeWhetherThePayloadRan(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_PROCESS_ATTACH &&
        ::GetEnvironmentVariableW(inject_fixture::kPayloadMark, nullptr, 0) != 0)
        verdict = inject_fixture::kPayloadBeforeStart;
}

int Hold(const std::string& prefix) {
    const UniqueHandle running(::OpenEventA(EVENT_MODIFY_STATE, FALSE, (prefix + "-running").c_str()));
    const UniqueHandle release(::OpenEventA(SYNCHRONIZE, FALSE, (prefix + "-release").c_str()));
    if (!running || !release || !::SetEvent(running.get()))
        return inject_fixture::kHoldFailed;
    if (::WaitForSingleObject(release.get(), inject_fixture::kStallMs) != WAIT_OBJECT_0)
        return inject_fixture::kHoldFailed;
    return verdict;
}

int Stall() {
    const UniqueHandle never(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ::WaitForSingleObject(never.get(), inject_fixture::kStallMs);
    return inject_fixture::kStalled;
}

} // namespace

// The loader calls the callbacks the C runtime's TLS directory lists between .CRT$XLA and .CRT$XLZ.
extern "C" __attribute__((section(".CRT$XLB"), used)) const PIMAGE_TLS_CALLBACK injectFixtureTlsCallback =
    SeeWhetherThePayloadRan;

extern "C" __attribute__((used)) const IMAGE_COR20_HEADER injectFixtureRuntimeHeader =
    inject_fixture::kIlOnlyRuntimeHeader;

int main(int argc, char** argv) {
    if (::GetEnvironmentVariableW(inject_fixture::kStallVariable, nullptr, 0) != 0)
        return Stall();
    if (argc == 3 && std::strcmp(argv[1], inject_fixture::kHoldMode) == 0)
        return Hold(argv[2]);
    return verdict;
}
