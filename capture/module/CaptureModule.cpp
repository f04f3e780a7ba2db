// The capture DLL: loaded into a setup's process before the process's own code runs (as the first
// import of its image), it captures the process's registry writes from then on.
#include "capture/module/ProcessCapture.h"

#include "common/Win32.h"

// The import entry that loads this DLL names ordinal 1, this function: a loader refuses an import
// entry that imports nothing.
extern "C" int OrvaneCaptureLoaded() {
    return 1;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    ::DisableThreadLibraryCalls(module);
    // The hooks jump into this module until the process ends: it must never be unloaded.
    HMODULE pinned = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&OrvaneCaptureLoaded), &pinned);
    capture::StartProcessCapture(module);
    // Never FALSE: a refused attach would stop the setup from starting at all.
    return TRUE;
}
