// The interface a tracking host sees. The five operations are called by slot: their order is fixed.
//
// Threading: Start ties a tracking object to its calling thread. That thread must dispatch window
// messages while tracking runs, and calls Stop and the getters; the result sets are read there,
// in place, without a lock. CreateOrvane and DestroyOrvane are called from one thread at a time.
#pragma once

#include <set>
#include <string>

#include "IConfInfoInc.h"

#if defined(ORVANE_BUILDING)
#define ORVANE_API __declspec(dllexport)
#else
#define ORVANE_API __declspec(dllimport)
#endif

struct IOrvaneInc {
    enum OV_TYPE { OV_RECORDER = 0, OV_EMPTY = 1 };

    virtual void Start() = 0;
    virtual void Stop() = 0;
    virtual void SetTarget(int target, const std::string& targetName) = 0;
    virtual const std::set<std::string>& GetFileChanges() = 0;
    virtual const std::set<IConfInfoInc::_ConfInfo>& GetRegistryChanges() = 0;

    // After the five operations, so that their slots stay as listed. Hosts destroy through
    // DestroyOrvane, which also clears their pointer.
    virtual ~IOrvaneInc() = default;

    // Builds an implementation; null for a type outside OV_TYPE or when memory runs out.
    static ORVANE_API IOrvaneInc* CreateOrvane(OV_TYPE type);
    // Destroys *object and sets it to null; accepts a null object and a null *object.
    static ORVANE_API void DestroyOrvane(IOrvaneInc** object);
    // True when a path is noise for an install record: missing, in installer bookkeeping or a
    // system cache location, or not openable for reading. Uses no state of the object.
    ORVANE_API bool IsEliminatePath(const std::string& path);
};
