#include "capture/module/OldStateLog.h"

#include <string>
#include <vector>

namespace capture {

namespace {

constexpr DWORD kLongestStorePath = 1024;
constexpr int kRecordFileAttempts = 64; // names tried after one taken by an earlier process of this id

} // namespace

OldStateLog::OldStateLog() {
    ::InitializeCriticalSection(&lock_);
}

OldStateLog::~OldStateLog() {
    ::DeleteCriticalSection(&lock_);
}

void OldStateLog::AttachStore(DWORD processId) {
    processId_ = processId;
    std::vector<wchar_t> folder(kLongestStorePath);
    const DWORD length = ::GetEnvironmentVariableW(kStoreVariable, folder.data(), kLongestStorePath);
    if (length > 0 && length < kLongestStorePath)
        store_.assign(folder.data(), length);
}

bool OldStateLog::ClaimFirstChange(const std::wstring& item) {
    const ScopedCriticalSection locked(lock_);
    return claimed_.insert(item).second;
}

void OldStateLog::GiveBack(const std::wstring& item) {
    const ScopedCriticalSection locked(lock_);
    claimed_.erase(item);
}

uint64_t OldStateLog::NextSequence() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart);
}

HANDLE OldStateLog::File() {
    if (file_ || openError_ != 0)
        return file_.get();
    // A process id comes back once its process has ended: a later process of that id takes the next name.
    for (int attempt = 0; attempt < kRecordFileAttempts; ++attempt) {
        const std::wstring name =
            store_ + L"\\old-" + std::to_wstring(processId_) + L"-" + std::to_wstring(attempt) + L".rec";
        file_.reset(::CreateFileW(name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file_)
            return file_.get();
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            openError_ = error;
            return INVALID_HANDLE_VALUE;
        }
    }
    openError_ = ERROR_FILE_EXISTS;
    return INVALID_HANDLE_VALUE;
}

bool OldStateLog::Append(OldStateRecord& record) {
    if (!Active())
        return false;
    record.processId = processId_;
    const std::vector<uint8_t> bytes = EncodeOldState(record);
    const ScopedCriticalSection locked(lock_);
    const HANDLE file = File();
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    return ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

} // namespace capture
