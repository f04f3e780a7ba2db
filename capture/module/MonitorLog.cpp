#include "capture/module/MonitorLog.h"

#include "capture/CaptureRing.h"
#include "common/UniqueHandle.h"
#include "driver/RegmonProtocol.h"

#include <cstddef>
#include <vector>

namespace capture {

MonitorLog::~MonitorLog() {
    if (device_ != nullptr && device_ != INVALID_HANDLE_VALUE)
        ::CloseHandle(device_);
}

HANDLE MonitorLog::Device() {
    HANDLE device = static_cast<HANDLE>(::InterlockedCompareExchangePointer(&device_, nullptr, nullptr));
    if (device != nullptr)
        return device;
    HANDLE opened =
        ::CreateFileA(REGMON_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        openError_ = ::GetLastError();
    // Two threads may open at once: the first to store its handle wins, the other closes its own.
    device = static_cast<HANDLE>(::InterlockedCompareExchangePointer(&device_, opened, nullptr));
    if (device == nullptr)
        return opened;
    if (opened != INVALID_HANDLE_VALUE)
        ::CloseHandle(opened);
    return device;
}

namespace {

// The line in the ANSI code page, without a best-fit look-alike: a character the page lacks would
// name another key. Where the page is UTF-8 every character converts, and the system takes no flags.
AppendResult ToAnsi(const wchar_t* line, size_t length, char* text, int capacity, int& size) {
    BOOL lost = FALSE;
    const bool utf8 = ::GetACP() == CP_UTF8;
    size = length == 0 ? 0
                       : ::WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, line,
                                               static_cast<int>(length), text, capacity, nullptr,
                                               utf8 ? nullptr : &lost);
    if (size <= 0)
        return ::GetLastError() == ERROR_INSUFFICIENT_BUFFER ? AppendResult::TooLong
                                                             : AppendResult::NotInAnsi;
    return lost ? AppendResult::NotInAnsi : AppendResult::Appended;
}

} // namespace

bool MonitorLog::DriverLogsEveryProcess() {
    const HANDLE device = Device();
    if (device == INVALID_HANDLE_VALUE)
        return false;
    REGMON_CAPTURE_STATE state = {};
    DWORD returned = 0;
    if (!::DeviceIoControl(device, IOCTL_QUERY_CAPTURE_STATE, nullptr, 0, &state, sizeof state, &returned,
                           nullptr))
        return false;
    return returned >= offsetof(REGMON_CAPTURE_STATE, callbackActive) + sizeof state.callbackActive &&
           state.callbackActive != 0;
}

bool MonitorLog::MarkTreeProcess() {
    const HANDLE device = Device();
    DWORD returned = 0;
    return device != INVALID_HANDLE_VALUE && ::DeviceIoControl(device, IOCTL_MARK_TREE_PROCESS, nullptr, 0,
                                                               nullptr, 0, &returned, nullptr) != FALSE;
}

void MonitorLog::AttachRing() {
    wchar_t name[MAX_PATH];
    const DWORD length = ::GetEnvironmentVariableW(kRingVariable, name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    const UniqueHandle mapping(::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name));
    if (!mapping)
        return;
    void* view = ::MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kRingBytes);
    if (view == nullptr)
        return;
    // A block of another layout (another version's tracker, or not a ring at all) is left alone.
    if (!IsRing(view)) {
        ::UnmapViewOfFile(view);
        return;
    }
    ring_ = view;
}

AppendResult MonitorLog::Append(const wchar_t* line, size_t length) {
    char text[REGMON_MAX_LINE];
    int size = 0;
    const AppendResult converted = ToAnsi(line, length, text, sizeof text, size);
    if (converted != AppendResult::Appended)
        return converted;
    if (ring_ != nullptr && PutLine(ring_, text, static_cast<uint32_t>(size)))
        return AppendResult::Appended;
    const HANDLE device = Device();
    if (device == INVALID_HANDLE_VALUE)
        return AppendResult::NoDevice;
    DWORD returned = 0;
    if (!::DeviceIoControl(device, IOCTL_APPEND_LOG_LINE, text, static_cast<DWORD>(size), nullptr, 0,
                           &returned, nullptr))
        return AppendResult::Refused;
    return AppendResult::Appended;
}

} // namespace capture
