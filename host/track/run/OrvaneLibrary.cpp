#include "host/track/run/OrvaneLibrary.h"

#include "include/OrvaneExportNames.h"

namespace track {

namespace {

template <typename Function>
bool FindExport(HMODULE module, const char* name, Function& function) {
    FARPROC address = ::GetProcAddress(module, name);
    // The exports' types are fixed by the library's header; only the address is looked up here.
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
    return address != nullptr;
}

} // namespace

bool OrvaneLibrary::Load(const std::string& name, std::string& error) {
    // No "missing DLL" dialog boxes: the tracker reports the failure itself.
    const UINT oldMode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    module_.reset(::LoadLibraryA(name.c_str()));
    const DWORD loadError = ::GetLastError();
    ::SetErrorMode(oldMode);
    if (!module_) {
        error = "cannot load " + name + " (error " + std::to_string(loadError) + ")";
        return false;
    }
    if (!FindExport(module_.get(), orvane_exports::kCreateOrvane, create_) ||
        !FindExport(module_.get(), orvane_exports::kDestroyOrvane, destroy_) ||
        !FindExport(module_.get(), orvane_exports::kIsEliminatePath, isEliminatePath_)) {
        error = name + " lacks the IOrvaneInc exports; is it the Orvane library of this architecture?";
        module_.reset();
        return false;
    }
    return true;
}

IOrvaneInc* OrvaneLibrary::Create(IOrvaneInc::OV_TYPE type) const {
    return create_ != nullptr ? create_(type) : nullptr;
}

void OrvaneLibrary::Destroy(IOrvaneInc** object) const {
    if (destroy_ != nullptr)
        destroy_(object);
}

bool OrvaneLibrary::IsEliminatePath(IOrvaneInc* object, const std::string& path) const {
    return isEliminatePath_ != nullptr ? isEliminatePath_(object, path) : true;
}

} // namespace track
