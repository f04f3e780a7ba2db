// A test fixture: the program whose file changes the capture keeps the old content of. It runs the
// operations its command line lists, one after another, through the Win32 calls a setup uses:
//   file-old-state-child.exe RESULTS OP ARG... [OP ARG...]...
// and writes one line per operation to RESULTS: "<op> <succeeded 0|1> <last error>" (for the
// operations that call ntdll itself, "nt-...", the status instead of the last error). Before each
// operation the last error is set to a mark of its own, so that a call that leaves it alone on
// success shows the mark, and a capture that changed it shows the change.
#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <shellapi.h>
#include <winternl.h>

#include <string>
#include <vector>

namespace {

constexpr DWORD kLastErrorMark = 0x20001234; // bit 29: an application's own code
constexpr int kUsage = 2;

struct Outcome {
    bool succeeded;
    DWORD lastError;
};

Outcome Finish(bool succeeded) {
    return Outcome{succeeded, ::GetLastError()};
}

const char kWritten[] = "written by the setup";

bool WriteThrough(HANDLE file) {
    DWORD written = 0;
    return ::WriteFile(file, kWritten, sizeof kWritten - 1, &written, nullptr) &&
           written == sizeof kWritten - 1;
}

// Opens `path` as `disposition` asks, writing through the handle when it opened; the outcome is the
// open's, read right after it.
Outcome OpenAndWrite(const std::wstring& path, DWORD access, DWORD disposition) {
    const UniqueFile file(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    const Outcome outcome = Finish(file.valid());
    if (file && (access & GENERIC_WRITE) != 0 && !WriteThrough(file.get()))
        return Outcome{false, ::GetLastError()};
    return outcome;
}

// Deletes `path` while this program holds it open, sharing nothing: the delete fails.
Outcome DeleteWhileHeld(const std::wstring& path) {
    const UniqueFile held(
        ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held)
        return Outcome{false, 0xFFFFFFFF};
    ::SetLastError(kLastErrorMark);
    return Finish(::DeleteFileW(path.c_str()) != FALSE);
}

// ntdll's own entries, for what the Win32 layer never passes: a name relative to a folder's handle,
// a name the program cannot read, NtDeleteFile. Their outcome is the status.
typedef NTSTATUS(NTAPI NtCreateFileFunction)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                             PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
typedef NTSTATUS(NTAPI NtDeleteFileFunction)(POBJECT_ATTRIBUTES);

template <typename Function>
Function* Ntdll(const char* name) {
    return reinterpret_cast<Function*>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name)));
}

Outcome FromStatus(NTSTATUS status) {
    return Outcome{status >= 0, static_cast<DWORD>(status)};
}

UNICODE_STRING Counted(const std::wstring& text) {
    UNICODE_STRING counted;
    counted.Buffer = const_cast<wchar_t*>(text.c_str());
    counted.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    counted.MaximumLength = counted.Length;
    return counted;
}

// Overwrites `name` below `folder`, named relative to the folder's handle.
Outcome OverwriteRelative(const std::wstring& folder, const std::wstring& name) {
    const UniqueFile opened(::CreateFileW(folder.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!opened)
        return Outcome{false, 0xFFFFFFFF};
    UNICODE_STRING counted = Counted(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, opened.get(), nullptr);
    HANDLE file = nullptr;
    IO_STATUS_BLOCK io;
    const NTSTATUS status = Ntdll<NtCreateFileFunction>("NtCreateFile")(
        &file, GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0,
        FILE_OVERWRITE, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    const UniqueFile owner(status >= 0 ? file : nullptr);
    return FromStatus(status);
}

// Asks to overwrite a file whose name lies in memory that is reserved but not there to read.
Outcome OverwriteUnreadableName() {
    void* reserved = ::VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
    UNICODE_STRING counted;
    counted.Buffer = static_cast<wchar_t*>(reserved);
    counted.Length = counted.MaximumLength = 64;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE file = nullptr;
    IO_STATUS_BLOCK io;
    const NTSTATUS status = Ntdll<NtCreateFileFunction>("NtCreateFile")(
        &file, GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0,
        FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    ::VirtualFree(reserved, 0, MEM_RELEASE);
    return FromStatus(status);
}

Outcome NtDelete(const std::wstring& path) {
    const std::wstring name = L"\\??\\" + path;
    UNICODE_STRING counted = Counted(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return FromStatus(Ntdll<NtDeleteFileFunction>("NtDeleteFile")(&attributes));
}

// One operation at args[at]: its outcome, and how many arguments it took (0 for an unknown one).
Outcome Run(const std::vector<std::wstring>& args, size_t at, size_t& taken) {
    const std::wstring& op = args[at];
    const bool hasOne = at + 1 < args.size(), hasTwo = at + 2 < args.size();
    taken = 1;
    ::SetLastError(kLastErrorMark);
    if (op == L"nt-unreadable-name")
        return OverwriteUnreadableName();
    taken = 2;
    if (op == L"create-always" && hasOne)
        return OpenAndWrite(args[at + 1], GENERIC_WRITE, CREATE_ALWAYS);
    if (op == L"create-new" && hasOne)
        return OpenAndWrite(args[at + 1], GENERIC_WRITE, CREATE_NEW);
    if (op == L"truncate" && hasOne)
        return OpenAndWrite(args[at + 1], GENERIC_WRITE, TRUNCATE_EXISTING);
    if (op == L"write" && hasOne)
        return OpenAndWrite(args[at + 1], GENERIC_WRITE, OPEN_EXISTING);
    if (op == L"read" && hasOne)
        return OpenAndWrite(args[at + 1], GENERIC_READ, OPEN_EXISTING);
    if (op == L"ini" && hasOne)
        return Finish(::WritePrivateProfileStringW(L"Setup", L"Added", L"yes", args[at + 1].c_str()) !=
                      FALSE);
    if (op == L"delete" && hasOne)
        return Finish(::DeleteFileW(args[at + 1].c_str()) != FALSE);
    if (op == L"delete-held" && hasOne)
        return DeleteWhileHeld(args[at + 1]);
    if (op == L"nt-delete" && hasOne)
        return NtDelete(args[at + 1]);
    taken = 3;
    if (op == L"move" && hasTwo)
        return Finish(::MoveFileExW(args[at + 1].c_str(), args[at + 2].c_str(), 0) != FALSE);
    if (op == L"move-replace" && hasTwo)
        return Finish(::MoveFileExW(args[at + 1].c_str(), args[at + 2].c_str(), MOVEFILE_REPLACE_EXISTING) !=
                      FALSE);
    if (op == L"nt-relative" && hasTwo)
        return OverwriteRelative(args[at + 1], args[at + 2]);
    taken = 0;
    return Outcome{false, 0};
}

bool WriteResults(const std::wstring& path, const std::string& text) {
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

} // namespace

int main() {
    int count = 0;
    LPWSTR* given = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (given == nullptr || count < 3)
        return kUsage;
    const std::vector<std::wstring> args(given + 1, given + count);
    ::LocalFree(given);
    std::string results;
    for (size_t at = 1; at < args.size();) {
        size_t taken = 0;
        const Outcome outcome = Run(args, at, taken);
        if (taken == 0)
            return kUsage;
        results += std::string(args[at].begin(), args[at].end()) + " " + (outcome.succeeded ? "1" : "0") +
                   " " + std::to_string(outcome.lastError) + "\n";
        at += taken;
    }
    return WriteResults(args[0], results) ? 0 : 1;
}
