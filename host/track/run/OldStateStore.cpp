#include "host/track/run/OldStateStore.h"

#include "host/track/result/TextEncoding.h"
#include "host/track/run/RecordCopies.h"

#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <algorithm>

namespace track {

namespace {

constexpr int kTemporaryNameAttempts = 100;
// A record file is the capture's work in one process; one past this is not a store's.
constexpr ULONGLONG kLargestRecordFile = 1ull << 30;
constexpr wchar_t kRecordPrefix[] = L"old-";
constexpr wchar_t kRecordSuffix[] = L".rec";

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring FullPath(const std::wstring& path) {
    if (path.empty())
        return path;
    std::vector<wchar_t> full(path.size() + MAX_PATH + 1);
    const DWORD length =
        ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    return length > 0 && length < full.size() ? std::wstring(full.data(), length) : path;
}

// Makes `folder` and any folder above it that is missing; answers 0 or the error that stopped it.
DWORD MakeFolders(const std::wstring& folder) {
    if (folder.empty())
        return ERROR_PATH_NOT_FOUND;
    DWORD lastError = 0;
    for (size_t at = folder.find_first_of(L"\\/", 0); at != std::wstring::npos;
         at = folder.find_first_of(L"\\/", at + 1)) {
        // Below the drive or the share: "C:" and "\\server\share" are no folders to make.
        if (at > 0 && folder[at - 1] != L':' && folder[at - 1] != L'\\' &&
            !::CreateDirectoryW(folder.substr(0, at).c_str(), nullptr))
            lastError = ::GetLastError();
    }
    if (!::CreateDirectoryW(folder.c_str(), nullptr))
        lastError = ::GetLastError();
    if (IsFolder(folder))
        return 0;
    return lastError == 0 || lastError == ERROR_ALREADY_EXISTS ? ERROR_DIRECTORY : lastError;
}

bool IsRecordFileName(const std::wstring& name) {
    const size_t prefix = std::size(kRecordPrefix) - 1, suffix = std::size(kRecordSuffix) - 1;
    return name.size() > prefix + suffix && name.compare(0, prefix, kRecordPrefix) == 0 &&
           name.compare(name.size() - suffix, suffix, kRecordSuffix) == 0;
}

std::vector<std::wstring> RecordFiles(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    UniqueFind find(::FindFirstFileW((folder + L"\\old-*.rec").c_str(), &entry));
    if (!find)
        return names;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && IsRecordFileName(entry.cFileName))
            names.push_back(folder + L"\\" + entry.cFileName);
    } while (::FindNextFileW(find.get(), &entry));
    std::sort(names.begin(), names.end());
    return names;
}

// Removes the folders directly in `folder` that hold nothing.
void RemoveEmptyFolders(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find)
        return;
    do {
        const std::wstring name = entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && name != L"." && name != L"..")
            ::RemoveDirectoryW((folder + L"\\" + name).c_str());
    } while (::FindNextFileW(find.get(), &entry));
}

// The whole file, or false when it cannot be read or is larger than any store's file.
bool ReadWhole(const std::wstring& path, std::vector<std::uint8_t>& bytes) {
    // Its writer may still hold it open for appending.
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file || !::GetFileSizeEx(file.get(), &size) ||
        static_cast<ULONGLONG>(size.QuadPart) > kLargestRecordFile)
        return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24));
        if (!::ReadFile(file.get(), bytes.data() + done, chunk, &read, nullptr) || read == 0)
            break;
        done += read;
    }
    bytes.resize(done);
    return true;
}

// Removes `folder` with everything in it. Links are removed, never followed.
void RemoveTree(const std::wstring& folder) {
    std::vector<std::wstring> folders{folder};
    for (size_t i = 0; i < folders.size(); ++i) {
        WIN32_FIND_DATAW entry;
        UniqueFind find(::FindFirstFileW((folders[i] + L"\\*").c_str(), &entry));
        if (!find)
            continue;
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = folders[i] + L"\\" + name;
            const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (isFolder && (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                folders.push_back(path);
                continue;
            }
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
                ::SetFileAttributesW(path.c_str(), entry.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
            if (isFolder)
                ::RemoveDirectoryW(path.c_str());
            else
                ::DeleteFileW(path.c_str());
        } while (::FindNextFileW(find.get(), &entry));
    }
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
        ::RemoveDirectoryW(it->c_str());
}

// A fresh folder in %TEMP% named after this process; answers 0 or the error, `made` the last name tried.
DWORD MakeTemporaryFolder(std::wstring& made) {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) {
        made = L"%TEMP%";
        return length == 0 ? ::GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    }
    const std::wstring base =
        std::wstring(temp, length) + L"orvane-store-" + std::to_wstring(::GetCurrentProcessId());
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < kTemporaryNameAttempts && error == ERROR_ALREADY_EXISTS; ++attempt) {
        made = base + L"-" + std::to_wstring(attempt);
        error = ::CreateDirectoryW(made.c_str(), nullptr) ? 0 : ::GetLastError();
    }
    return error;
}

void NameNoStore() {
    ::SetEnvironmentVariableW(capture::kStoreVariable, nullptr);
    ::SetEnvironmentVariableW(capture::kWatchedFoldersVariable, nullptr);
    ::SetEnvironmentVariableW(capture::kFileCapVariable, nullptr);
}

std::wstring Joined(const std::vector<std::wstring>& folders) {
    std::wstring joined;
    for (const std::wstring& folder : folders)
        joined += (joined.empty() ? L"" : L"|") + folder;
    return joined;
}

} // namespace

OldStateStore::~OldStateStore() {
    Close();
}

bool OldStateStore::Open(const std::wstring& folder, const std::vector<std::wstring>& watchedFolders,
                         std::uint64_t fileCapBytes, std::string& problem) {
    Close();
    // The setup's processes may work in another folder: they are given the full path.
    std::wstring made = FullPath(folder);
    DWORD error = 0;
    if (!folder.empty()) {
        error = MakeFolders(made);
    } else {
        error = MakeTemporaryFolder(made);
        temporary_ = error == 0;
    }
    if (error != 0) {
        NameNoStore();
        problem = "old state cannot be kept: the folder " + WideToAnsi(made) + " cannot be made (error " +
                  std::to_string(error) + "); changed items will be reported with old data unknown";
        return false;
    }
    folder_ = made;
    // Records of an earlier run would be taken for this one's.
    for (const std::wstring& stale : RecordFiles(folder_))
        ::DeleteFileW(stale.c_str());
    ::CreateDirectoryW(keptFolder().c_str(), nullptr);
    ::SetEnvironmentVariableW(capture::kStoreVariable, folder_.c_str());
    ::SetEnvironmentVariableW(capture::kWatchedFoldersVariable, Joined(watchedFolders).c_str());
    ::SetEnvironmentVariableW(capture::kFileCapVariable, std::to_wstring(fileCapBytes).c_str());
    return true;
}

StoreReading OldStateStore::Read() {
    StoreReading reading;
    if (!IsOpen())
        return reading;
    RecordCopies copies(keptFolder());
    for (const std::wstring& path : RecordFiles(folder_)) {
        ++reading.recordFiles;
        std::vector<std::uint8_t> bytes;
        const size_t first = reading.records.size();
        if (!ReadWhole(path, bytes)) {
            ++reading.damagedFiles;
        } else if (const size_t rest =
                       capture::DecodeOldStates(bytes.data(), bytes.size(), reading.records)) {
            ++reading.damagedFiles;
            reading.bytesPassedOver += rest;
        }
        ::DeleteFileW(path.c_str());
        // Written out file by file, so that no more than one record file's copies are held at once.
        for (size_t i = first; i < reading.records.size(); ++i)
            copies.WriteOut(reading.records[i]);
    }
    return reading;
}

std::wstring OldStateStore::keptFolder() const {
    return folder_.empty() ? std::wstring() : folder_ + L"\\" + capture::kStoreFilesFolder;
}

void OldStateStore::Close() {
    if (folder_.empty())
        return;
    NameNoStore();
    if (temporary_) {
        RemoveTree(folder_);
    } else {
        // A folder given for the kept copies stays only when it holds some.
        RemoveEmptyFolders(keptFolder());
        ::RemoveDirectoryW(keptFolder().c_str());
        ::RemoveDirectoryW(folder_.c_str());
    }
    folder_.clear();
    temporary_ = false;
}

std::string DescribeDamage(const StoreReading& reading) {
    if (reading.damagedFiles == 0)
        return std::string();
    const bool one = reading.damagedFiles == 1;
    return "old state: " + std::to_string(reading.damagedFiles) + " of " +
           std::to_string(reading.recordFiles) +
           (reading.recordFiles == 1 ? " record file " : " record files ") + (one ? "ends" : "end") +
           " in a torn or damaged record or cannot be read (" + std::to_string(reading.bytesPassedOver) +
           " bytes passed over); what " + (one ? "it" : "they") +
           " held from there is reported with old data unknown";
}

} // namespace track
