// Orvane.dll, loaded at run time so that a missing or broken library is a clean failure of the
// tracker rather than a loader error, and its three exports found by their decorated names.
#pragma once

#include "include/IOrvaneInc.h"

#include "common/UniqueHandle.h"

#include <string>

namespace track {

class OrvaneLibrary {
public:
    // Loads the library by name through the normal search (the tracker's own folder first).
    // On failure, `error` says what went wrong in one line.
    bool Load(const std::string& name, std::string& error);

    IOrvaneInc* Create(IOrvaneInc::OV_TYPE type) const;
    void Destroy(IOrvaneInc** object) const;
    bool IsEliminatePath(IOrvaneInc* object, const std::string& path) const;

private:
    using CreateFunction = IOrvaneInc* (*)(IOrvaneInc::OV_TYPE);
    using DestroyFunction = void (*)(IOrvaneInc**);
    // A non-static member: on i686 it takes `this` in ECX (thiscall); x86_64 has one convention.
#if defined(__i386__)
    using EliminateFunction = bool(__attribute__((thiscall)) *)(IOrvaneInc*, const std::string&);
#else
    using EliminateFunction = bool (*)(IOrvaneInc*, const std::string&);
#endif

    UniqueModule module_;
    CreateFunction create_ = nullptr;
    DestroyFunction destroy_ = nullptr;
    EliminateFunction isEliminatePath_ = nullptr;
};

} // namespace track
