// The setup of the registry old-state tests: a program that changes the registry below a test key
// the test prepared, as a setup would, and writes what each call answered to a transcript, so
// that a run with the capture in it can be compared with a run without.
//   registry-old-state-child.exe SCENARIO SUBKEY TRANSCRIPT [TEXT]
// SUBKEY is below HKEY_CURRENT_USER. Exit code 0 once the transcript is written, 2 on bad usage.
#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "tests/capture/RegistryOldStateScenario.h"

#include <shlwapi.h>
#include <winternl.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace old_state_scenario;

typedef NTSTATUS(NTAPI NtCreateKeyFunction)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG, PUNICODE_STRING,
                                            ULONG, PULONG);
typedef NTSTATUS(NTAPI NtSetValueKeyFunction)(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);
typedef NTSTATUS(NTAPI NtDeleteValueKeyFunction)(HANDLE, PUNICODE_STRING);

template <typename Function>
Function* Ntdll(const char* name) {
    return reinterpret_cast<Function*>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name)));
}

OBJECT_ATTRIBUTES Attributes(HANDLE root, UNICODE_STRING* name, ULONG flags) {
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = root;
    attributes.ObjectName = name;
    attributes.Attributes = flags;
    return attributes;
}

// A value the last error cannot have by chance: a call that leaves it is seen to leave it.
constexpr DWORD kUntouched = 0x0BADF00D;

class Transcript {
public:
    // What the call answered, and the last error it left.
    template <typename Call>
    auto Note(const char* label, Call call) -> decltype(call()) {
        ::SetLastError(kUntouched);
        const auto result = call();
        const DWORD error = ::GetLastError();
        text_ += std::string(label) + " " + std::to_string(static_cast<long long>(result)) + " " +
                 std::to_string(error) + "\n";
        return result;
    }
    void Line(const std::string& line) { text_ += line + "\n"; }
    bool WriteTo(const std::wstring& path) const {
        const UniqueFile file(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        return file &&
               ::WriteFile(file.get(), text_.data(), static_cast<DWORD>(text_.size()), &written, nullptr) &&
               written == text_.size();
    }

private:
    std::string text_;
};

LONG SetBytes(HKEY key, const wchar_t* name, DWORD type, const std::vector<uint8_t>& data) {
    return ::RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
}

HKEY Open(Transcript& out, const char* label, const std::wstring& path, REGSAM access) {
    HKEY key = nullptr;
    out.Note(label, [&] { return ::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, access, &key); });
    return key;
}

void Values(Transcript& out, const std::wstring& root) {
    const UniqueKey key(Open(out, "open", root, KEY_ALL_ACCESS));
    for (const TypedValue& value : TypedValues())
        out.Note("overwrite", [&] { return SetBytes(key.get(), value.name, value.type, value.newData); });
    out.Note("new", [&] { return SetBytes(key.get(), kNewValue, REG_DWORD, {1, 0, 0, 0}); });
    out.Note("twice", [&] { return SetBytes(key.get(), kTwiceValue, REG_DWORD, {2, 0, 0, 0}); });
    out.Note("twice again", [&] { return SetBytes(key.get(), kTwiceOtherCase, REG_DWORD, {3, 0, 0, 0}); });
    out.Note("large", [&] { return SetBytes(key.get(), kLargeValue, REG_BINARY, {4}); });
    out.Note("too large", [&] { return SetBytes(key.get(), kTooLargeValue, REG_BINARY, {5}); });
    out.Note("delete", [&] { return ::RegDeleteValueW(key.get(), kDoomedValue); });
    out.Note("delete missing", [&] { return ::RegDeleteValueW(key.get(), kMissingValue); });
    const UniqueKey setOnly(Open(out, "open set only", root, KEY_SET_VALUE));
    out.Note("set only", [&] { return SetBytes(setOnly.get(), kSetOnlyValue, REG_DWORD, {6, 0, 0, 0}); });
    const DWORD number = 7;
    out.Note("implicit key", [&] {
        return ::RegSetKeyValueW(HKEY_CURRENT_USER, (root + L"\\" + kImplicitKey).c_str(), kImplicitValue,
                                 REG_DWORD, &number, sizeof number);
    });
}

void Create(Transcript& out, const std::wstring& root) {
    for (const wchar_t* path : {kNestedPath, kExistingKey, kSiblingPath}) {
        HKEY created = nullptr;
        DWORD disposition = 0;
        out.Note("create", [&] {
            return ::RegCreateKeyExW(HKEY_CURRENT_USER, (root + L"\\" + path).c_str(), 0, nullptr, 0,
                                     KEY_ALL_ACCESS, nullptr, &created, &disposition);
        });
        out.Line("disposition " + std::to_string(disposition));
        const UniqueKey owner(created);
    }
    // The system's own call with a name of several levels whose parent is missing.
    const UniqueKey key(Open(out, "open", root, KEY_ALL_ACCESS));
    std::wstring name = kDirectPath;
    UNICODE_STRING counted{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                           &name[0]};
    OBJECT_ATTRIBUTES attributes = Attributes(key.get(), &counted, OBJ_CASE_INSENSITIVE);
    HANDLE direct = nullptr;
    ULONG disposition = 0;
    out.Note("nt create", [&] {
        return Ntdll<NtCreateKeyFunction>("NtCreateKey")(&direct, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0,
                                                         &disposition);
    });
    out.Line("disposition " + std::to_string(disposition));
    const UniqueHandle directOwner(direct);
}

void Trees(Transcript& out, const std::wstring& root) {
    out.Note("delete tree",
             [&] { return ::RegDeleteTreeW(HKEY_CURRENT_USER, (root + L"\\" + kTreeKey).c_str()); });
    out.Note("shell delete",
             [&] { return ::SHDeleteKeyW(HKEY_CURRENT_USER, (root + L"\\" + kShellKey).c_str()); });
    const UniqueKey emptied(Open(out, "open emptied", root + L"\\" + kEmptiedKey, KEY_ALL_ACCESS));
    out.Note("empty tree", [&] { return ::RegDeleteTreeW(emptied.get(), nullptr); });
}

void DeleteWhole(Transcript& out, const std::wstring& root, const wchar_t* child) {
    out.Note("delete tree",
             [&] { return ::RegDeleteTreeW(HKEY_CURRENT_USER, (root + L"\\" + child).c_str()); });
}

// A key with keys below it cannot be deleted: the system refuses, after the capture walked it.
void DeleteDeep(Transcript& out, const std::wstring& root) {
    out.Note("delete deep key",
             [&] { return ::RegDeleteKeyW(HKEY_CURRENT_USER, (root + L"\\" + kDeepKey).c_str()); });
}

// Calls the system refuses: the capture must not change what they answer, nor crash on what the
// system itself checks.
void Failures(Transcript& out, const std::wstring& root) {
    const UniqueKey readOnly(Open(out, "open read only", root, KEY_READ));
    out.Note("write read only", [&] {
        return SetBytes(readOnly.get(), kFailValue, REG_DWORD, {1, 0, 0, 0});
    });
    out.Note("delete value read only", [&] { return ::RegDeleteValueW(readOnly.get(), kFailValue); });
    out.Note("delete missing key",
             [&] { return ::RegDeleteKeyW(HKEY_CURRENT_USER, (root + L"\\" + kMissingKey).c_str()); });
    out.Note("delete tree missing",
             [&] { return ::RegDeleteTreeW(HKEY_CURRENT_USER, (root + L"\\" + kMissingKey).c_str()); });
    HKEY created = nullptr;
    out.Note("create below read only", [&] {
        return ::RegCreateKeyExW(readOnly.get(), L"Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created,
                                 nullptr);
    });
    const UniqueKey createdOwner(created);
    out.Note("write closed",
             [&] { return SetBytes(reinterpret_cast<HKEY>(0x1234), kFailValue, REG_DWORD, {1}); });

    const UniqueKey key(Open(out, "open", root, KEY_ALL_ACCESS));
    DWORD number = 1;
    UNICODE_STRING unreadable{8, 8, reinterpret_cast<PWSTR>(16)};
    out.Note("nt set bad name", [&] {
        return Ntdll<NtSetValueKeyFunction>("NtSetValueKey")(key.get(), reinterpret_cast<PUNICODE_STRING>(8),
                                                             0, REG_DWORD, &number, sizeof number);
    });
    out.Note("nt set bad buffer", [&] {
        return Ntdll<NtSetValueKeyFunction>("NtSetValueKey")(key.get(), &unreadable, 0, REG_DWORD, &number,
                                                             sizeof number);
    });
    out.Note("nt delete bad buffer",
             [&] { return Ntdll<NtDeleteValueKeyFunction>("NtDeleteValueKey")(key.get(), &unreadable); });
    HANDLE handle = nullptr;
    out.Note("nt create bad attributes", [&] {
        return Ntdll<NtCreateKeyFunction>("NtCreateKey")(
            &handle, KEY_ALL_ACCESS, reinterpret_cast<POBJECT_ATTRIBUTES>(8), 0, nullptr, 0, nullptr);
    });
    OBJECT_ATTRIBUTES attributes = Attributes(key.get(), &unreadable, 0);
    out.Note("nt create bad name", [&] {
        return Ntdll<NtCreateKeyFunction>("NtCreateKey")(&handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0,
                                                         nullptr);
    });
}

// A handle value the program closed comes back for the next key it opens, as one it moved away
// with DuplicateHandle does; a key renamed while open is written under its new name. Each write
// must be kept under the key it went to.
void Handles(Transcript& out, const std::wstring& root) {
    const auto below = [&](const wchar_t* name) { return root + L"\\" + name; };
    const DWORD first = 1;
    HKEY key = Open(out, "open first", below(kHandleKeys[0]), KEY_SET_VALUE);
    out.Note("write first", [&] { return SetBytes(key, kHandleValue, REG_DWORD, {1, 0, 0, 0}); });
    out.Note("close first", [&] { return ::RegCloseKey(key); });
    key = Open(out, "open second", below(kHandleKeys[1]), KEY_SET_VALUE);
    out.Note("write second", [&] { return SetBytes(key, kHandleValue, REG_DWORD, {2, 0, 0, 0}); });
    HANDLE moved = nullptr;
    out.Note("move second", [&] {
        return ::DuplicateHandle(::GetCurrentProcess(), key, ::GetCurrentProcess(), &moved, 0, FALSE,
                                 DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS);
    });
    const UniqueHandle movedOwner(moved);
    const UniqueKey third(Open(out, "open third", below(kHandleKeys[2]), KEY_SET_VALUE));
    out.Note("write third", [&] { return SetBytes(third.get(), kHandleValue, REG_DWORD, {3, 0, 0, 0}); });

    const UniqueKey parent(Open(out, "open parent", root, KEY_ALL_ACCESS));
    const UniqueKey fourth(Open(out, "open fourth", below(kHandleKeys[3]), KEY_SET_VALUE));
    out.Note("write fourth", [&] { return SetBytes(fourth.get(), kHandleValue, REG_DWORD, {4, 0, 0, 0}); });
    // RegRenameKey came with Vista. Wine 8's leaves the parent's keys out of order: a sibling is
    // lost to lookups and the server later fails, so it is only called where the system is not Wine.
    using RenameFunction = LSTATUS(WINAPI*)(HKEY, LPCWSTR, LPCWSTR);
    const auto rename = reinterpret_cast<RenameFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"advapi32.dll"), "RegRenameKey")));
    const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    if (rename == nullptr || wine)
        out.Line("no rename");
    else
        out.Note("rename", [&] { return rename(parent.get(), kHandleKeys[3], kRenamedKey); });
    out.Note("write renamed", [&] {
        return SetBytes(fourth.get(), kAfterRenameValue, REG_DWORD, {5, 0, 0, 0});
    });

    HKEY fresh = nullptr;
    out.Note("create fresh", [&] {
        return ::RegCreateKeyExW(HKEY_CURRENT_USER, below(L"Fresh").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &fresh, nullptr);
    });
    const UniqueKey freshOwner(fresh);
    out.Note("fresh value", [&] {
        return ::RegSetKeyValueW(fresh, L"Deeper", kFreshValue, REG_DWORD, &first, sizeof first);
    });
}

void Shared(Transcript& out, const std::wstring& root, const std::wstring& text) {
    const UniqueKey key(Open(out, "open", root, KEY_ALL_ACCESS));
    const std::vector<uint8_t> data(reinterpret_cast<const uint8_t*>(text.c_str()),
                                    reinterpret_cast<const uint8_t*>(text.c_str() + text.size() + 1));
    out.Note("shared", [&] { return SetBytes(key.get(), kSharedValue, REG_SZ, data); });
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fputs("usage: registry-old-state-child SCENARIO SUBKEY TRANSCRIPT [TEXT]\n", stderr);
        return 2;
    }
    const std::wstring scenario = argv[1], root = argv[2];
    Transcript out;
    if (scenario == L"values")
        Values(out, root);
    else if (scenario == L"create")
        Create(out, root);
    else if (scenario == L"trees")
        Trees(out, root);
    else if (scenario == L"big" || scenario == L"bound")
        DeleteWhole(out, root, scenario == L"big" ? kBigKey : kBoundKey);
    else if (scenario == L"deep")
        DeleteDeep(out, root);
    else if (scenario == L"failures")
        Failures(out, root);
    else if (scenario == L"handles")
        Handles(out, root);
    else if (scenario == L"shared" && argc > 4)
        Shared(out, root, argv[4]);
    else
        return 2;
    return out.WriteTo(argv[3]) ? 0 : 1;
}
