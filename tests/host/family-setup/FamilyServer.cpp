// orvane-family-server.dll: an in-process COM server of the family, as regsvr32 registers one. It
// serves nothing; registering it writes its class under HKEY_CLASSES_ROOT, and unregistering it
// removes the class again.
#include "common/Win32.h"

#include <string>

namespace {

constexpr char kClassKey[] = "CLSID\\{4F525646-0000-4000-8000-534552564552}";
HMODULE self = nullptr;

std::string ModulePath() {
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(self, path, sizeof path);
    return std::string(path, length < sizeof path ? length : 0);
}

// Calls that XP has too, so that the server registers wherever the family runs.
LONG SetText(const std::string& key, const char* name, const std::string& text) {
    HKEY opened = nullptr;
    LONG result = ::RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    &opened, nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    result = ::RegSetValueExA(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>(text.size() + 1));
    ::RegCloseKey(opened);
    return result;
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        self = module;
    return TRUE;
}

extern "C" HRESULT WINAPI DllRegisterServer() {
    const std::string server = std::string(kClassKey) + "\\InprocServer32";
    LONG result = SetText(kClassKey, nullptr, "Orvane family server");
    if (result == ERROR_SUCCESS)
        result = SetText(server, nullptr, ModulePath());
    if (result == ERROR_SUCCESS)
        result = SetText(server, "ThreadingModel", "Both");
    return HRESULT_FROM_WIN32(static_cast<DWORD>(result));
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
    ::RegDeleteKeyA(HKEY_CLASSES_ROOT, (std::string(kClassKey) + "\\InprocServer32").c_str());
    const LONG result = ::RegDeleteKeyA(HKEY_CLASSES_ROOT, kClassKey);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND
               ? S_OK
               : HRESULT_FROM_WIN32(static_cast<DWORD>(result));
}
