#include "capture/module/KeyName.h"

#include <cstring>
#include <vector>

namespace capture {

namespace {

constexpr NTSTATUS kBufferOverflow = static_cast<NTSTATUS>(0x80000005L);
constexpr NTSTATUS kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023L);
constexpr size_t kNameOffset = sizeof(ULONG); // KEY_NAME_INFORMATION: ULONG NameLength, WCHAR Name[]

std::wstring NameIn(const std::vector<unsigned char>& buffer, ULONG returned) {
    if (returned < kNameOffset)
        return std::wstring();
    ULONG nameBytes = 0;
    memcpy(&nameBytes, buffer.data(), sizeof nameBytes);
    // A truncated answer is refused rather than logged as another key's name.
    if (nameBytes % sizeof(wchar_t) != 0 || nameBytes > returned - kNameOffset)
        return std::wstring();
    std::wstring name(nameBytes / sizeof(wchar_t), L'\0');
    if (!name.empty())
        memcpy(&name[0], buffer.data() + kNameOffset, nameBytes);
    return name;
}

} // namespace

std::wstring QueryKeyName(NtQueryKeyFunction* queryKey, HANDLE key) {
    std::vector<unsigned char> buffer(512);
    for (int attempt = 0; attempt < 4; ++attempt) {
        ULONG needed = 0;
        const NTSTATUS status =
            queryKey(key, kKeyNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status >= 0 && status != kBufferOverflow)
            return NameIn(buffer, needed);
        if (status != kBufferOverflow && status != kBufferTooSmall)
            return std::wstring();
        // The name may grow between two calls (a rename): ask again with what it needs now.
        buffer.resize(needed > buffer.size() ? needed + 64 : buffer.size() * 2);
    }
    return std::wstring();
}

} // namespace capture
