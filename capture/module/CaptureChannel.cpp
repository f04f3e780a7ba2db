#include "capture/module/CaptureChannel.h"

#include "common/UniqueHandle.h"

#include <vector>

namespace capture {

CaptureChannel CaptureChannel::FromEnvironment() {
    CaptureChannel channel;
    wchar_t name[MAX_PATH];
    const DWORD length = ::GetEnvironmentVariableW(kChannelVariable, name, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
        channel.name_.assign(name, length);
    return channel;
}

void CaptureChannel::Send(const char* kind, DWORD processId, const std::wstring& image,
                          const std::wstring& text) const {
    if (name_.empty())
        return;
    const std::string message = std::string(kind) + "\t" + std::to_string(processId) + "\t" +
                                ToUtf8(FileNameOf(image)) + "\t" + ToUtf8(text);
    const UniqueFile slot(::CreateFileW(name_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!slot)
        return;
    DWORD written = 0;
    ::WriteFile(slot.get(), message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
}

std::wstring FileNameOf(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string converted(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &converted[0], size,
                          nullptr, nullptr);
    return converted;
}

} // namespace capture
