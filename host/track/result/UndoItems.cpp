#include "host/track/result/UndoItems.h"

#include <algorithm>
#include <cstdio>

namespace track {

namespace {

struct ActionName {
    UndoAction action;
    const char* word;
    size_t fields; // after the word
};

constexpr ActionName kActions[] = {
    {UndoAction::DeleteValue, "delete-value", 3},     {UndoAction::RestoreValue, "restore-value", 4},
    {UndoAction::RecreateValue, "recreate-value", 3}, {UndoAction::DeleteKey, "delete-key", 1},
    {UndoAction::RecreateKey, "recreate-key", 1},     {UndoAction::DeleteAddedFile, "delete-file", 2},
    {UndoAction::RestoreFile, "restore-file", 4},     {UndoAction::RecreateFile, "recreate-file", 3},
    {UndoAction::DeleteFolder, "delete-folder", 1},   {UndoAction::Leave, "leave", 2},
    {UndoAction::DeleteService, "delete-service", 1}, {UndoAction::StopService, "stop-service", 1},
};

const ActionName& NameOf(UndoAction action) {
    for (const ActionName& name : kActions) {
        if (name.action == action)
            return name;
    }
    return kActions[0];
}

struct TypeName {
    std::uint32_t type;
    const char* name;
};

constexpr TypeName kTypes[] = {{0, "REG_NONE"},
                               {1, "REG_SZ"},
                               {2, "REG_EXPAND_SZ"},
                               {3, "REG_BINARY"},
                               {4, "REG_DWORD"},
                               {5, "REG_DWORD_BIG_ENDIAN"},
                               {6, "REG_LINK"},
                               {7, "REG_MULTI_SZ"},
                               {8, "REG_RESOURCE_LIST"},
                               {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
                               {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
                               {11, "REG_QWORD"}};

// Registry roots as paths spell them, and the plan's short form of each.
struct RootName {
    const char* spelled;
    const char* shortName;
};

constexpr RootName kRoots[] = {
    {"HKLM", "HKLM"}, {"HKEY_LOCAL_MACHINE", "HKLM"}, {"HKCU", "HKCU"}, {"HKEY_CURRENT_USER", "HKCU"},
    {"HKCR", "HKCR"}, {"HKEY_CLASSES_ROOT", "HKCR"},  {"HKU", "HKU"},   {"HKEY_USERS", "HKU"},
    {"HKCC", "HKCC"}, {"HKEY_CURRENT_CONFIG", "HKCC"}};

char ToUpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameAsciiIgnoringCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (ToUpperAscii(a[i]) != ToUpperAscii(b[i]))
            return false;
    }
    return i == a.size() && b[i] == '\0';
}

const char kHex[] = "0123456789abcdef";

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool NeedsEscape(unsigned char c) {
    return c < 0x20 || c == 0x7F || c == '%';
}

std::string Escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (NeedsEscape(byte)) {
            out += '%';
            out += static_cast<char>(ToUpperAscii(kHex[byte >> 4]));
            out += static_cast<char>(ToUpperAscii(kHex[byte & 15]));
        } else {
            out += c;
        }
    }
    return out;
}

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool IsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        std::uint32_t point = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < length)
            return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = (point << 6) | (next & 0x3F);
        }
        const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

// A text field back from its escaped form; false for a broken escape, a NUL or text that is not UTF-8.
bool Unescape(const std::string& field, std::string& text) {
    text.clear();
    text.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            text += field[i];
            continue;
        }
        if (i + 2 >= field.size())
            return false;
        const int high = HexDigit(field[i + 1]), low = HexDigit(field[i + 2]);
        if (high < 0 || low < 0)
            return false;
        text += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return text.find('\0') == std::string::npos && IsUtf8(text);
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

bool ParseHex(const std::string& text, std::vector<std::uint8_t>& bytes) {
    if (text.size() % 2 != 0)
        return false;
    bytes.clear();
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return true;
}

bool ParseUnsigned(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = 0;
    for (char c : text) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (limit - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

std::string TypeText(std::uint32_t type) {
    for (const TypeName& known : kTypes) {
        if (known.type == type)
            return known.name;
    }
    return std::to_string(type);
}

bool ParseType(const std::string& text, std::uint32_t& type) {
    for (const TypeName& known : kTypes) {
        if (text == known.name) {
            type = known.type;
            return true;
        }
    }
    std::uint64_t number = 0;
    if (!ParseUnsigned(text, 0xFFFFFFFFu, number))
        return false;
    type = static_cast<std::uint32_t>(number);
    return true;
}

std::string DataText(const ValueData& data) {
    return TypeText(data.type) + ":" + Hex(data.bytes);
}

std::string AttributesText(std::uint32_t attributes) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(attributes));
    return text;
}

std::string FactsText(const FileFacts& facts, bool withAttributes) {
    std::string text = std::to_string(facts.size) + "," + FormatFileTime(facts.writeTime);
    if (withAttributes)
        text += "," + AttributesText(facts.attributes);
    return text;
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// ASCII letters alike in either case, as the registry compares the names tested here.
bool EqualsIgnoringCase(const std::string& text, const std::string& ascii) {
    return text.size() == ascii.size() &&
           std::equal(text.begin(), text.end(), ascii.begin(),
                      [](char a, char b) { return AsciiLower(a) == AsciiLower(b); });
}

std::vector<std::string> SplitAt(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

// Civil dates from days and back, days counted from 1970-01-01 (proleptic Gregorian calendar).
void CivilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<std::uint64_t>(days - era * 146097);
    const std::uint64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::uint64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = static_cast<unsigned>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    month = static_cast<unsigned>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<std::uint64_t>(year - era * 400);
    const std::uint64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::uint64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

constexpr std::int64_t kDays1601To1970 = 134774;
constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::uint64_t kTicksPerDay = 86400 * kTicksPerSecond;

unsigned DaysInMonth(std::int64_t year, unsigned month) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

bool ReadNumber(const std::string& text, size_t& at, size_t digits, std::uint64_t& value) {
    if (text.size() - at < digits)
        return false;
    value = 0;
    for (size_t i = 0; i < digits; ++i, ++at) {
        if (text[at] < '0' || text[at] > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
    }
    return true;
}

bool Expect(const std::string& text, size_t& at, char c) {
    if (at >= text.size() || text[at] != c)
        return false;
    ++at;
    return true;
}

// "LABEL=VALUE" with the label the item needs there.
bool Labelled(const std::string& field, const char* label, std::string& value) {
    const std::string prefix = std::string(label) + "=";
    if (field.compare(0, prefix.size(), prefix) != 0)
        return false;
    value = field.substr(prefix.size());
    return true;
}

bool ParseData(const std::string& field, const char* label, ValueData& data, std::string& error) {
    std::string value;
    if (!Labelled(field, label, value)) {
        error = std::string("a field must begin with \"") + label + "=\"";
        return false;
    }
    const size_t colon = value.find(':');
    if (colon == std::string::npos || !ParseType(value.substr(0, colon), data.type)) {
        error = std::string("the type in \"") + label + "=\" is not a registry type";
        return false;
    }
    if (!ParseHex(value.substr(colon + 1), data.bytes)) {
        error = std::string("the data in \"") + label + "=\" is not whole hex bytes";
        return false;
    }
    return true;
}

bool ParseFacts(const std::string& field, const char* label, bool withAttributes, FileFacts& facts,
                std::string& error) {
    std::string value;
    if (!Labelled(field, label, value)) {
        error = std::string("a field must begin with \"") + label + "=\"";
        return false;
    }
    const std::vector<std::string> parts = SplitAt(value, ',');
    std::uint64_t attributes = 0;
    if (parts.size() != (withAttributes ? 3u : 2u) || !ParseUnsigned(parts[0], UINT64_MAX, facts.size) ||
        !ParseFileTime(parts[1], facts.writeTime) ||
        (withAttributes &&
         (parts[2].size() < 3 || parts[2].size() > 10 || parts[2].compare(0, 2, "0x") != 0 ||
          parts[2].find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos))) {
        error = std::string("\"") + label + "=\" must be SIZE,TIME" + (withAttributes ? ",ATTRIBUTES" : "") +
                " (TIME as 2024-05-01T12:34:56.1234567Z, ATTRIBUTES as 0x00000020)";
        return false;
    }
    if (withAttributes) {
        for (size_t i = 2; i < parts[2].size(); ++i)
            attributes = attributes * 16 + static_cast<std::uint64_t>(HexDigit(parts[2][i]));
    }
    facts.exists = true;
    facts.attributes = static_cast<std::uint32_t>(attributes);
    return true;
}

bool IsServiceAction(UndoAction action) {
    return action == UndoAction::DeleteService || action == UndoAction::StopService;
}

bool IsRegistryAction(UndoAction action) {
    return action == UndoAction::DeleteValue || action == UndoAction::RestoreValue ||
           action == UndoAction::RecreateValue || action == UndoAction::DeleteKey ||
           action == UndoAction::RecreateKey || IsServiceAction(action);
}

bool IsKeyAction(UndoAction action) {
    return action == UndoAction::DeleteKey || action == UndoAction::RecreateKey || IsServiceAction(action);
}

bool IsValueAction(UndoAction action) {
    return action == UndoAction::DeleteValue || action == UndoAction::RestoreValue ||
           action == UndoAction::RecreateValue;
}

// A short, printable echo of a word from a line that may be anything.
std::string Shown(const std::string& word) {
    std::string out;
    for (char c : word.substr(0, 40)) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte >= 0x7F ? '?' : c;
    }
    return out + (word.size() > 40 ? "..." : "");
}

bool CheckPath(const UndoItem& item, std::string& error) {
    if (item.path.empty()) {
        error = "the path is empty";
        return false;
    }
    if (IsRegistryAction(item.action)) {
        std::string root, subKey;
        if (!SplitRegistryPath(item.path, root, subKey)) {
            error = "the key does not begin with a known registry root (HKLM, HKCU, HKCR, HKU, HKCC)";
            return false;
        }
        if (IsKeyAction(item.action) && subKey.empty()) {
            error = "a whole registry root cannot be deleted or made";
            return false;
        }
        std::string service;
        if (IsServiceAction(item.action) && !ServiceOfKey(item.path, service)) {
            error = "the key is no service's key (HKLM\\System\\CurrentControlSet\\Services\\NAME)";
            return false;
        }
        return true;
    }
    if (item.action != UndoAction::Leave && !IsAbsolutePath(item.path)) {
        error = "the path is not absolute";
        return false;
    }
    return true;
}

bool ParseFields(const std::vector<std::string>& fields, UndoItem& item, std::string& error) {
    // fields[0] is the word, fields[1] the path.
    if (!Unescape(fields[1], item.path)) {
        error = "the path has a broken %XX escape, a NUL or text that is not UTF-8";
        return false;
    }
    size_t next = 2;
    if (IsValueAction(item.action) && !Unescape(fields[next++], item.name)) {
        error = "the value name has a broken %XX escape, a NUL or text that is not UTF-8";
        return false;
    }
    switch (item.action) {
    case UndoAction::DeleteValue:
        return ParseData(fields[next], "now", item.now, error);
    case UndoAction::RestoreValue:
        return ParseData(fields[next], "now", item.now, error) &&
               ParseData(fields[next + 1], "old", item.old, error);
    case UndoAction::RecreateValue:
        return ParseData(fields[next], "old", item.old, error);
    case UndoAction::DeleteAddedFile:
        return ParseFacts(fields[next], "now", false, item.nowFile, error);
    case UndoAction::RestoreFile:
        if (!ParseFacts(fields[next], "now", false, item.nowFile, error) ||
            !ParseFacts(fields[next + 1], "old", true, item.oldFile, error))
            return false;
        next += 2;
        break;
    case UndoAction::RecreateFile:
        if (!ParseFacts(fields[next], "old", true, item.oldFile, error))
            return false;
        next += 1;
        break;
    case UndoAction::Leave:
        if (!Unescape(fields[next], item.reason)) {
            error = "the reason has a broken %XX escape, a NUL or text that is not UTF-8";
            return false;
        }
        return true;
    default:
        return true;
    }
    std::string kept;
    if (!Labelled(fields[next], "kept", kept) || !Unescape(kept, item.kept) || item.kept.empty()) {
        error = "the kept copy must be \"kept=PATH\" with a path in UTF-8";
        return false;
    }
    return true;
}

bool ParseItemLine(const std::string& line, UndoItem& item, std::string& error) {
    const std::vector<std::string> fields = SplitAt(line, '\t');
    const ActionName* action = nullptr;
    for (const ActionName& known : kActions) {
        if (fields[0] == known.word)
            action = &known;
    }
    if (action == nullptr) {
        error = "unknown item \"" + Shown(fields[0]) + "\"";
        return false;
    }
    if (fields.size() != action->fields + 1) {
        error = std::string(action->word) + " takes " + std::to_string(action->fields) +
                " tab-separated fields after its name; this line has " + std::to_string(fields.size() - 1);
        return false;
    }
    item = UndoItem();
    item.action = action->action;
    return ParseFields(fields, item, error) && CheckPath(item, error);
}

bool ParseHeader(const std::string& line, std::string& error) {
    const std::vector<std::string> fields = SplitAt(line, '\t');
    if (fields.size() != 2 || fields[0] != kUndoPlanMagic) {
        error = std::string("this is not an undo plan of orvane-track: its first line must be \"") +
                kUndoPlanMagic + "<TAB>" + std::to_string(kUndoPlanVersion) + "\"";
        return false;
    }
    if (fields[1] != std::to_string(kUndoPlanVersion)) {
        error = "the plan is written in format version \"" + Shown(fields[1]) +
                "\", which this orvane-track does not read (it reads version " +
                std::to_string(kUndoPlanVersion) + ")";
        return false;
    }
    return true;
}

// Collects the errors of a plan: the first ones listed, the rest counted.
class ErrorList {
public:
    void Add(size_t line, const std::string& why) {
        if (++count_ <= kMaxListedPlanErrors)
            errors_.push_back("line " + std::to_string(line) + ": " + why);
    }
    std::vector<std::string> Take() {
        if (count_ > kMaxListedPlanErrors)
            errors_.push_back("... and " + std::to_string(count_ - kMaxListedPlanErrors) +
                              " more lines that cannot be used");
        return std::move(errors_);
    }

private:
    std::vector<std::string> errors_;
    size_t count_ = 0;
};

} // namespace

std::string FormatFileTime(std::uint64_t fileTime) {
    const std::uint64_t days = fileTime / kTicksPerDay, rest = fileTime % kTicksPerDay;
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(static_cast<std::int64_t>(days) - kDays1601To1970, year, month, day);
    const std::uint64_t seconds = rest / kTicksPerSecond;
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%07uZ", static_cast<long long>(year),
                  month, day, static_cast<unsigned>(seconds / 3600), static_cast<unsigned>(seconds / 60 % 60),
                  static_cast<unsigned>(seconds % 60), static_cast<unsigned>(rest % kTicksPerSecond));
    return text;
}

bool ParseFileTime(const std::string& text, std::uint64_t& fileTime) {
    size_t at = 0;
    std::uint64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, fraction = 0;
    const size_t yearDigits = text.find('-');
    if (yearDigits != 4 && yearDigits != 5)
        return false;
    if (!ReadNumber(text, at, yearDigits, year) || !Expect(text, at, '-') ||
        !ReadNumber(text, at, 2, month) || !Expect(text, at, '-') || !ReadNumber(text, at, 2, day) ||
        !Expect(text, at, 'T') || !ReadNumber(text, at, 2, hour) || !Expect(text, at, ':') ||
        !ReadNumber(text, at, 2, minute) || !Expect(text, at, ':') || !ReadNumber(text, at, 2, second) ||
        !Expect(text, at, '.') || !ReadNumber(text, at, 7, fraction) || !Expect(text, at, 'Z') ||
        at != text.size())
        return false;
    if (year < 1601 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(static_cast<std::int64_t>(year), static_cast<unsigned>(month)) || hour > 23 ||
        minute > 59 || second > 59)
        return false;
    const std::int64_t days = DaysFromCivil(static_cast<std::int64_t>(year), static_cast<unsigned>(month),
                                            static_cast<unsigned>(day)) +
                              kDays1601To1970;
    const std::uint64_t inDay = (hour * 3600 + minute * 60 + second) * kTicksPerSecond + fraction;
    // A FILETIME counts to about the year 60056.
    if (static_cast<std::uint64_t>(days) > (UINT64_MAX - inDay) / kTicksPerDay)
        return false;
    fileTime = static_cast<std::uint64_t>(days) * kTicksPerDay + inDay;
    return true;
}

bool IsAbsolutePath(const std::string& path) {
    const bool drive = path.size() >= 3 &&
                       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                       path[1] == ':' && path[2] == '\\';
    return drive || path.compare(0, 2, "\\\\") == 0;
}

bool SplitRegistryPath(const std::string& path, std::string& root, std::string& subKey) {
    const size_t slash = path.find('\\');
    const std::string first = path.substr(0, slash);
    for (const RootName& known : kRoots) {
        if (SameAsciiIgnoringCase(first, known.spelled)) {
            root = known.shortName;
            subKey = slash == std::string::npos ? std::string() : path.substr(slash + 1);
            return true;
        }
    }
    return false;
}

std::string FormatUndoItem(const UndoItem& item) {
    std::string line = std::string(NameOf(item.action).word) + "\t" + Escape(item.path);
    if (IsValueAction(item.action))
        line += "\t" + Escape(item.name);
    switch (item.action) {
    case UndoAction::DeleteValue:
        return line + "\tnow=" + DataText(item.now);
    case UndoAction::RestoreValue:
        return line + "\tnow=" + DataText(item.now) + "\told=" + DataText(item.old);
    case UndoAction::RecreateValue:
        return line + "\told=" + DataText(item.old);
    case UndoAction::DeleteAddedFile:
        return line + "\tnow=" + FactsText(item.nowFile, false);
    case UndoAction::RestoreFile:
        return line + "\tnow=" + FactsText(item.nowFile, false) + "\told=" + FactsText(item.oldFile, true) +
               "\tkept=" + Escape(item.kept);
    case UndoAction::RecreateFile:
        return line + "\told=" + FactsText(item.oldFile, true) + "\tkept=" + Escape(item.kept);
    case UndoAction::Leave:
        return line + "\t" + Escape(item.reason);
    default:
        return line;
    }
}

std::string FormatUndoComment(const std::string& utf8) {
    std::string line = "# ";
    for (char c : utf8)
        line += c == '\r' || c == '\n' ? ' ' : c;
    return line;
}

std::string UndoPlanHeaderLine() {
    return std::string(kUndoPlanMagic) + "\t" + std::to_string(kUndoPlanVersion);
}

std::string UndoPlanEndLine(size_t itemCount) {
    return "end\t" + std::to_string(itemCount);
}

bool ServiceOfKey(const std::string& path, std::string& service) {
    std::string root, subKey;
    if (!SplitRegistryPath(path, root, subKey) || root != "HKLM")
        return false;
    const std::vector<std::string> parts = SplitAt(subKey, '\\');
    if (parts.size() != 4 || parts[3].empty() || !EqualsIgnoringCase(parts[0], "System") ||
        !EqualsIgnoringCase(parts[2], "Services"))
        return false;
    const std::string& set = parts[1];
    const bool numbered =
        set.size() == 13 && EqualsIgnoringCase(set.substr(0, 10), "ControlSet") &&
        std::all_of(set.begin() + 10, set.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!numbered && !EqualsIgnoringCase(set, "CurrentControlSet"))
        return false;
    service = parts[3];
    return true;
}

std::string UndoTarget(const UndoItem& item) {
    switch (item.action) {
    case UndoAction::DeleteValue:
    case UndoAction::RestoreValue:
    case UndoAction::RecreateValue:
        return "value " + item.path + "\\" + (item.name.empty() ? "(default)" : item.name);
    case UndoAction::DeleteKey:
    case UndoAction::RecreateKey:
        return "key " + item.path;
    case UndoAction::DeleteAddedFile:
    case UndoAction::RestoreFile:
    case UndoAction::RecreateFile:
        return "file " + item.path;
    case UndoAction::DeleteFolder:
        return "folder " + item.path;
    case UndoAction::DeleteService:
    case UndoAction::StopService: {
        std::string service;
        ServiceOfKey(item.path, service);
        return "service " + service;
    }
    case UndoAction::Leave:
        break;
    }
    return item.path;
}

std::string DescribeUndoItem(const UndoItem& item) {
    switch (item.action) {
    case UndoAction::DeleteValue:
    case UndoAction::DeleteKey:
    case UndoAction::DeleteAddedFile:
        return "delete " + UndoTarget(item);
    case UndoAction::DeleteFolder:
        return "delete " + UndoTarget(item) + " once it is empty";
    case UndoAction::DeleteService:
        return "delete " + UndoTarget(item) + " once its key is gone";
    case UndoAction::StopService:
        return "stop " + UndoTarget(item) + " where it runs";
    case UndoAction::RestoreValue:
    case UndoAction::RestoreFile:
        return "restore " + UndoTarget(item);
    case UndoAction::RecreateValue:
    case UndoAction::RecreateKey:
    case UndoAction::RecreateFile:
        return "re-create " + UndoTarget(item);
    case UndoAction::Leave:
        break;
    }
    return "leave alone " + UndoTarget(item) + " (" + item.reason + ")";
}

ParsedUndoPlan ParseUndoPlan(const std::string& whole) {
    ParsedUndoPlan plan;
    ErrorList errors;
    const std::string text = whole.compare(0, 3, "\xEF\xBB\xBF") == 0 ? whole.substr(3) : whole;
    std::vector<std::string> lines = SplitAt(text, '\n');
    if (!lines.empty() && lines.back().empty())
        lines.pop_back(); // the line end of the last line
    for (std::string& line : lines) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
    }
    std::string error;
    if (lines.empty() || !ParseHeader(lines[0], error)) {
        errors.Add(1, lines.empty() ? "the plan is empty" : error);
        plan.errors = errors.Take();
        return plan;
    }
    size_t endLine = 0, endCount = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty() || line[0] == '#')
            continue;
        if (endLine != 0) {
            errors.Add(i + 1, "there is more after the end line");
            continue;
        }
        std::uint64_t count = 0;
        if (line.compare(0, 4, "end\t") == 0 || line == "end") {
            if (!ParseUnsigned(line.size() > 4 ? line.substr(4) : std::string(), SIZE_MAX, count)) {
                errors.Add(i + 1, "the end line must be \"end<TAB>COUNT\"");
                count = 0;
            }
            endLine = i + 1;
            endCount = static_cast<size_t>(count);
            continue;
        }
        UndoItem item;
        if (ParseItemLine(line, item, error))
            plan.items.push_back(std::move(item));
        else
            errors.Add(i + 1, error);
    }
    if (endLine == 0)
        errors.Add(lines.size() + 1, "the plan stops before its end line: it was cut short");
    else if (endCount != plan.items.size())
        errors.Add(endLine, "the end line counts " + std::to_string(endCount) + " items; the plan has " +
                                std::to_string(plan.items.size()) + " that can be read");
    plan.errors = errors.Take();
    if (!plan.errors.empty())
        plan.items.clear();
    return plan;
}

} // namespace track
