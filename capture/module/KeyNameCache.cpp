#include "capture/module/KeyNameCache.h"

#include "capture/module/KeyName.h"

#include <utility>

namespace capture {

KeyNameCache::KeyNameCache() {
    ::InitializeCriticalSection(&lock_);
}

KeyNameCache::~KeyNameCache() {
    ::DeleteCriticalSection(&lock_);
}

void KeyNameCache::DropIfAsked(Name (&dropped)[kSlots]) {
    if (::InterlockedExchange(&dropAsked_, 0) == 0)
        return;
    for (size_t i = 0; i < kSlots; ++i) {
        slots_[i].handle = nullptr;
        dropped[i] = std::move(slots_[i].name);
    }
}

std::wstring KeyNameCache::NameOf(NtQueryKeyFunction* queryKey, HANDLE key) {
    if (enabled_ == 0)
        return QueryKeyName(queryKey, key);
    Name dropped[kSlots]; // released once the table is let go
    Name found;
    LONG closesBefore;
    ::EnterCriticalSection(&lock_);
    DropIfAsked(dropped);
    Slot& slot = SlotOf(key);
    if (slot.handle == key)
        found = slot.name;
    closesBefore = closes_;
    ::LeaveCriticalSection(&lock_);
    if (found)
        return *found;

    std::wstring name = QueryKeyName(queryKey, key);
    if (name.empty())
        return name;
    Name kept = std::make_shared<const std::wstring>(name);
    Name displaced;
    ::EnterCriticalSection(&lock_);
    DropIfAsked(dropped);
    if (closes_ == closesBefore) {
        Slot& target = SlotOf(key);
        displaced = std::move(target.name);
        target.handle = key;
        target.name = std::move(kept);
    }
    ::LeaveCriticalSection(&lock_);
    return name;
}

void KeyNameCache::Forget(HANDLE handle) noexcept {
    ::InterlockedIncrement(&closes_);
    if (!::TryEnterCriticalSection(&lock_)) {
        ::InterlockedExchange(&dropAsked_, 1);
        return;
    }
    // The name stays in the slot, to be freed by the lookup that reuses it: no heap call here.
    Slot& slot = SlotOf(handle);
    if (slot.handle == handle)
        slot.handle = nullptr;
    ::LeaveCriticalSection(&lock_);
}

void KeyNameCache::ForgetAll() noexcept {
    ::InterlockedIncrement(&closes_);
    ::InterlockedExchange(&dropAsked_, 1);
}

} // namespace capture
