// Orvane.dll loaded by hand, as a host loads it, with its factory and destroyer found by their
// decorated names.
#pragma once

#include "include/IOrvaneInc.h"
#include "include/OrvaneExportNames.h"

#include "common/UniqueHandle.h"

namespace test_support {

class LoadedLibrary {
public:
    using CreateFn = IOrvaneInc* (*)(IOrvaneInc::OV_TYPE);
    using DestroyFn = void (*)(IOrvaneInc**);

    LoadedLibrary() : module_(::LoadLibraryA("Orvane.dll")) {
        if (module_) {
            create_ = reinterpret_cast<CreateFn>(
                reinterpret_cast<void*>(::GetProcAddress(module_.get(), orvane_exports::kCreateOrvane)));
            destroy_ = reinterpret_cast<DestroyFn>(
                reinterpret_cast<void*>(::GetProcAddress(module_.get(), orvane_exports::kDestroyOrvane)));
        }
        if (loaded())
            lastDestroy_ = destroy_;
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    bool loaded() const { return module_ && create_ && destroy_; }
    IOrvaneInc* Create(IOrvaneInc::OV_TYPE type = IOrvaneInc::OV_RECORDER) const { return create_(type); }
    void Destroy(IOrvaneInc*& object) const { destroy_(&object); }
    void Free() { module_.reset(); }
    // Hands the library's reference to the caller, who frees it.
    HMODULE Release() { return module_.release(); }
    // The destroyer of the library loaded last, for handlers that have no LoadedLibrary at hand.
    static void DestroyThrough(IOrvaneInc** object) { lastDestroy_(object); }

private:
    UniqueModule module_;
    CreateFn create_ = nullptr;
    DestroyFn destroy_ = nullptr;
    static inline DestroyFn lastDestroy_ = nullptr;
};

} // namespace test_support
