// A stand-in setup for the reactos lane that reports on its own process: whether the registry
// capture DLL was loaded into it, and whether the ntdll entries the capture would hook still begin
// as ntdll.dll on disk has them. Where the driver's callback logs every process, the capture is
// loaded and logs nothing of its own: it hooks nothing, or, when the tracker gave it a store for
// the old state of what the setup changes, it hooks the registry calls for that alone. It then
// writes two values, as a setup would, for the tracker to report: they can come from the driver's
// callback alone, since the driver takes no line from anyone else while its callback is active;
// and the tracker's ring must hold no line of the capture's afterwards.
//
// With a store, every entry the capture hooks in ntdll, kernel32 and advapi32 must hold a hook: the
// probe counts, per library, the entries that begin with a jump that the file on disk does not have
// (a jmp rel32, or the short jump back of the hot-patch form) and names those that do not.
//
// Exit status: 0 when the capture DLL is loaded and logs nothing of its own, 1 when an entry was
// changed without a store or the capture put a line into the ring, 2 when the capture DLL is not
// loaded, 3 when the probe itself could not look.
//
// With --folders it only prints the shell's folders that the tracked setups install into, as
// "folder NAME=PATH", for the host's expectations.
#include "capture/CaptureRing.h"
#include "capture/OldState.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr size_t kComparedBytes = 8;
const char* const kEntries[] = {"NtSetValueKey", "NtDeleteKey", "NtCreateUserProcess"};

// What the capture hooks where it keeps old state. New processes are followed through ntdll's
// NtCreateUserProcess where there is one, and through kernel32's CreateProcessInternalW before it.
const char* const kNtdllHooks[] = {"NtSetValueKey",        "NtDeleteKey",  "NtDeleteValueKey",
                                   "NtCreateKey",          "NtClose",      "NtDuplicateObject",
                                   "NtRenameKey",          "NtCreateFile", "NtOpenFile",
                                   "NtSetInformationFile", "NtDeleteFile"};
const char* const kAdvapiHooks[] = {"OpenServiceW",          "OpenServiceA",          "CreateServiceW",
                                    "CreateServiceA",        "ChangeServiceConfigW",  "ChangeServiceConfigA",
                                    "ChangeServiceConfig2W", "ChangeServiceConfig2A", "DeleteService"};

std::vector<unsigned char> ReadFileBytes(const std::string& path) {
    UniqueFile file(
        ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<unsigned char> bytes;
    if (!file)
        return bytes;
    const DWORD size = ::GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE)
        return bytes;
    bytes.resize(size);
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes.data(), size, &read, nullptr) || read != size)
        bytes.clear();
    return bytes;
}

// The image as a file: its headers, and a relative address turned into a file offset.
class ImageFile {
public:
    explicit ImageFile(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {
        if (bytes_.size() < sizeof(IMAGE_DOS_HEADER))
            return;
        IMAGE_DOS_HEADER dos;
        std::memcpy(&dos, bytes_.data(), sizeof dos);
        if (dos.e_magic != IMAGE_DOS_SIGNATURE ||
            size_t(dos.e_lfanew) + sizeof(IMAGE_NT_HEADERS) > bytes_.size())
            return;
        std::memcpy(&headers_, bytes_.data() + dos.e_lfanew, sizeof headers_);
        sections_ = size_t(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS, OptionalHeader) +
                    headers_.FileHeader.SizeOfOptionalHeader;
        valid_ =
            headers_.Signature == IMAGE_NT_SIGNATURE &&
            sections_ + headers_.FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER) <= bytes_.size();
    }

    // The file's bytes at a relative address, or null when it lies in no section's file data.
    const unsigned char* At(DWORD rva, size_t length) const {
        for (WORD i = 0; valid_ && i < headers_.FileHeader.NumberOfSections; ++i) {
            IMAGE_SECTION_HEADER section;
            std::memcpy(&section, bytes_.data() + sections_ + i * sizeof section, sizeof section);
            if (rva < section.VirtualAddress || rva - section.VirtualAddress >= section.SizeOfRawData)
                continue;
            const size_t offset = size_t(section.PointerToRawData) + (rva - section.VirtualAddress);
            return offset + length <= bytes_.size() ? bytes_.data() + offset : nullptr;
        }
        return nullptr;
    }

    // The relative address of an export by name; 0 when there is none.
    DWORD Export(const char* name) const {
        if (!valid_)
            return 0;
        const IMAGE_DATA_DIRECTORY directory =
            headers_.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        const unsigned char* table = At(directory.VirtualAddress, sizeof(IMAGE_EXPORT_DIRECTORY));
        if (table == nullptr)
            return 0;
        IMAGE_EXPORT_DIRECTORY exports;
        std::memcpy(&exports, table, sizeof exports);
        for (DWORD i = 0; i < exports.NumberOfNames; ++i) {
            DWORD nameRva = 0;
            WORD ordinal = 0;
            DWORD function = 0;
            const unsigned char* names = At(exports.AddressOfNames + i * 4, 4);
            const unsigned char* ordinals = At(exports.AddressOfNameOrdinals + i * 2, 2);
            if (names == nullptr || ordinals == nullptr)
                return 0;
            std::memcpy(&nameRva, names, 4);
            std::memcpy(&ordinal, ordinals, 2);
            const unsigned char* text = At(nameRva, std::strlen(name) + 1);
            if (text == nullptr || std::memcmp(text, name, std::strlen(name) + 1) != 0)
                continue;
            const unsigned char* functions = At(exports.AddressOfFunctions + ordinal * 4u, 4);
            if (functions == nullptr)
                return 0;
            std::memcpy(&function, functions, 4);
            return function;
        }
        return 0;
    }

private:
    std::vector<unsigned char> bytes_;
    IMAGE_NT_HEADERS headers_{};
    size_t sections_ = 0;
    bool valid_ = false;
};

std::string SystemFile(const char* name) {
    char system[MAX_PATH];
    const UINT length = ::GetSystemDirectoryA(system, sizeof system);
    return std::string(system, length < sizeof system ? length : 0) + "\\" + name;
}

// A jump at the entry that the file on disk does not have there.
bool Hooked(const unsigned char* live, const unsigned char* onDisk) {
    const bool jump = live[0] == 0xe9 && onDisk[0] != 0xe9;
    const bool hotPatched = live[0] == 0xeb && live[1] == 0xf9 && onDisk[0] == 0x8b && onDisk[1] == 0xff;
    return jump || hotPatched;
}

// Where the hook lies and what it replaced: which way it could go in depends on both.
void PrintEntry(const char* library, const char* name, const unsigned char* live,
                const unsigned char* onDisk) {
    std::string replaced;
    for (size_t i = 0; i < kComparedBytes; ++i) {
        char hex[8];
        std::snprintf(hex, sizeof hex, " %02x", onDisk[i]);
        replaced += hex;
    }
    std::printf("hook-probe: %s!%s: hooked (%s, entry at %u mod 16; on disk%s)\n", library, name,
                live[0] == 0xeb ? "hot-patch form" : "jump at the entry",
                unsigned(reinterpret_cast<uintptr_t>(live) % 16), replaced.c_str());
}

// Prints how many of the entries are hooked in the library, and names each that is not.
void CountHooks(const char* library, const std::vector<const char*>& entries) {
    const HMODULE module = ::GetModuleHandleA(library);
    const ImageFile onDisk(ReadFileBytes(SystemFile(library)));
    int installed = 0;
    int refused = 0;
    for (const char* name : entries) {
        const auto* live = reinterpret_cast<const unsigned char*>(
            module == nullptr ? nullptr : reinterpret_cast<void*>(::GetProcAddress(module, name)));
        const DWORD rva = DWORD(reinterpret_cast<uintptr_t>(live) - reinterpret_cast<uintptr_t>(module));
        const unsigned char* original =
            live != nullptr && rva == onDisk.Export(name) ? onDisk.At(rva, kComparedBytes) : nullptr;
        if (original != nullptr && Hooked(live, original)) {
            ++installed;
            PrintEntry(library, name, live, original);
            continue;
        }
        ++refused;
        std::printf("hook-probe: %s!%s: not hooked (%s)\n", library, name,
                    original == nullptr ? "not found in the library or on disk" : "its entry is as on disk");
    }
    std::printf("hook-probe: hooks in %s: %d installed, %d refused\n", library, installed, refused);
}

void CountAllHooks(HMODULE ntdll) {
    std::vector<const char*> ntdllHooks(std::begin(kNtdllHooks), std::end(kNtdllHooks));
    std::vector<const char*> kernel32Hooks;
    if (::GetProcAddress(ntdll, "NtCreateUserProcess") != nullptr)
        ntdllHooks.push_back("NtCreateUserProcess");
    else
        kernel32Hooks.push_back("CreateProcessInternalW");
    CountHooks("ntdll.dll", ntdllHooks);
    CountHooks("kernel32.dll", kernel32Hooks);
    CountHooks("advapi32.dll", std::vector<const char*>(std::begin(kAdvapiHooks), std::end(kAdvapiHooks)));
}

void WriteValue(HKEY root, const char* rootName) {
    HKEY key = nullptr;
    const DWORD one = 1;
    LONG result = ::RegCreateKeyExA(root, "Software\\OrvaneProbe", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    &key, nullptr);
    if (result == ERROR_SUCCESS) {
        UniqueKey owner(key);
        result =
            ::RegSetValueExA(key, "Written", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    }
    std::printf("hook-probe: %s\\Software\\OrvaneProbe\\Written: %ld\n", rootName, result);
}

// The lines put into the tracker's ring so far; -1 when there is no ring to read.
long RingLines() {
    wchar_t name[MAX_PATH];
    const DWORD length = ::GetEnvironmentVariableW(capture::kRingVariable, name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return -1;
    const UniqueHandle mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, name));
    if (!mapping)
        return -1;
    const void* view = ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(capture::RingHeader));
    if (view == nullptr)
        return -1;
    const long lines = static_cast<const capture::RingHeader*>(view)->reserved;
    ::UnmapViewOfFile(view);
    return lines;
}

bool KeepsOldState() {
    wchar_t store[MAX_PATH];
    const DWORD length = ::GetEnvironmentVariableW(capture::kStoreVariable, store, MAX_PATH);
    return length > 0 && length < MAX_PATH;
}

int PrintFolders() {
    const struct {
        const char* name;
        int id;
    } kFolders[] = {{"ProgramFiles", CSIDL_PROGRAM_FILES},
                    {"CommonDesktop", CSIDL_COMMON_DESKTOPDIRECTORY},
                    {"CommonStartMenu", CSIDL_COMMON_STARTMENU},
                    {"CommonPrograms", CSIDL_COMMON_PROGRAMS},
                    {"System", CSIDL_SYSTEM}};
    int status = 0;
    for (const auto& folder : kFolders) {
        char path[MAX_PATH];
        if (FAILED(::SHGetFolderPathA(nullptr, folder.id, nullptr, SHGFP_TYPE_CURRENT, path))) {
            status = 3;
            continue;
        }
        std::printf("folder %s=%s\n", folder.name, path);
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--folders") == 0)
        return PrintFolders();
    const bool captureLoaded = ::GetModuleHandleA("orvane-capture32.dll") != nullptr;
    std::printf("hook-probe: the capture DLL is %s\n", captureLoaded ? "loaded" : "not loaded");
    const ImageFile onDisk(ReadFileBytes(SystemFile("ntdll.dll")));
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    int status = captureLoaded ? 0 : 2;
    const bool oldState = KeepsOldState();
    std::printf("hook-probe: the tracker %s a store for old state\n", oldState ? "gave" : "gave no");
    for (const char* name : kEntries) {
        const FARPROC live = ::GetProcAddress(ntdll, name);
        if (live == nullptr) {
            std::printf("hook-probe: %s: not exported here\n", name);
            continue;
        }
        const DWORD rva = DWORD(reinterpret_cast<const unsigned char*>(live) -
                                reinterpret_cast<const unsigned char*>(ntdll));
        const unsigned char* original = rva == onDisk.Export(name) ? onDisk.At(rva, kComparedBytes) : nullptr;
        if (original == nullptr) {
            std::printf("hook-probe: %s: not found in ntdll.dll on disk\n", name);
            status = 3;
            continue;
        }
        unsigned char current[kComparedBytes];
        std::memcpy(current, reinterpret_cast<const void*>(live), sizeof current);
        const bool untouched = std::memcmp(current, original, kComparedBytes) == 0;
        std::printf("hook-probe: %s: %s (first byte %02x, on disk %02x)\n", name,
                    untouched ? "untouched" : "CHANGED", current[0], original[0]);
        if (!untouched && !oldState)
            status = 1;
    }
    // The lane judges the counts from the lines printed.
    if (oldState)
        CountAllHooks(ntdll);
    WriteValue(HKEY_LOCAL_MACHINE, "HKLM");
    WriteValue(HKEY_CURRENT_USER, "HKCU");
    const long lines = RingLines();
    std::printf("hook-probe: lines the capture put into the tracker's ring: %ld\n", lines);
    if (lines > 0)
        status = 1;
    if (status == 0)
        std::printf("hook-probe: the capture logs nothing of its own\n");
    std::fflush(stdout);
    return status;
}
