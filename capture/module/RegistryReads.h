// The registry reads that keeping old state needs, on ntdll's own calls: a key opened for reading
// below a handle of the program's (or the handle's own key again, with rights of the capture's
// choosing), a value's type and data, a key's subkeys and values one by one. Any thread; nothing
// here changes the registry, and none of these calls is hooked.
#pragma once

#include "capture/module/NtCalls.h"
#include "common/UniqueHandle.h"

#include <cstdint>
#include <string>
#include <vector>

namespace capture {

constexpr NTSTATUS kStatusSuccess = 0;
constexpr NTSTATUS kStatusBufferOverflow = static_cast<NTSTATUS>(0x80000005L);
constexpr NTSTATUS kStatusNoMoreEntries = static_cast<NTSTATUS>(0x8000001AL);
constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022L);
constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017CL);
constexpr NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023L);
constexpr NTSTATUS kStatusNameNotFound = static_cast<NTSTATUS>(0xC0000034L);
constexpr NTSTATUS kStatusPathNotFound = static_cast<NTSTATUS>(0xC000003AL);
constexpr NTSTATUS kStatusNameTooLong = static_cast<NTSTATUS>(0xC0000106L);

// Opens `name` below `root` with `access`; an empty name opens `root`'s own key again, which works
// whatever rights the program's handle has (checked under Wine 8 with a KEY_SET_VALUE handle).
// `attributes` are the OBJ_* flags of the open. `status` receives the system's answer.
UniqueHandle OpenKeyBelow(const NtCalls& nt, HANDLE root, const std::wstring& name, ACCESS_MASK access,
                          ULONG attributes, NTSTATUS& status);

struct ValueData {
    std::wstring name; // filled by EnumerateValue
    ULONG type = 0;
    uint64_t length = 0;       // the data's length, also when it was not read
    bool read = false;         // whether `data` holds it: only when it was at most the limit
    std::vector<uint8_t> data; // only when `read`
};

// Value `name` of `key`: its type and length, and its data when at most `limit` bytes.
NTSTATUS QueryValue(const NtCalls& nt, HANDLE key, const std::wstring& name, uint64_t limit,
                    ValueData& value);

// The `index`th value of `key`, as QueryValue reads one; kStatusNoMoreEntries past the last.
// `buffer` is the caller's, kept across calls so that a walk does not allocate once per value.
NTSTATUS EnumerateValue(const NtCalls& nt, HANDLE key, ULONG index, uint64_t limit,
                        std::vector<uint8_t>& buffer, ValueData& value);

// The name and type of the `index`th value of `key`, without its data.
NTSTATUS EnumerateValueName(const NtCalls& nt, HANDLE key, ULONG index, std::vector<uint8_t>& buffer,
                            ValueData& value);

// The name of the `index`th subkey of `key`; kStatusNoMoreEntries past the last.
NTSTATUS EnumerateSubkey(const NtCalls& nt, HANDLE key, ULONG index, std::wstring& name);

// The last component of `key`'s name as the registry stores it. A key's full kernel name may come
// back in another letter case (upper case, on ReactOS); the key's own record keeps the spelling of
// the call that made it.
NTSTATUS QueryOwnKeyName(const NtCalls& nt, HANDLE key, std::wstring& name);

// How many values `key` has.
NTSTATUS CountValues(const NtCalls& nt, HANDLE key, ULONG& values);

// A copy of a counted text the program passed to a hooked call, which the capture reads before the
// system has checked it: false, and nothing read, when the structure or its characters are not in
// readable memory or its length is odd, where the system would refuse the call rather than crash.
bool CopyCallerText(const UNICODE_STRING* text, std::wstring& copy);

// Whether `bytes` bytes at `address` lie in committed memory that may be read.
bool IsReadable(const void* address, size_t bytes);

} // namespace capture
