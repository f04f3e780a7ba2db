#include "host/track/undo/RegistryUndo.h"

#include "host/track/result/TextEncoding.h"

#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <cstdio>

namespace track {

namespace {

// Physical names in every bitness; 32-bit Windows has one view and ignores the flag.
constexpr REGSAM kPhysicalView = KEY_WOW64_64KEY;

enum class Presence { Absent, Present, Unreadable };

struct KeyName {
    HKEY root = nullptr;
    std::wstring subKey;
};

KeyName KeyNameOf(const UndoItem& item) {
    std::string root, subKey;
    SplitRegistryPath(item.path, root, subKey);
    KeyName name;
    name.subKey = Utf8ToWide(subKey);
    if (root == "HKLM")
        name.root = HKEY_LOCAL_MACHINE;
    else if (root == "HKCU")
        name.root = HKEY_CURRENT_USER;
    else if (root == "HKCR")
        name.root = HKEY_CLASSES_ROOT;
    else if (root == "HKU")
        name.root = HKEY_USERS;
    else
        name.root = HKEY_CURRENT_CONFIG;
    return name;
}

LONG OpenKey(const UndoItem& item, REGSAM access, UniqueKey& key) {
    const KeyName name = KeyNameOf(item);
    HKEY opened = nullptr;
    const LONG result = ::RegOpenKeyExW(name.root, name.subKey.c_str(), 0, access | kPhysicalView, &opened);
    key.reset(result == ERROR_SUCCESS ? opened : nullptr);
    return result;
}

// Creates the key (and any missing key above it) or opens it; `created` says which.
LONG CreateKey(const UndoItem& item, REGSAM access, UniqueKey& key, bool& created) {
    const KeyName name = KeyNameOf(item);
    HKEY opened = nullptr;
    DWORD disposition = 0;
    const LONG result = ::RegCreateKeyExW(name.root, name.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          access | kPhysicalView, nullptr, &opened, &disposition);
    key.reset(result == ERROR_SUCCESS ? opened : nullptr);
    created = disposition == REG_CREATED_NEW_KEY;
    return result;
}

// Reads a value through `query` (RegQueryValueExW or RegQueryValueExA, with the name bound). A value
// that grows between the size query and the read is asked for again.
template <typename Query>
Presence ReadWith(Query query, ValueData& data) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0, size = 0;
        LONG result = query(&type, nullptr, &size);
        if (result == ERROR_FILE_NOT_FOUND)
            return Presence::Absent;
        if (result != ERROR_SUCCESS)
            return Presence::Unreadable;
        data.type = type;
        data.bytes.assign(size, 0);
        if (size == 0)
            return Presence::Present;
        DWORD got = size;
        result = query(&type, data.bytes.data(), &got);
        if (result == ERROR_MORE_DATA)
            continue;
        if (result == ERROR_FILE_NOT_FOUND)
            return Presence::Absent;
        if (result != ERROR_SUCCESS || got > size)
            return Presence::Unreadable;
        data.type = type;
        data.bytes.resize(got);
        return Presence::Present;
    }
    return Presence::Unreadable;
}

// The value's type and bytes exactly as the registry holds them (strings in UTF-16, as stored).
Presence ReadRaw(HKEY key, const std::wstring& name, ValueData& data) {
    return ReadWith(
        [&](DWORD* type, BYTE* bytes, DWORD* size) {
            return ::RegQueryValueExW(key, name.c_str(), nullptr, type, bytes, size);
        },
        data);
}

// The value as the library read it: string types in the ANSI code page.
Presence ReadAnsi(HKEY key, const std::string& ansiName, ValueData& data) {
    return ReadWith(
        [&](DWORD* type, BYTE* bytes, DWORD* size) {
            return ::RegQueryValueExA(key, ansiName.c_str(), nullptr, type, bytes, size);
        },
        data);
}

bool IsStringType(std::uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Whether the value still holds what the setup left. The library records string data in the ANSI
// code page, so a string value is also compared as the ANSI calls read it.
bool HoldsWhatSetupLeft(HKEY key, const UndoItem& item) {
    const std::wstring name = Utf8ToWide(item.name);
    ValueData raw;
    if (ReadRaw(key, name, raw) != Presence::Present)
        return false;
    if (raw == item.now)
        return true;
    if (raw.type != item.now.type || !IsStringType(raw.type))
        return false;
    ValueData ansi;
    return ReadAnsi(key, WideToAnsi(name), ansi) == Presence::Present && ansi == item.now;
}

// Writes exactly `data`. RegSetValueExW adds a terminating NUL to string data whose count leaves one
// out when the character after the data in memory is NUL ("the caller forgot it"); the copy is
// followed by non-NUL bytes so that the count given is the count written. Read back to be sure.
LONG WriteExact(HKEY key, const std::string& utf8Name, const ValueData& data) {
    std::vector<BYTE> buffer(data.bytes.begin(), data.bytes.end());
    buffer.insert(buffer.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    const std::wstring name = Utf8ToWide(utf8Name);
    const LONG result = ::RegSetValueExW(key, name.c_str(), 0, data.type, buffer.data(),
                                         static_cast<DWORD>(data.bytes.size()));
    if (result != ERROR_SUCCESS)
        return result;
    ValueData written;
    return ReadRaw(key, name, written) == Presence::Present && written == data ? ERROR_SUCCESS
                                                                               : ERROR_INVALID_DATA;
}

UndoOutcome Unopened(const UndoItem& item, LONG result) {
    if (result == ERROR_FILE_NOT_FOUND)
        return LeftAlone(item, item.action == UndoAction::DeleteKey ? "it is gone already" : kNoLongerAsLeft);
    return LeftAlone(item, ErrorText("its key could not be opened", static_cast<unsigned long>(result)));
}

UndoOutcome Unwritten(const UndoItem& item, LONG result) {
    if (result == ERROR_INVALID_DATA)
        return LeftAlone(item, "it was written, but reads back other than its old data");
    return LeftAlone(item, ErrorText("it could not be written", static_cast<unsigned long>(result)));
}

UndoOutcome DeleteValue(const UndoItem& item) {
    UniqueKey key;
    const LONG opened = OpenKey(item, KEY_QUERY_VALUE | KEY_SET_VALUE, key);
    if (opened != ERROR_SUCCESS)
        return Unopened(item, opened);
    if (!HoldsWhatSetupLeft(key.get(), item))
        return LeftAlone(item, kNoLongerAsLeft);
    const LONG result = ::RegDeleteValueW(key.get(), Utf8ToWide(item.name).c_str());
    if (result != ERROR_SUCCESS)
        return LeftAlone(item, ErrorText("it could not be deleted", static_cast<unsigned long>(result)));
    return Done("deleted", item);
}

UndoOutcome RestoreValue(const UndoItem& item) {
    UniqueKey key;
    const LONG opened = OpenKey(item, KEY_QUERY_VALUE | KEY_SET_VALUE, key);
    if (opened != ERROR_SUCCESS)
        return Unopened(item, opened);
    if (!HoldsWhatSetupLeft(key.get(), item))
        return LeftAlone(item, kNoLongerAsLeft);
    const LONG result = WriteExact(key.get(), item.name, item.old);
    return result == ERROR_SUCCESS ? Done("restored", item) : Unwritten(item, result);
}

UndoOutcome RecreateValue(const UndoItem& item) {
    // Its key held it before the setup, so a key that is missing now is made again too.
    UniqueKey key;
    bool created = false;
    const LONG opened = CreateKey(item, KEY_QUERY_VALUE | KEY_SET_VALUE, key, created);
    if (opened != ERROR_SUCCESS)
        return Unopened(item, opened);
    ValueData now;
    const Presence presence = ReadRaw(key.get(), Utf8ToWide(item.name), now);
    if (presence != Presence::Absent)
        return LeftAlone(item, kNoLongerAsLeft);
    const LONG result = WriteExact(key.get(), item.name, item.old);
    return result == ERROR_SUCCESS ? Done("re-created", item) : Unwritten(item, result);
}

using NtDeleteKeyFunction = LONG(NTAPI*)(HANDLE);

// NtDeleteKey deletes the key behind a handle: the very key found empty, in the view it was opened
// in (RegDeleteKeyEx, which takes a view, is missing from 32-bit Windows XP).
NtDeleteKeyFunction NtDeleteKeyRoutine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const FARPROC found = ntdll != nullptr ? ::GetProcAddress(ntdll, "NtDeleteKey") : nullptr;
    return reinterpret_cast<NtDeleteKeyFunction>(reinterpret_cast<void*>(found));
}

UndoOutcome DeleteKey(const UndoItem& item) {
    UniqueKey key;
    const LONG opened = OpenKey(item, DELETE | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, key);
    if (opened != ERROR_SUCCESS)
        return Unopened(item, opened);
    DWORD subKeys = 0, values = 0;
    const LONG queried = ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                            &values, nullptr, nullptr, nullptr, nullptr);
    if (queried != ERROR_SUCCESS)
        return LeftAlone(item, ErrorText("it could not be read", static_cast<unsigned long>(queried)));
    if (subKeys != 0 || values != 0)
        return LeftAlone(item, "it is not empty");
    const NtDeleteKeyFunction deleteKey = NtDeleteKeyRoutine();
    if (deleteKey == nullptr)
        return LeftAlone(item, "this Windows has no NtDeleteKey");
    const LONG status = deleteKey(key.get());
    if (status != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "it could not be deleted: status 0x%08lX",
                      static_cast<unsigned long>(status));
        return LeftAlone(item, text);
    }
    return Done("deleted", item);
}

UndoOutcome RecreateKey(const UndoItem& item) {
    UniqueKey key;
    bool created = false;
    const LONG result = CreateKey(item, KEY_QUERY_VALUE, key, created);
    if (result != ERROR_SUCCESS)
        return LeftAlone(item, ErrorText("it could not be made", static_cast<unsigned long>(result)));
    return created ? Done("re-created", item) : LeftAlone(item, kNoLongerAsLeft);
}

} // namespace

UndoOutcome UndoRegistryItem(const UndoItem& item) {
    switch (item.action) {
    case UndoAction::DeleteValue:
        return DeleteValue(item);
    case UndoAction::RestoreValue:
        return RestoreValue(item);
    case UndoAction::RecreateValue:
        return RecreateValue(item);
    case UndoAction::DeleteKey:
        return DeleteKey(item);
    case UndoAction::RecreateKey:
        return RecreateKey(item);
    default:
        return LeftAlone(item, "not a registry item");
    }
}

} // namespace track
