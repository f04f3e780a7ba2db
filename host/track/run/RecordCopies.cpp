#include "host/track/run/RecordCopies.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace track {

namespace {

constexpr unsigned kCopiesPerFolder = 256;
// Names tried past the copies of an earlier run left in a store folder the user named.
constexpr int kNameAttempts = 4096;

UniqueFile CreateNew(const std::wstring& path) {
    return UniqueFile(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool WriteAll(HANDLE file, const std::vector<std::uint8_t>& data, DWORD& error) {
    DWORD written = 0;
    if (data.empty())
        return true;
    if (!::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr)) {
        error = ::GetLastError();
        return false;
    }
    if (written != data.size()) { // a short write: the disk is full
        error = ERROR_WRITE_FAULT;
        return false;
    }
    return true;
}

void NoCopy(capture::OldStateRecord& record, const std::wstring& reason) {
    record.name.clear();
    record.reason = reason;
}

} // namespace

RecordCopies::RecordCopies(std::wstring keptFolder) : folder_(std::move(keptFolder)) {}

void RecordCopies::WriteOut(capture::OldStateRecord& record) {
    if (record.kind != capture::OldStateKind::File || record.name != capture::kCopyInRecord)
        return;
    std::vector<std::uint8_t> data;
    data.swap(record.data);
    if (record.presence != capture::OldPresence::Present) {
        record.name.clear();
        return;
    }
    if (data.size() != record.size) {
        NoCopy(record, L"the copy its record carries is not whole");
        return;
    }
    std::wstring name;
    DWORD error = 0;
    UniqueFile copy = Create(name, error);
    const bool whole = copy && WriteAll(copy.get(), data, error);
    copy.reset();
    if (!whole) {
        if (!name.empty())
            ::DeleteFileW((folder_ + L"\\" + name).c_str());
        NoCopy(record, L"could not be copied into the store (error " + std::to_wstring(error) + L")");
        return;
    }
    record.name = name;
}

UniqueFile RecordCopies::Create(std::wstring& name, DWORD& error) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const unsigned number = next_++;
        const std::wstring group = L"r-" + std::to_wstring(number / kCopiesPerFolder);
        name = group + L"\\r-" + std::to_wstring(number);
        const std::wstring path = folder_ + L"\\" + name;
        UniqueFile copy = CreateNew(path);
        if (!copy && ::GetLastError() == ERROR_PATH_NOT_FOUND) {
            ::CreateDirectoryW(folder_.c_str(), nullptr);
            ::CreateDirectoryW((folder_ + L"\\" + group).c_str(), nullptr);
            copy = CreateNew(path);
        }
        if (copy)
            return copy;
        error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            break;
    }
    if (error == 0)
        error = ERROR_FILE_EXISTS;
    name.clear();
    return UniqueFile();
}

} // namespace track
