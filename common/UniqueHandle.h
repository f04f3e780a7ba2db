// Move-only owners for Win32 objects. One template, one traits type per kind of object: the empty
// value differs per kind (null for most kernel handles, INVALID_HANDLE_VALUE for files), and closing
// keeps the thread's last error intact so that error paths can clean up before reporting it.
#pragma once

#include "common/Win32.h"

#include <utility>

template <typename Traits>
class UniqueResource {
public:
    using Value = typename Traits::Value;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Value value) noexcept : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Value get() const noexcept { return value_; }
    bool valid() const noexcept { return Traits::IsValid(value_); }
    explicit operator bool() const noexcept { return valid(); }

    Value release() noexcept { return std::exchange(value_, Traits::Empty()); }

    void reset(Value value = Traits::Empty()) noexcept {
        Value old = std::exchange(value_, value);
        if (Traits::IsValid(old)) {
            const DWORD savedError = GetLastError();
            Traits::Close(old);
            SetLastError(savedError);
        }
    }

private:
    Value value_ = Traits::Empty();
};

struct KernelHandleTraits {
    using Value = HANDLE;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Value h) noexcept { ::CloseHandle(h); }
};

// CreateFile reports failure as INVALID_HANDLE_VALUE, so that is this kind's empty value.
struct FileHandleTraits : KernelHandleTraits {
    static Value Empty() noexcept { return INVALID_HANDLE_VALUE; }
};

struct FindHandleTraits {
    using Value = HANDLE;
    static Value Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Value h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Value h) noexcept { ::FindClose(h); }
};

struct RegistryKeyTraits {
    using Value = HKEY;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value k) noexcept { return k != nullptr; }
    static void Close(Value k) noexcept { ::RegCloseKey(k); }
};

struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value h) noexcept { return h != nullptr; }
    static void Close(Value h) noexcept { ::CloseServiceHandle(h); }
};

struct ModuleHandleTraits {
    using Value = HMODULE;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value h) noexcept { return h != nullptr; }
    static void Close(Value h) noexcept { ::FreeLibrary(h); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueFile = UniqueResource<FileHandleTraits>;
using UniqueFind = UniqueResource<FindHandleTraits>;
using UniqueKey = UniqueResource<RegistryKeyTraits>;
using UniqueService = UniqueResource<ServiceHandleTraits>;
using UniqueModule = UniqueResource<ModuleHandleTraits>;
