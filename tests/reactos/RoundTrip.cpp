// reactos_round_trip: the guest's half of the undo's round trip on the reactos lane.
//
//   reactos_round_trip prepare            makes what the NSIS test installer's /EXISTING run changes:
//                                         a Path, a value of each type, a Run entry, a value and a key
//                                         tree it deletes, files below Common Files and an INI file
//   reactos_round_trip snapshot FILE      writes the machine's state to FILE, one entry a line:
//                                         "<entry>\t<digest>", UTF-8
//
// The snapshot holds every key and value of HKLM\Software, HKLM\System\CurrentControlSet\Services
// and HKCU (a value's digest covers its type and data), and every folder and file of the system
// drive (a file's digest covers its bytes; a file it cannot read, or one larger than 64 KiB, is
// digested by its size and last write time: the setups under test write small files, the undo puts
// a file back with its old write time, and every byte read is paid for under QEMU's emulation). The
// lane's host compares the snapshots taken before a tracked setup, after it, and after its undo
// script (tests/reactos/round_trip.py). Exit status: 0 when done, 1 when
// the state could not be made or written, 2 for a bad command line.
#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr ULONGLONG kLargestDigested = 64 << 10;

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(size > 0 ? size : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

// FNV-1a, 64 bits: a digest to compare with, not to protect anything.
class Digest {
public:
    void Add(const void* data, size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; ++i)
            value_ = (value_ ^ bytes[i]) * 1099511628211ull;
    }
    std::string Text() const {
        char text[17];
        std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value_));
        return text;
    }

private:
    unsigned long long value_ = 14695981039346656037ull;
};

// Keeps the snapshot in memory and writes it once: a write per entry cost the lane more than the walk.
class SnapshotWriter {
public:
    void Entry(const std::wstring& entry, const std::string& digest) {
        text_ += Utf8(entry) + "\t" + digest + "\r\n";
    }
    bool WriteTo(const std::wstring& path) const {
        UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        return file && ::WriteFile(file.get(), text_.data(), DWORD(text_.size()), &written, nullptr) &&
               written == text_.size();
    }

private:
    std::string text_;
};

void SnapshotKey(SnapshotWriter& out, HKEY parent, const std::wstring& subKey, const std::wstring& shown) {
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(parent, subKey.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) {
        out.Entry(shown + L"\\", "unreadable");
        return;
    }
    UniqueKey key(raw);
    out.Entry(shown + L"\\", "key");
    // On the heap: the walk recurses as deep as the registry goes.
    std::vector<BYTE> data(1 << 16);
    std::vector<wchar_t> name(16384);
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = DWORD(name.size()), type = 0, size = DWORD(data.size());
        LONG result =
            ::RegEnumValueW(key.get(), index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        if (result == ERROR_MORE_DATA) {
            data.resize(size);
            nameLength = DWORD(name.size());
            result = ::RegEnumValueW(key.get(), index, name.data(), &nameLength, nullptr, &type, data.data(),
                                     &size);
        }
        if (result != ERROR_SUCCESS)
            break;
        Digest digest;
        digest.Add(data.data(), size);
        out.Entry(shown + L" :: " + std::wstring(name.data(), nameLength),
                  std::to_string(type) + ":" + std::to_string(size) + ":" + digest.Text());
    }
    std::vector<std::wstring> children;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (::RegEnumKeyExW(key.get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        children.emplace_back(name, nameLength);
    }
    for (const std::wstring& child : children)
        SnapshotKey(out, key.get(), child, shown + L"\\" + child);
}

std::string FileDigest(const std::wstring& path, const WIN32_FIND_DATAW& found) {
    const ULONGLONG size = (ULONGLONG(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    const ULONGLONG time =
        (ULONGLONG(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime;
    const std::string bySize = std::to_string(size) + ":t" + std::to_string(time);
    if (size > kLargestDigested)
        return bySize;
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return bySize;
    Digest digest;
    std::vector<char> buffer(1 << 16);
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer.data(), DWORD(buffer.size()), &read, nullptr) && read > 0)
        digest.Add(buffer.data(), read);
    return std::to_string(size) + ":" + digest.Text();
}

void SnapshotFolder(SnapshotWriter& out, const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find)
        return;
    std::vector<std::wstring> subfolders;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring path = folder + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out.Entry(path + L"\\", "folder");
            subfolders.push_back(path);
        } else {
            out.Entry(path, FileDigest(path, found));
        }
    } while (::FindNextFileW(find.get(), &found));
    for (const std::wstring& subfolder : subfolders)
        SnapshotFolder(out, subfolder);
}

int Snapshot(const std::wstring& target) {
    const DWORD start = ::GetTickCount();
    SnapshotWriter out;
    SnapshotKey(out, HKEY_LOCAL_MACHINE, L"Software", L"HKLM\\Software");
    SnapshotKey(out, HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services",
                L"HKLM\\System\\CurrentControlSet\\Services");
    SnapshotKey(out, HKEY_CURRENT_USER, L"", L"HKCU");
    wchar_t windows[MAX_PATH];
    const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
    if (length < 2 || length >= MAX_PATH)
        return 1;
    const DWORD registryDone = ::GetTickCount();
    SnapshotFolder(out, std::wstring(windows, 2));
    std::printf("snapshot: %s: the registry in %.1f s, the system drive in %.1f s\n", Utf8(target).c_str(),
                (registryDone - start) / 1000.0, (::GetTickCount() - registryDone) / 1000.0);
    return out.WriteTo(target) ? 0 : 1;
}

// ---- the state the installer's /EXISTING run changes --------------------------------------------

bool SetValue(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD type, const void* data,
              size_t size) {
    HKEY raw = nullptr;
    if (::RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &raw, nullptr) !=
        ERROR_SUCCESS)
        return false;
    UniqueKey key(raw);
    return ::RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), DWORD(size)) ==
           ERROR_SUCCESS;
}

bool SetText(HKEY root, const wchar_t* subKey, const wchar_t* name, const wchar_t* text,
             DWORD type = REG_SZ) {
    return SetValue(root, subKey, name, type, text, (std::wcslen(text) + 1) * sizeof(wchar_t));
}

bool WriteFileText(const std::wstring& path, const char* text) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), text, DWORD(std::strlen(text)), &written, nullptr);
}

bool PrepareRegistry() {
    const wchar_t* shared = L"Software\\OrvaneTestShared";
    const wchar_t list[] = L"one\0two\0";
    const BYTE blob[] = {0xaa, 0xbb, 0xcc}, marker[] = {1, 2, 3}, wide[] = {1, 2, 3, 4, 5, 6, 7, 8};
    const DWORD number = 1, level = 3;
    const BYTE odd = 1;
    return SetText(HKEY_CURRENT_USER, L"Environment", L"Path", L"C:\\old-tools", REG_EXPAND_SZ) &&
           SetText(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"OrvaneShared",
                   L"old run entry") &&
           SetText(HKEY_LOCAL_MACHINE, shared, L"Text", L"old text") &&
           SetText(HKEY_LOCAL_MACHINE, shared, L"Expand", L"%TEMP%\\old", REG_EXPAND_SZ) &&
           SetValue(HKEY_LOCAL_MACHINE, shared, L"List", REG_MULTI_SZ, list, sizeof list) &&
           SetValue(HKEY_LOCAL_MACHINE, shared, L"Blob", REG_BINARY, blob, sizeof blob) &&
           SetValue(HKEY_LOCAL_MACHINE, shared, L"Number", REG_DWORD, &number, sizeof number) &&
           SetValue(HKEY_LOCAL_MACHINE, shared, L"Marker", REG_NONE, marker, sizeof marker) &&
           SetValue(HKEY_LOCAL_MACHINE, shared, L"Wide", REG_QWORD, wide, sizeof wide) &&
           SetText(HKEY_LOCAL_MACHINE, shared, L"Obsolete", L"to be deleted") &&
           SetText(HKEY_LOCAL_MACHINE, L"Software\\OrvaneTestShared\\OldPlugin", L"Name", L"old plugin") &&
           SetValue(HKEY_LOCAL_MACHINE, L"Software\\OrvaneTestShared\\OldPlugin\\Settings", L"Level",
                    REG_DWORD, &level, sizeof level) &&
           SetValue(HKEY_LOCAL_MACHINE, L"Software\\OrvaneTestShared\\OldPlugin\\Settings", L"Odd",
                    REG_BINARY, &odd, sizeof odd);
}

bool PrepareFiles() {
    wchar_t common[MAX_PATH], windows[MAX_PATH];
    if (FAILED(
            ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, SHGFP_TYPE_CURRENT, common)) ||
        ::GetWindowsDirectoryW(windows, MAX_PATH) == 0)
        return false;
    const std::wstring folder = std::wstring(common) + L"\\OrvaneShared";
    ::CreateDirectoryW(common, nullptr);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    return WriteFileText(folder + L"\\shared.dll", "the shared library as the machine had it\r\n") &&
           WriteFileText(folder + L"\\current.cfg", "setting=old\r\n") &&
           WriteFileText(folder + L"\\obsolete.txt", "a file the setup deletes\r\n") &&
           WriteFileText(std::wstring(windows) + L"\\orvane-shared.ini", "[Settings]\r\nColour=blue\r\n");
}

int Usage() {
    std::fprintf(stderr, "usage: reactos_round_trip prepare\n       reactos_round_trip snapshot FILE\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "prepare" && argc == 2) {
        if (PrepareRegistry() && PrepareFiles())
            return 0;
        std::fprintf(stderr, "reactos_round_trip: the existing state could not be made (error %lu)\n",
                     static_cast<unsigned long>(::GetLastError()));
        return 1;
    }
    if (mode == "snapshot" && argc == 3) {
        // The lane names its snapshots in ASCII, below the payload folder.
        const std::string target = argv[2];
        return Snapshot(std::wstring(target.begin(), target.end()));
    }
    return Usage();
}
