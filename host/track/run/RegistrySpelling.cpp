#include "host/track/run/RegistrySpelling.h"

#include "common/UniqueHandle.h"
#include "host/track/result/TextEncoding.h"

#include <cstring>
#include <vector>

namespace track {

namespace {

struct RootName {
    const wchar_t* name;
    HKEY key;
};

// The roots the log names, as the library opens them.
const RootName kRoots[] = {
    {L"HKLM", HKEY_LOCAL_MACHINE},
    {L"HKCU", HKEY_CURRENT_USER},
    {L"HKCR", HKEY_CLASSES_ROOT},
    {L"HKEY_USERS", HKEY_USERS},
    {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

// Names past this many in one key are not looked through: no key a setup writes below holds them.
constexpr DWORD kMaxListed = 100000;
// The registry's longest key name and value name, in characters, and room for the NUL.
constexpr DWORD kKeyNameRoom = 256;
constexpr DWORD kValueNameRoom = 16384;

HKEY RootKey(const std::wstring& name) {
    for (const RootName& root : kRoots) {
        if (SameIgnoringCaseOrdinal(name, root.name))
            return root.key;
    }
    return nullptr;
}

// Read access in the 64-bit view: the log's paths are physical, Wow6432Node spelt out.
UniqueKey OpenForReading(HKEY root, const std::wstring& subKey) {
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_WOW64_64KEY,
                        &raw) != ERROR_SUCCESS)
        return UniqueKey();
    return UniqueKey(raw);
}

std::wstring Below(const std::wstring& parent, const std::wstring& child) {
    return parent.empty() ? child : parent + L"\\" + child;
}

// KEY_BASIC_INFORMATION, which user-mode headers do not declare.
struct KeyBasicInformation {
    LARGE_INTEGER lastWriteTime;
    ULONG titleIndex;
    ULONG nameLength; // in bytes
    WCHAR name[kKeyNameRoom];
};
constexpr int kKeyBasicInformationClass = 0;
using NtQueryKeyRoutine = LONG(NTAPI*)(HANDLE key, int informationClass, void* information, ULONG size,
                                       ULONG* needed);

NtQueryKeyRoutine NtQueryKeyOfNtdll() {
    NtQueryKeyRoutine routine = nullptr;
    const FARPROC address = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryKey");
    std::memcpy(&routine, &address, sizeof routine);
    return routine;
}

// The name an open key keeps in its own record: one question, where the parent's list of names
// would take one per sibling.
std::optional<std::wstring> OwnName(HKEY key) {
    static const NtQueryKeyRoutine query = NtQueryKeyOfNtdll();
    KeyBasicInformation information{};
    ULONG needed = 0;
    if (query == nullptr ||
        query(key, kKeyBasicInformationClass, &information, sizeof information, &needed) < 0 ||
        information.nameLength > sizeof information.name || information.nameLength % sizeof(WCHAR) != 0)
        return std::nullopt;
    return std::wstring(information.name, information.nameLength / sizeof(WCHAR));
}

} // namespace

const RegistrySpelling::Names& RegistrySpelling::Subkeys(const std::wstring& root, const std::wstring& key) {
    const auto [found, added] = subkeys_.try_emplace(UpperOrdinal(Below(root, key)));
    if (!added)
        return found->second;
    const UniqueKey opened = OpenForReading(RootKey(root), key);
    wchar_t name[kKeyNameRoom];
    for (DWORD index = 0; opened && index < kMaxListed; ++index) {
        DWORD length = kKeyNameRoom;
        if (::RegEnumKeyExW(opened.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        const std::wstring stored(name, length);
        found->second.emplace(UpperOrdinal(stored), stored);
    }
    return found->second;
}

const RegistrySpelling::Names& RegistrySpelling::Values(const std::wstring& root, const std::wstring& key) {
    const auto [found, added] = values_.try_emplace(UpperOrdinal(Below(root, key)));
    if (!added)
        return found->second;
    const UniqueKey opened = OpenForReading(RootKey(root), key);
    std::vector<wchar_t> name(kValueNameRoom);
    for (DWORD index = 0; opened && index < kMaxListed; ++index) {
        DWORD length = kValueNameRoom;
        if (::RegEnumValueW(opened.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        const std::wstring stored(name.data(), length);
        found->second.emplace(UpperOrdinal(stored), stored);
    }
    return found->second;
}

std::optional<std::wstring> RegistrySpelling::StoredKeyName(const std::wstring& root,
                                                            const std::wstring& parent,
                                                            const std::wstring& component) {
    if (component.empty())
        return std::nullopt;
    const auto [found, added] = keys_.try_emplace(UpperOrdinal(Below(Below(root, parent), component)));
    if (!added)
        return found->second;
    const UniqueKey key = OpenForReading(RootKey(root), Below(parent, component));
    if (!key)
        return found->second;
    // A hive's root key keeps a name of the hive's own making; its parent lists it by the name it
    // was loaded under, and so does every other program.
    const std::optional<std::wstring> own = OwnName(key.get());
    if (own && SameIgnoringCaseOrdinal(*own, component)) {
        found->second = own;
    } else {
        const Names& siblings = Subkeys(root, parent);
        const auto listed = siblings.find(UpperOrdinal(component));
        found->second = listed != siblings.end() ? listed->second : component;
    }
    return found->second;
}

std::optional<std::wstring> RegistrySpelling::StoredValueName(const std::wstring& root,
                                                              const std::wstring& key,
                                                              const std::wstring& name) {
    const Names& values = Values(root, key);
    const auto listed = values.find(UpperOrdinal(name));
    if (listed == values.end())
        return std::nullopt;
    return listed->second;
}

std::wstring RegistrySpelling::Spell(const std::wstring& path, bool endsInValue) {
    const size_t rootEnd = path.find(L'\\');
    if (rootEnd == std::wstring::npos || RootKey(path.substr(0, rootEnd)) == nullptr)
        return path;
    const std::wstring root = path.substr(0, rootEnd);
    std::vector<std::wstring> parts;
    for (size_t start = rootEnd + 1;;) {
        const size_t end = path.find(L'\\', start);
        parts.push_back(path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    const size_t keyParts = endsInValue ? parts.size() - 1 : parts.size();
    std::wstring given, spelled = root;
    size_t part = 0;
    for (; part < keyParts; ++part) {
        std::optional<std::wstring> stored = StoredKeyName(root, given, parts[part]);
        if (!stored) {
            const auto gone = goneKeys_.find(UpperOrdinal(Below(Below(root, given), parts[part])));
            if (gone == goneKeys_.end())
                break;
            stored = gone->second;
        }
        given = Below(given, parts[part]);
        spelled += L"\\" + *stored;
    }
    if (part == parts.size())
        return spelled;
    // What follows the last key that exists: a value's name, which may hold backslashes of its own,
    // or keys that are gone.
    std::wstring rest = parts[part];
    for (size_t next = part + 1; next < parts.size(); ++next)
        rest += L"\\" + parts[next];
    if (endsInValue) {
        if (const std::optional<std::wstring> stored = StoredValueName(root, given, rest))
            rest = *stored;
    }
    return spelled + L"\\" + rest;
}

void RegistrySpelling::KnowGoneKey(const std::wstring& path) {
    const size_t last = path.rfind(L'\\');
    if (last != std::wstring::npos && last + 1 < path.size())
        goneKeys_.emplace(UpperOrdinal(path), path.substr(last + 1));
}

void SpellRegistryAsHeld(TrackResult& result) {
    RegistrySpelling spelling;
    for (const std::vector<std::string>* keys : {&result.deletedKeys, &result.deletedNoiseKeys}) {
        for (const std::string& key : *keys)
            spelling.KnowGoneKey(Utf8ToWide(key));
    }
    auto spellAnsi = [&](std::string& path) {
        const std::wstring wide = AnsiToWide(path);
        const std::wstring spelled = spelling.Spell(wide, true);
        const std::string ansi = WideToAnsi(spelled);
        if (spelled != wide && AnsiToWide(ansi) == spelled)
            path = ansi;
    };
    auto spellUtf8 = [&](std::string& path, bool endsInValue) {
        path = WideToUtf8(spelling.Spell(Utf8ToWide(path), endsInValue));
    };
    for (RegistryValue& value : result.registry)
        spellAnsi(value.path);
    for (EliminatedValue& value : result.eliminatedRegistry)
        spellAnsi(value.value.path);
    for (std::vector<std::string>* keys :
         {&result.createdKeys, &result.deletedKeys, &result.createdNoiseKeys, &result.deletedNoiseKeys}) {
        for (std::string& key : *keys)
            spellUtf8(key, false);
    }
    for (std::string& value : result.unrecordedValues)
        spellUtf8(value, true);
}

} // namespace track
