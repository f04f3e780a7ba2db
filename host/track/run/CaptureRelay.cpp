#include "host/track/run/CaptureRelay.h"

#include "driver/RegmonProtocol.h"
#include "common/Tick.h"

#include <utility>
#include <vector>

namespace track {

CaptureRelay::~CaptureRelay() {
    if (view_ != nullptr)
        ::UnmapViewOfFile(view_);
}

bool CaptureRelay::Open() {
    // Named for this tracker and this moment: a block of that name made by anyone else is refused.
    const std::wstring name = L"Local\\orvane-capture-ring-" + std::to_wstring(::GetCurrentProcessId()) +
                              L"-" + std::to_wstring(TickCount64());
    mapping_.reset(
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                             static_cast<DWORD>(static_cast<unsigned long long>(capture::kRingBytes) >> 32),
                             static_cast<DWORD>(capture::kRingBytes), name.c_str()));
    if (!mapping_ || ::GetLastError() == ERROR_ALREADY_EXISTS) {
        mapping_.reset();
        return false;
    }
    view_ = ::MapViewOfFile(mapping_.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, capture::kRingBytes);
    if (view_ == nullptr)
        return false;
    capture::InitializeRing(view_);
    return ::SetEnvironmentVariableW(capture::kRingVariable, name.c_str()) != FALSE;
}

bool CaptureRelay::SendBatch(size_t maxLines) {
    if (!device_)
        device_.reset(::CreateFileA(REGMON_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device_) {
        lastError_ = ::GetLastError();
        return false;
    }
    std::string batch;
    size_t lines = 0;
    for (const std::string& line : pending_) {
        if (lines == maxLines || batch.size() + line.size() + 1 > REGMON_APPEND_BATCH_SIZE)
            break;
        batch += line;
        batch += '\n';
        ++lines;
    }
    DWORD returned = 0;
    if (!::DeviceIoControl(device_.get(), IOCTL_APPEND_LOG_LINES, &batch[0], static_cast<DWORD>(batch.size()),
                           nullptr, 0, &returned, nullptr)) {
        lastError_ = ::GetLastError();
        return false;
    }
    for (size_t i = 0; i < lines; ++i)
        writes_.Add(pending_[i]);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(lines));
    return true;
}

bool CaptureRelay::IsAnsiLeadByte(unsigned char byte) {
    return ::IsDBCSLeadByteEx(CP_ACP, byte) != FALSE;
}

CapturedWrites CaptureRelay::TakeWrites() {
    for (const std::string& line : pending_)
        writes_.Add(line, false);
    return std::move(writes_);
}

bool CaptureRelay::Relay(bool final) {
    if (view_ == nullptr)
        return true;
    std::vector<std::string> taken;
    reader_.Take(view_, taken, final);
    for (std::string& line : taken)
        pending_.push_back(std::move(line));
    while (!pending_.empty()) {
        if (SendBatch(pending_.size()))
            continue;
        if (lastError_ != ERROR_INVALID_PARAMETER)
            return false; // the log is full or not capturing: the lines wait
        // A line the driver will never take (a writer's garbage) must not hold back the rest: the
        // batch goes again line by line, and such a line is dropped.
        if (!SendBatch(1)) {
            if (lastError_ != ERROR_INVALID_PARAMETER)
                return false;
            pending_.pop_front();
            ++dropped_;
        }
    }
    return true;
}

} // namespace track
