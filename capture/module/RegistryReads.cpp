#include "capture/module/RegistryReads.h"

#include <cstddef>
#include <cstring>

namespace capture {

namespace {

constexpr ULONG kKeyBasicInformation = 0;
constexpr ULONG kKeyFullInformation = 2;
constexpr ULONG kKeyValueBasicInformation = 0;
constexpr ULONG kKeyValueFullInformation = 1;
constexpr ULONG kKeyValuePartialInformation = 2;

// The fixed parts of the answers read here (wdm.h's KEY_*_INFORMATION, up to their names or data).
struct KeyBasicHeader {
    LARGE_INTEGER lastWriteTime;
    ULONG titleIndex;
    ULONG nameLength;
};
struct KeyFullHeader {
    LARGE_INTEGER lastWriteTime;
    ULONG titleIndex;
    ULONG classOffset;
    ULONG classLength;
    ULONG subKeys;
    ULONG maxNameLength;
    ULONG maxClassLength;
    ULONG values;
    ULONG maxValueNameLength;
    ULONG maxValueDataLength;
};
struct ValueBasicHeader {
    ULONG titleIndex;
    ULONG type;
    ULONG nameLength;
};
struct ValueFullHeader {
    ULONG titleIndex;
    ULONG type;
    ULONG dataOffset;
    ULONG dataLength;
    ULONG nameLength;
};
struct ValuePartialHeader {
    ULONG titleIndex;
    ULONG type;
    ULONG dataLength;
};
constexpr size_t kKeyBasicFixed = offsetof(KeyBasicHeader, nameLength) + sizeof(ULONG);
constexpr size_t kValueBasicFixed = sizeof(ValueBasicHeader);
constexpr size_t kValueFullFixed = sizeof(ValueFullHeader);
constexpr size_t kValuePartialFixed = sizeof(ValuePartialHeader);

constexpr size_t kFirstBuffer = 1024;
// A value may grow between two reads: ask again with the size the last answer gave, a few times.
constexpr int kReadAttempts = 4;

bool TooSmall(NTSTATUS status) {
    return status == kStatusBufferOverflow || status == kStatusBufferTooSmall;
}

// Room for the answer the system says it needs, at most `most` bytes; false when there is no more.
bool Grow(std::vector<uint8_t>& buffer, ULONG needed, uint64_t most) {
    uint64_t size = needed > buffer.size() ? needed : uint64_t(buffer.size()) * 2;
    if (size > most)
        size = most;
    if (size <= buffer.size())
        return false;
    buffer.resize(static_cast<size_t>(size));
    return true;
}

template <typename Header>
Header HeaderIn(const std::vector<uint8_t>& buffer) {
    Header header;
    std::memcpy(&header, buffer.data(), sizeof header);
    return header;
}

std::wstring NameAt(const std::vector<uint8_t>& buffer, size_t offset, ULONG bytes) {
    std::wstring name(bytes / sizeof(wchar_t), L'\0');
    if (!name.empty())
        std::memcpy(&name[0], buffer.data() + offset, name.size() * sizeof(wchar_t));
    return name;
}

bool MakeCounted(const std::wstring& text, UNICODE_STRING& counted) {
    if (text.size() * sizeof(wchar_t) > 0xFFFE)
        return false;
    counted.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    counted.MaximumLength = counted.Length;
    counted.Buffer = const_cast<wchar_t*>(text.data());
    return true;
}

// The longest answer a value's data of `limit` bytes can come in: the fixed part, the longest name
// (16,383 characters), the alignment of the data.
uint64_t LongestAnswer(uint64_t limit) {
    return kValueFullFixed + 0x8000 + 16 + limit;
}

} // namespace

NTSTATUS EnumerateValueName(const NtCalls& nt, HANDLE key, ULONG index, std::vector<uint8_t>& buffer,
                            ValueData& value) {
    if (buffer.size() < kFirstBuffer)
        buffer.resize(kFirstBuffer);
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        ULONG returned = 0;
        const NTSTATUS status = nt.enumerateValueKey(key, index, kKeyValueBasicInformation, buffer.data(),
                                                     static_cast<ULONG>(buffer.size()), &returned);
        if (TooSmall(status)) {
            if (!Grow(buffer, returned, 0x10000 + kValueBasicFixed))
                return kStatusNameTooLong;
            continue;
        }
        if (status < 0)
            return status;
        value = ValueData();
        const ValueBasicHeader header = HeaderIn<ValueBasicHeader>(buffer);
        if (returned < kValueBasicFixed || returned > buffer.size() ||
            header.nameLength > returned - kValueBasicFixed)
            return kStatusBufferOverflow;
        value.name = NameAt(buffer, kValueBasicFixed, header.nameLength);
        value.type = header.type;
        return status;
    }
    return kStatusBufferOverflow;
}

UniqueHandle OpenKeyBelow(const NtCalls& nt, HANDLE root, const std::wstring& name, ACCESS_MASK access,
                          ULONG attributes, NTSTATUS& status) {
    UNICODE_STRING counted{};
    if (!MakeCounted(name, counted)) {
        status = kStatusNameTooLong;
        return UniqueHandle();
    }
    OBJECT_ATTRIBUTES object{};
    object.Length = sizeof object;
    object.RootDirectory = root;
    object.ObjectName = &counted;
    object.Attributes = attributes;
    HANDLE opened = nullptr;
    status = nt.openKey(&opened, access, &object);
    return UniqueHandle(status >= 0 ? opened : nullptr);
}

NTSTATUS QueryValue(const NtCalls& nt, HANDLE key, const std::wstring& name, uint64_t limit,
                    ValueData& value) {
    UNICODE_STRING counted{};
    if (!MakeCounted(name, counted))
        return kStatusNameTooLong;
    std::vector<uint8_t> buffer(kFirstBuffer);
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        ULONG returned = 0;
        const NTSTATUS status = nt.queryValueKey(key, &counted, kKeyValuePartialInformation, buffer.data(),
                                                 static_cast<ULONG>(buffer.size()), &returned);
        if (TooSmall(status) && returned >= kValuePartialFixed) {
            value.length = returned - kValuePartialFixed;
            if (status == kStatusBufferOverflow)
                value.type = HeaderIn<ValuePartialHeader>(buffer).type;
            if (value.length > limit)
                return status == kStatusBufferOverflow ? kStatusSuccess : status; // the type and length do
            if (!Grow(buffer, returned, kValuePartialFixed + limit))
                return status;
            continue;
        }
        if (status < 0)
            return status;
        const ValuePartialHeader header = HeaderIn<ValuePartialHeader>(buffer);
        if (returned < kValuePartialFixed || returned > buffer.size() ||
            header.dataLength > returned - kValuePartialFixed)
            return kStatusBufferOverflow;
        value.type = header.type;
        value.length = header.dataLength;
        value.read = true;
        value.data.assign(buffer.begin() + kValuePartialFixed,
                          buffer.begin() + kValuePartialFixed + header.dataLength);
        return status;
    }
    return kStatusBufferOverflow;
}

NTSTATUS EnumerateValue(const NtCalls& nt, HANDLE key, ULONG index, uint64_t limit,
                        std::vector<uint8_t>& buffer, ValueData& value) {
    value = ValueData();
    if (buffer.size() < kFirstBuffer)
        buffer.resize(kFirstBuffer);
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        ULONG returned = 0;
        const NTSTATUS status = nt.enumerateValueKey(key, index, kKeyValueFullInformation, buffer.data(),
                                                     static_cast<ULONG>(buffer.size()), &returned);
        if (status == kStatusBufferOverflow) {
            const ValueFullHeader header = HeaderIn<ValueFullHeader>(buffer);
            if (header.dataLength > limit) {
                const NTSTATUS named = EnumerateValueName(nt, key, index, buffer, value);
                value.length = header.dataLength;
                return named;
            }
        }
        if (TooSmall(status)) {
            if (!Grow(buffer, returned, LongestAnswer(limit)))
                return status;
            continue;
        }
        if (status < 0)
            return status;
        const ValueFullHeader header = HeaderIn<ValueFullHeader>(buffer);
        if (returned < kValueFullFixed || returned > buffer.size() ||
            header.nameLength > returned - kValueFullFixed || header.dataOffset > returned ||
            header.dataLength > returned - header.dataOffset)
            return kStatusBufferOverflow;
        value.name = NameAt(buffer, kValueFullFixed, header.nameLength);
        value.type = header.type;
        value.length = header.dataLength;
        value.read = true;
        value.data.assign(buffer.begin() + header.dataOffset,
                          buffer.begin() + header.dataOffset + header.dataLength);
        return status;
    }
    return kStatusBufferOverflow;
}

namespace {

// A KEY_BASIC_INFORMATION answer's name, from `ask` (an enumeration or a query of the key itself).
template <typename Ask>
NTSTATUS ReadKeyBasicName(Ask ask, std::wstring& name) {
    std::vector<uint8_t> buffer(kFirstBuffer);
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        ULONG returned = 0;
        const NTSTATUS status = ask(buffer, returned);
        if (TooSmall(status)) {
            if (!Grow(buffer, returned, 0x10000 + kKeyBasicFixed))
                return kStatusNameTooLong;
            continue;
        }
        if (status < 0)
            return status;
        const KeyBasicHeader header = HeaderIn<KeyBasicHeader>(buffer);
        if (returned < kKeyBasicFixed || returned > buffer.size() ||
            header.nameLength > returned - kKeyBasicFixed)
            return kStatusBufferOverflow;
        name = NameAt(buffer, kKeyBasicFixed, header.nameLength);
        return status;
    }
    return kStatusBufferOverflow;
}

} // namespace

NTSTATUS EnumerateSubkey(const NtCalls& nt, HANDLE key, ULONG index, std::wstring& name) {
    return ReadKeyBasicName(
        [&](std::vector<uint8_t>& buffer, ULONG& returned) {
            return nt.enumerateKey(key, index, kKeyBasicInformation, buffer.data(),
                                   static_cast<ULONG>(buffer.size()), &returned);
        },
        name);
}

NTSTATUS QueryOwnKeyName(const NtCalls& nt, HANDLE key, std::wstring& name) {
    return ReadKeyBasicName(
        [&](std::vector<uint8_t>& buffer, ULONG& returned) {
            return nt.queryKey(key, kKeyBasicInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                               &returned);
        },
        name);
}

NTSTATUS CountValues(const NtCalls& nt, HANDLE key, ULONG& values) {
    // The class name follows the fixed part; an answer without room for it still fills the fixed part.
    std::vector<uint8_t> buffer(kFirstBuffer);
    ULONG returned = 0;
    const NTSTATUS status =
        nt.queryKey(key, kKeyFullInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &returned);
    if (status < 0 && status != kStatusBufferOverflow)
        return status;
    values = HeaderIn<KeyFullHeader>(buffer).values;
    return kStatusSuccess;
}

bool IsReadable(const void* address, size_t bytes) {
    if (bytes == 0)
        return true;
    uintptr_t at = reinterpret_cast<uintptr_t>(address);
    const uintptr_t end = at + bytes;
    if (address == nullptr || end < at)
        return false;
    while (at < end) {
        MEMORY_BASIC_INFORMATION region{};
        if (::VirtualQuery(reinterpret_cast<const void*>(at), &region, sizeof region) == 0)
            return false;
        const DWORD unreadable = PAGE_NOACCESS | PAGE_GUARD;
        if (region.State != MEM_COMMIT || region.Protect == 0 || (region.Protect & unreadable) != 0)
            return false;
        const uintptr_t next = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (next <= at)
            return false;
        at = next;
    }
    return true;
}

bool CopyCallerText(const UNICODE_STRING* text, std::wstring& copy) {
    if (!IsReadable(text, sizeof *text))
        return false;
    const UNICODE_STRING counted = *text;
    if (counted.Length % sizeof(wchar_t) != 0 || !IsReadable(counted.Buffer, counted.Length))
        return false;
    copy.assign(counted.Buffer, counted.Length / sizeof(wchar_t));
    return true;
}

} // namespace capture
