// A service's registry key as the service manager keeps it
// ("\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<name>"), read by the capture in the process that
// asks the service manager for a change: the manager writes the key from its own process, which no hook of
// ours sees, so the key is read before the call and again after it, and what differs is what the call
// changed.
//
// Bounded, as a service's key is small: a key larger than the bounds is read up to them and marked
// incomplete, and the caller says so.
#pragma once

#include "capture/module/NtCalls.h"
#include "capture/module/RegistryReads.h"

#include <cstddef>
#include <string>
#include <vector>

namespace capture {

constexpr size_t kServiceKeyBound = 256;    // keys of one service's tree
constexpr size_t kServiceValueBound = 4096; // values of one service's tree
constexpr unsigned kServiceDepthBound = 16; // levels below the service's key

struct ServiceKeyTree {
    struct Key {
        std::wstring kernelName; // as NtQueryKey names it: the physical key, ControlSet00n
        std::vector<ValueData> values;
    };
    bool exists = false;   // whether the service's key exists at all
    bool complete = true;  // false when a bound, or a key that could not be read, cut the walk short
    std::vector<Key> keys; // the service's key first, each key before those below it
};

// The kernel name the service manager's key for `serviceName` is opened by.
std::wstring ServiceKeyPath(const std::wstring& serviceName);

ServiceKeyTree ReadServiceKey(const NtCalls& nt, const std::wstring& serviceName);

// What a service manager call changed, from the trees before and after it.
struct ServiceKeyChanges {
    struct Value {
        std::wstring keyName;    // kernel name
        const ValueData* before; // null: the value did not exist
        const ValueData* after;  // null: the value no longer exists
    };
    std::vector<std::wstring> keysCreated; // kernel names, each before those below it
    std::vector<std::wstring> keysDeleted; // kernel names
    std::vector<Value> values;             // written (after set) or deleted (after null)
};

// The pointers point into `before` and `after`, which must outlive the answer.
ServiceKeyChanges CompareServiceKeys(const ServiceKeyTree& before, const ServiceKeyTree& after);

} // namespace capture
