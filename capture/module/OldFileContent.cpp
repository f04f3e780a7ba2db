#include "capture/module/OldFileContent.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace capture {

namespace {

constexpr DWORD kChunkBytes = 64 * 1024;
// Names tried past the copies of an earlier process of the same id; each try is one failed create.
constexpr int kCopyNameAttempts = 4096;
constexpr int kLongestCapDigits = 20;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

uint64_t Join(DWORD high, DWORD low) {
    return (static_cast<uint64_t>(high) << 32) | low;
}

void Describe(OldStateRecord& record, DWORD attributes, uint64_t size, const FILETIME& lastWrite) {
    record.type = attributes;
    record.size = size;
    record.time = Join(lastWrite.dwHighDateTime, lastWrite.dwLowDateTime);
}

void Unknown(OldStateRecord& record, const wchar_t* what, DWORD error) {
    record.presence = OldPresence::Unknown;
    record.reason = std::wstring(what) + L" (error " + std::to_wstring(error) + L")";
}

constexpr const wchar_t* kNotRead = L"could not be read";
constexpr const wchar_t* kNotStored = L"could not be copied into the store";

// Copies `source`, read from its start, into a new copy file of the store.
void CopyInto(HANDLE source, FileStore& store, uint64_t cap, OldStateRecord& record, DWORD& storeError) {
    std::wstring name;
    DWORD error = 0;
    UniqueFile copy = store.Create(name, error);
    if (!copy) {
        storeError = error;
        Unknown(record, kNotStored, error);
        return;
    }
    const std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunkBytes]);
    uint64_t copied = 0;
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(source, chunk.get(), kChunkBytes, &read, nullptr)) {
            Unknown(record, kNotRead, ::GetLastError());
            break;
        }
        if (read == 0) {
            record.presence = OldPresence::Present;
            record.size = copied;
            break;
        }
        copied += read;
        if (copied > cap) { // it grew past the cap since it was looked at
            record.presence = OldPresence::TooLarge;
            break;
        }
        DWORD written = 0;
        const bool wrote = ::WriteFile(copy.get(), chunk.get(), read, &written, nullptr) != FALSE;
        if (!wrote || written != read) {
            storeError = wrote ? ERROR_WRITE_FAULT : ::GetLastError(); // a short write: the disk is full
            Unknown(record, kNotStored, storeError);
            break;
        }
    }
    copy.reset();
    if (record.presence == OldPresence::Present)
        record.name = name;
    else
        store.Discard(name);
}

enum class InRecord { Done, TooLong };

// Reads `source`, from its start, into the record: done with the record saying what came of it, or
// TooLong when the file has grown past what a record carries since its size was taken.
InRecord ReadIntoRecord(HANDLE source, uint64_t cap, OldStateRecord& record) {
    std::vector<uint8_t>& data = record.data;
    data.resize(kLargestCopyInRecord + 1);
    size_t taken = 0;
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(source, data.data() + taken, static_cast<DWORD>(data.size() - taken), &read,
                        nullptr)) {
            data.clear();
            Unknown(record, kNotRead, ::GetLastError());
            return InRecord::Done;
        }
        taken += read;
        if (read == 0 || taken == data.size())
            break;
    }
    data.resize(taken);
    if (taken > kLargestCopyInRecord) {
        data.clear();
        return InRecord::TooLong;
    }
    if (taken > cap) {
        data.clear();
        record.presence = OldPresence::TooLarge;
        return InRecord::Done;
    }
    record.presence = OldPresence::Present;
    record.size = taken;
    record.name = kCopyInRecord;
    return InRecord::Done;
}

bool Rewind(HANDLE source) {
    LARGE_INTEGER start{};
    return ::SetFilePointerEx(source, start, nullptr, FILE_BEGIN) != FALSE;
}

} // namespace

uint64_t ParseFileCap(const std::wstring& text) {
    if (text.empty() || text.size() > kLongestCapDigits)
        return kDefaultFileCap;
    uint64_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return kDefaultFileCap;
        const uint64_t digit = static_cast<uint64_t>(c - L'0');
        if (value > (UINT64_MAX - digit) / 10)
            return kDefaultFileCap;
        value = value * 10 + digit;
    }
    return value;
}

FileStore::FileStore(const std::wstring& store, DWORD processId)
    : folder_(store + L"\\" + kStoreFilesFolder), processId_(processId) {}

// A folder holds at most this many copies: under Wine, making a file costs a walk of its folder,
// which a store of one flat folder would pay for every copy made before.
constexpr LONG kCopiesPerFolder = 256;

bool FileStore::MakeFolder(const std::wstring& group, DWORD& error) {
    // Made by whichever process of the tree copies first; the others find it there.
    for (const std::wstring& folder : {folder_, folder_ + L"\\" + group}) {
        if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
            error = ::GetLastError();
            return false;
        }
    }
    return true;
}

UniqueFile FileStore::Create(std::wstring& name, DWORD& error) {
    const std::wstring process = std::to_wstring(processId_) + L"-";
    for (int attempt = 0; attempt < kCopyNameAttempts; ++attempt) {
        const LONG number = ::InterlockedIncrement(&next_) - 1;
        const std::wstring group = process + std::to_wstring(number / kCopiesPerFolder);
        name = group + L"\\" + process + std::to_wstring(number);
        const std::wstring path = folder_ + L"\\" + name;
        const auto createNew = [&] {
            return UniqueFile(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        };
        UniqueFile copy = createNew();
        if (!copy && ::GetLastError() == ERROR_PATH_NOT_FOUND) {
            if (!MakeFolder(group, error))
                return UniqueFile();
            copy = createNew();
        }
        if (copy)
            return copy;
        error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return UniqueFile();
    }
    error = ERROR_FILE_EXISTS;
    return UniqueFile();
}

void FileStore::Discard(const std::wstring& name) {
    ::DeleteFileW((folder_ + L"\\" + name).c_str());
}

bool FileStore::TakeRecordRoom(uint32_t bytes) {
    const LONG asked = static_cast<LONG>(bytes);
    if (::InterlockedExchangeAdd(&recordBytes_, asked) + asked <= kRecordCopyBytes)
        return true;
    ::InterlockedExchangeAdd(&recordBytes_, -asked);
    return false;
}

FileLook LookAt(const std::wstring& path) {
    FileLook look;
    if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &look.data)) {
        look.what = (look.data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileLook::Directory
                                                                                 : FileLook::File;
        return look;
    }
    look.error = ::GetLastError();
    switch (look.error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        look.what = FileLook::Absent;
        break;
    case ERROR_INVALID_NAME: // no file can have such a name: the call fails as well
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
        look.what = FileLook::Unnamable;
        break;
    default:
        look.what = FileLook::Unreadable;
        break;
    }
    return look;
}

OldStateRecord KeepOldContent(const std::wstring& path, const FileLook& look, FileStore& store, uint64_t cap,
                              DWORD& storeError) {
    OldStateRecord record;
    record.kind = OldStateKind::File;
    Describe(record, look.data.dwFileAttributes, Join(look.data.nFileSizeHigh, look.data.nFileSizeLow),
             look.data.ftLastWriteTime);
    const UniqueFile source(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source) {
        Unknown(record, kNotRead, ::GetLastError());
        return record;
    }
    // Size and time as the handle that is copied from sees them. Not GetFileInformationByHandle: for
    // the volume's serial number it asks the volume, which under Wine costs more than the whole copy.
    LARGE_INTEGER size;
    FILETIME lastWrite;
    if (::GetFileSizeEx(source.get(), &size) && ::GetFileTime(source.get(), nullptr, nullptr, &lastWrite))
        Describe(record, look.data.dwFileAttributes, static_cast<uint64_t>(size.QuadPart), lastWrite);
    if (record.size > cap) {
        record.presence = OldPresence::TooLarge;
        return record;
    }
    if (record.size <= kLargestCopyInRecord && store.TakeRecordRoom(static_cast<uint32_t>(record.size))) {
        if (ReadIntoRecord(source.get(), cap, record) == InRecord::Done)
            return record;
        if (!Rewind(source.get())) {
            Unknown(record, kNotRead, ::GetLastError());
            return record;
        }
    }
    CopyInto(source.get(), store, cap, record, storeError);
    return record;
}

} // namespace capture
