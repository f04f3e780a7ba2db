#include "host/track/run/LiveState.h"

#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "common/Wow64.h"

namespace track {

namespace {

constexpr DWORD kLargestValueRead = 256u * 1024 * 1024; // far past anything a setup writes
constexpr int kReadAttempts = 3;                        // a value may grow between two queries
constexpr DWORD kFirstReadBytes = 512;                  // most values fit: one query reads them

struct RootName {
    const wchar_t* name;
    HKEY root;
};

const RootName kRoots[] = {
    {L"HKLM", HKEY_LOCAL_MACHINE}, {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKCU", HKEY_CURRENT_USER},  {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKCR", HKEY_CLASSES_ROOT},  {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKEY_USERS", HKEY_USERS},   {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

// Opens a key named as the log names it; an unknown root is refused as a bad parameter.
LSTATUS OpenKey(const std::wstring& path, REGSAM access, UniqueKey& key) {
    const size_t separator = path.find(L'\\');
    const std::wstring root = path.substr(0, separator);
    const std::wstring subKey = separator == std::wstring::npos ? std::wstring() : path.substr(separator + 1);
    for (const RootName& candidate : kRoots) {
        if (::lstrcmpiW(root.c_str(), candidate.name) != 0)
            continue;
        HKEY opened = nullptr;
        const LSTATUS status =
            ::RegOpenKeyExW(candidate.root, subKey.c_str(), 0, access | KEY_WOW64_64KEY, &opened);
        if (status == ERROR_SUCCESS)
            key.reset(opened);
        return status;
    }
    return ERROR_INVALID_PARAMETER;
}

bool IsAbsoluteDosPath(const std::wstring& path) {
    const bool drive = path.size() >= 3 && path[1] == L':' && path[2] == L'\\' &&
                       ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
    return drive || path.compare(0, 2, L"\\\\") == 0;
}

// A path past MAX_PATH reaches the file only in its "\\?\" form.
std::wstring ApiPath(const std::wstring& path) {
    if (path.size() < MAX_PATH || path.compare(0, 4, L"\\\\?\\") == 0)
        return path;
    if (path.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

} // namespace

LSTATUS LiveState::OpenForReading(const std::wstring& keyPath, HKEY& key) {
    if (!open_ || keyPath != openPath_) {
        open_.reset();
        const LSTATUS status = OpenKey(keyPath, KEY_QUERY_VALUE, open_);
        if (status != ERROR_SUCCESS)
            return status; // not kept: the key may be there at the next read
        openPath_ = keyPath;
    }
    key = open_.get();
    return ERROR_SUCCESS;
}

CurrentValue LiveState::ReadValue(const std::wstring& keyPath, const std::wstring& name) {
    CurrentValue value;
    HKEY key = nullptr;
    DWORD type = 0, size = 0;
    value.bytes.resize(kFirstReadBytes);
    LSTATUS status = ERROR_KEY_DELETED;
    // The key kept open may have been deleted since, and perhaps made again: once more through a new
    // handle.
    for (int open = 0; open < 2 && status == ERROR_KEY_DELETED; ++open) {
        if (open > 0)
            open_.reset();
        size = kFirstReadBytes;
        status = OpenForReading(keyPath, key);
        if (status == ERROR_SUCCESS)
            status = ::RegQueryValueExW(key, name.c_str(), nullptr, &type, value.bytes.data(), &size);
    }
    // A value larger than the first read asks for its size; it may grow between two queries.
    for (int attempt = 0; attempt < kReadAttempts && status == ERROR_MORE_DATA; ++attempt) {
        if (size > kLargestValueRead)
            break;
        value.bytes.resize(size);
        status = ::RegQueryValueExW(key, name.c_str(), nullptr, &type,
                                    value.bytes.empty() ? nullptr : value.bytes.data(), &size);
    }
    if (status == ERROR_SUCCESS) {
        value.bytes.resize(size);
        value.type = type;
        value.state = CurrentValue::State::Present;
        return value;
    }
    value.bytes.clear();
    if (status == ERROR_FILE_NOT_FOUND)
        value.state = CurrentValue::State::Absent;
    return value;
}

Presence LiveState::Key(const std::wstring& keyPath) {
    UniqueKey key;
    switch (OpenKey(keyPath, KEY_QUERY_VALUE, key)) {
    case ERROR_SUCCESS:
    case ERROR_ACCESS_DENIED:
        return Presence::Exists;
    case ERROR_FILE_NOT_FOUND:
        return Presence::Gone;
    default:
        return Presence::Unknown;
    }
}

CurrentFile LiveState::File(const std::wstring& path) {
    CurrentFile file;
    if (!IsAbsoluteDosPath(path))
        return file;
    const Wow64RedirectionOff nativePaths;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(ApiPath(path).c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            file.presence = Presence::Gone;
        return file;
    }
    file.presence = Presence::Exists;
    file.facts.exists = true;
    file.facts.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    file.facts.writeTime = (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime;
    file.facts.attributes = data.dwFileAttributes;
    return file;
}

} // namespace track
