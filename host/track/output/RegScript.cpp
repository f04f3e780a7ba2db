#include "host/track/output/Reports.h"

#include "host/track/result/Base64.h"
#include "host/track/result/RegistryData.h"
#include "host/track/result/TextEncoding.h"

#include "common/Win32.h"

#include <cstdio>
#include <map>

namespace track {

namespace {

constexpr size_t kLineWidth = 76; // regedit wraps hex data near 80 columns

struct RootName {
    const char* shortName;
    const char* fullName;
};

const RootName kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE"},
    {"HKCU", "HKEY_CURRENT_USER"},
    {"HKCR", "HKEY_CLASSES_ROOT"},
    {"HKEY_USERS", "HKEY_USERS"},
    {"HKEY_CURRENT_CONFIG", "HKEY_CURRENT_CONFIG"},
};

struct ScriptValue {
    std::string name; // ANSI; empty for the key's default value
    std::uint32_t type;
    std::vector<std::uint8_t> bytes;
};

struct ScriptKey {
    std::string path; // with the root spelt out
    std::vector<ScriptValue> values;
};

// "HKLM\Software\X\Value" -> key "HKEY_LOCAL_MACHINE\Software\X", value "Value". The value name
// is what follows the last backslash; a path ending in one names the key's default value.
bool SplitValuePath(const std::string& path, std::string& key, std::string& name) {
    const size_t rootEnd = path.find('\\');
    const size_t nameStart = path.rfind('\\');
    if (rootEnd == std::string::npos || rootEnd == 0 || nameStart == rootEnd)
        return false;
    const std::string root = path.substr(0, rootEnd);
    for (const RootName& candidate : kRoots) {
        if (::lstrcmpiA(root.c_str(), candidate.shortName) == 0) {
            key = std::string(candidate.fullName) + path.substr(rootEnd, nameStart - rootEnd);
            name = path.substr(nameStart + 1);
            return true;
        }
    }
    return false;
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
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

// The data part of one "name"=data line.
std::wstring DataText(const ScriptValue& value, const std::wstring& nameText) {
    const std::wstring lead = nameText + L"=";
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
    std::vector<ScriptKey> keys;
    std::map<std::string, size_t> keyIndex; // registry names ignore letter case
    std::wstring skipped;
    for (const RegistryValue& value : result.registry) {
        std::string key, name;
        const auto bytes = DecodeBase64(value.base64);
        if (!SplitValuePath(value.path, key, name) || !bytes) {
            skipped += L"; left out, " +
                       std::wstring(bytes ? L"unknown registry root: " : L"data is not valid Base64: ") +
                       AnsiToWide(value.path) + L"\r\n";
            continue;
        }
        const auto [found, added] = keyIndex.try_emplace(LowerAscii(key), keys.size());
        if (added)
            keys.push_back(ScriptKey{key, {}});
        keys[found->second].values.push_back(ScriptValue{name, value.type, *bytes});
    }
    std::wstring text = L"Windows Registry Editor Version 5.00\r\n\r\n";
    text += skipped.empty() ? L"" : skipped + L"\r\n";
    for (const ScriptKey& key : keys) {
        text += L"[" + AnsiToWide(key.path) + L"]\r\n";
        for (const ScriptValue& value : key.values) {
            const std::wstring nameText = value.name.empty() ? L"@" : QuotedName(AnsiToWide(value.name));
            text += DataText(value, nameText) + L"\r\n";
        }
        text += L"\r\n";
    }
    return ScriptBytes(text);
}

} // namespace track
