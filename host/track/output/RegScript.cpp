#include "host/track/output/Reports.h"

#include "host/track/result/Base64.h"
#include "host/track/result/RegistryData.h"
#include "host/track/result/TextEncoding.h"

#include "common/Win32.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

namespace track {

namespace {

constexpr size_t kLineWidth = 76; // regedit wraps hex data near 80 columns

struct RootName {
    const wchar_t* shortName;
    const wchar_t* fullName;
};

const RootName kRoots[] = {
    {L"HKLM", L"HKEY_LOCAL_MACHINE"},
    {L"HKCU", L"HKEY_CURRENT_USER"},
    {L"HKCR", L"HKEY_CLASSES_ROOT"},
    {L"HKEY_USERS", L"HKEY_USERS"},
    {L"HKEY_CURRENT_CONFIG", L"HKEY_CURRENT_CONFIG"},
};

struct ScriptValue {
    std::wstring name; // empty for the key's default value
    std::uint32_t type;
    std::vector<std::uint8_t> bytes; // as the library hands them out: strings in ANSI
    bool deleted;
};

struct ScriptKey {
    std::wstring path; // with the root spelt out
    std::vector<ScriptValue> values;
};

// "HKLM\Software\X" -> "HKEY_LOCAL_MACHINE\Software\X"; false for an unknown root.
bool FullKeyName(const std::wstring& path, std::wstring& key) {
    const size_t rootEnd = path.find(L'\\');
    const std::wstring root = path.substr(0, rootEnd);
    for (const RootName& candidate : kRoots) {
        if (::lstrcmpiW(root.c_str(), candidate.shortName) == 0) {
            key =
                candidate.fullName + (rootEnd == std::wstring::npos ? std::wstring() : path.substr(rootEnd));
            return true;
        }
    }
    return false;
}

// "HKLM\Software\X\Value" -> key "HKEY_LOCAL_MACHINE\Software\X", value "Value". The value name
// is what follows the last backslash; a path ending in one names the key's default value.
bool SplitValuePath(const std::wstring& path, std::wstring& key, std::wstring& name) {
    const size_t rootEnd = path.find(L'\\');
    const size_t nameStart = path.rfind(L'\\');
    if (rootEnd == std::wstring::npos || rootEnd == 0 || nameStart == rootEnd ||
        !FullKeyName(path.substr(0, nameStart), key))
        return false;
    name = path.substr(nameStart + 1);
    return true;
}

// Whether `key` is `top` or lies below it (both spelt out, letter case aside).
bool AtOrBelow(const std::wstring& key, const std::wstring& top) {
    return key.size() >= top.size() && SameIgnoringCaseOrdinal(key.substr(0, top.size()), top) &&
           (key.size() == top.size() || key[top.size()] == L'\\');
}

// The keys the setup deleted, spelt out; a key below another deleted key goes with it.
std::vector<std::wstring> DeletedTops(const TrackResult& result) {
    std::vector<std::wstring> keys;
    for (const std::string& utf8 : result.deletedKeys) {
        std::wstring key;
        if (FullKeyName(Utf8ToWide(utf8), key))
            keys.push_back(key);
    }
    std::vector<std::wstring> tops;
    for (const std::wstring& key : keys) {
        const bool below = std::any_of(keys.begin(), keys.end(), [&](const std::wstring& other) {
            return other.size() < key.size() && AtOrBelow(key, other);
        });
        if (!below && std::none_of(tops.begin(), tops.end(), [&](const std::wstring& top) {
                return SameIgnoringCaseOrdinal(top, key);
            }))
            tops.push_back(key);
    }
    return tops;
}

std::wstring QuotedName(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'\\' || c == L'"')
            out += L'\\';
        out += c;
    }
    return out + L"\"";
}

bool HasControlCharacter(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c < 0x20)
            return true;
    }
    return false;
}

std::vector<std::uint8_t> Utf16Bytes(const std::wstring& text) {
    std::vector<std::uint8_t> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    return bytes;
}

// "prefix" followed by comma-separated hex bytes, continued on the next line with "\" as regedit does.
std::wstring HexData(const std::wstring& prefix, const std::vector<std::uint8_t>& bytes) {
    std::wstring out = prefix;
    size_t column = prefix.size();
    for (size_t i = 0; i < bytes.size(); ++i) {
        wchar_t pair[4];
        std::swprintf(pair, 4, L"%02x", bytes[i]);
        out += pair;
        column += 2;
        if (i + 1 < bytes.size()) {
            out += L',';
            ++column;
            if (column + 3 > kLineWidth) {
                out += L"\\\r\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::wstring HexTypePrefix(std::uint32_t type) {
    if (type == REG_BINARY)
        return L"hex:";
    wchar_t prefix[24];
    std::swprintf(prefix, 24, L"hex(%x):", type);
    return prefix;
}

// The data part of one "name"=data line; "name"=- for a value the setup deleted.
std::wstring DataText(const ScriptValue& value, const std::wstring& nameText) {
    const std::wstring lead = nameText + L"=";
    if (value.deleted)
        return lead + L"-";
    switch (value.type) {
    case REG_SZ: {
        std::wstring text = AnsiToWide(std::string(value.bytes.begin(), value.bytes.end()));
        if (!text.empty() && text.back() == L'\0')
            text.pop_back();
        // A quoted string cannot carry line breaks or NULs: those go out as UTF-16 hex instead.
        if (!HasControlCharacter(text))
            return lead + QuotedName(text);
        break;
    }
    case REG_DWORD: {
        std::uint64_t dword = 0;
        if (NumberData(REG_DWORD, value.bytes, dword)) {
            wchar_t number[16];
            std::swprintf(number, 16, L"dword:%08lx", static_cast<unsigned long>(dword));
            return lead + number;
        }
        return HexData(lead + HexTypePrefix(value.type), value.bytes);
    }
    default:
        break;
    }
    // Version 5 scripts hold the string types as UTF-16LE; the library hands them out in ANSI.
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ)
        return HexData(lead + HexTypePrefix(value.type),
                       Utf16Bytes(AnsiToWide(std::string(value.bytes.begin(), value.bytes.end()))));
    return HexData(lead + HexTypePrefix(value.type), value.bytes);
}

// The whole script as regedit writes one: UTF-16LE behind its byte-order mark.
std::string ScriptBytes(const std::wstring& text) {
    const std::vector<std::uint8_t> units = Utf16Bytes(text);
    return "\xFF\xFE" + std::string(units.begin(), units.end());
}

} // namespace

std::string FormatRegScript(const TrackResult& result) {
    const std::vector<std::wstring> deletedKeys = DeletedTops(result);
    std::vector<ScriptKey> keys;
    std::map<std::wstring, size_t> keyIndex; // registry names ignore letter case
    auto keyOf = [&](const std::wstring& key) -> ScriptKey& {
        const auto [found, added] = keyIndex.try_emplace(UpperOrdinal(key), keys.size());
        if (added)
            keys.push_back(ScriptKey{key, {}});
        return keys[found->second];
    };
    std::wstring skipped;
    for (const RegistryValue& value : result.registry) {
        const bool deleted = value.change == ValueChange::Deleted;
        std::wstring key, name;
        const auto bytes = deleted ? std::optional<std::vector<std::uint8_t>>(std::vector<std::uint8_t>())
                                   : DecodeBase64(value.base64);
        const std::wstring path = Utf8ToWide(Utf8Path(result, value.path));
        if (!SplitValuePath(path, key, name) || !bytes) {
            skipped += L"; left out, " +
                       std::wstring(bytes ? L"unknown registry root: " : L"data is not valid Base64: ") +
                       path + L"\r\n";
            continue;
        }
        // A value below a deleted key goes with the key; naming it would make the key again.
        if (deleted && std::any_of(deletedKeys.begin(), deletedKeys.end(),
                                   [&](const std::wstring& top) { return AtOrBelow(key, top); }))
            continue;
        keyOf(key).values.push_back(ScriptValue{name, value.type, *bytes, deleted});
    }
    // A key the setup made is there after it even when it holds no value the script names.
    for (const std::string& created : result.createdKeys) {
        std::wstring key;
        if (FullKeyName(Utf8ToWide(created), key))
            keyOf(key);
    }
    std::wstring text = L"Windows Registry Editor Version 5.00\r\n\r\n";
    text += skipped.empty() ? L"" : skipped + L"\r\n";
    for (const std::wstring& key : deletedKeys)
        text += L"[-" + key + L"]\r\n\r\n";
    for (const ScriptKey& key : keys) {
        text += L"[" + key.path + L"]\r\n";
        for (const ScriptValue& value : key.values) {
            const std::wstring nameText = value.name.empty() ? L"@" : QuotedName(value.name);
            text += DataText(value, nameText) + L"\r\n";
        }
        text += L"\r\n";
    }
    return ScriptBytes(text);
}

} // namespace track
