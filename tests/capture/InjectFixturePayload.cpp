// A test fixture: the DLL the injection tests load into processes. Its DllMain leaves a mark in its
// process's environment (InjectFixture.h), where the target program, or cmd.exe's "if defined", finds it.
#include "tests/capture/InjectFixture.h"

#include "common/Win32.h"

// Ordinal 1, which an injected import entry names: the loader refuses an entry that imports nothing.
extern "C" int InjectFixtureImported() {
    return 1;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        ::SetEnvironmentVariableW(inject_fixture::kPayloadMark, L"loaded");
    return TRUE;
}
