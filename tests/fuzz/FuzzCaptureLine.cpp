// Random kernel names, SIDs, images and value names, made of the pieces the capture line rules turn
// on (the roots' prefixes in mixed case, the SID and names that nearly match it, "_Classes", tabs,
// CR, LF and NUL, units outside ASCII, runs that bring a line near the log's limit), through the
// builder with exactly sized heap inputs and outputs, against a literal transcription of the rules
// on std::u16string. Outputs start filled with a sentinel: a refusal leaves all of it, a line all
// of it past the line.
#include "driver/CaptureLine.h"
#include "tests/fuzz/FuzzRunner.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using Text = std::u16string;

constexpr uint16_t kSentinel = 0xBEEF;
constexpr size_t kNone = Text::npos;

// ---- The rules, as written.

Text Folded(Text text) {
    for (char16_t& unit : text) {
        if (unit >= u'a' && unit <= u'z')
            unit = char16_t(unit - u'a' + u'A');
    }
    return text;
}

bool SameFolded(const Text& a, const Text& b) {
    return Folded(a) == Folded(b);
}

// What follows `root` in `name`, when the name is the root itself or goes on below it.
std::optional<Text> BelowRoot(const Text& name, const Text& root) {
    if (name.size() < root.size() || !SameFolded(name.substr(0, root.size()), root))
        return std::nullopt;
    const Text rest = name.substr(root.size());
    if (!rest.empty() && rest[0] != u'\\')
        return std::nullopt;
    return rest;
}

std::optional<Text> ReferenceMappedName(const Text& name, const Text& sid) {
    if (const std::optional<Text> rest = BelowRoot(name, u"\\REGISTRY\\MACHINE"))
        return u"HKLM" + *rest;
    const std::optional<Text> rest = BelowRoot(name, u"\\REGISTRY\\USER");
    if (!rest)
        return std::nullopt;
    if (rest->empty())
        return Text(u"HKEY_USERS");
    const size_t end = rest->find(u'\\', 1);
    const Text hive = rest->substr(1, end == kNone ? kNone : end - 1);
    const Text tail = end == kNone ? Text() : rest->substr(end);
    if (!sid.empty() && SameFolded(hive, sid))
        return u"HKCU" + tail;
    if (!sid.empty() && SameFolded(hive, sid + u"_Classes"))
        return u"HKCU\\Software\\Classes" + tail;
    return u"HKEY_USERS" + *rest;
}

bool HoldsForbidden(const Text& text) {
    return text.find_first_of(Text(u"\t\r\n\0", 4)) != kNone;
}

Text FromAscii(const std::string& text) {
    return Text(text.begin(), text.end());
}

Text FileName(const Text& image) {
    const size_t separator = image.find_last_of(u"\\/");
    return separator == kNone ? image : image.substr(separator + 1);
}

Text TypeText(uint32_t type) {
    static const char* const names[] = {"REG_NONE",
                                        "REG_SZ",
                                        "REG_EXPAND_SZ",
                                        "REG_BINARY",
                                        "REG_DWORD",
                                        "REG_DWORD_BIG_ENDIAN",
                                        "REG_LINK",
                                        "REG_MULTI_SZ",
                                        "REG_RESOURCE_LIST",
                                        "REG_FULL_RESOURCE_DESCRIPTOR",
                                        "REG_RESOURCE_REQUIREMENTS_LIST",
                                        "REG_QWORD"};
    return FromAscii(type < 12 ? names[type] : std::to_string(type));
}

Text StatusText(uint32_t status) {
    if (status == 0)
        return u"SUCCESS";
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", status);
    return FromAscii(text);
}

struct Input {
    Text process, key, value, sid;
    int operation = CAPTURE_SET_VALUE;
    uint32_t type = 0, dataLength = 0, status = 0;
    // Null pointers, whatever the text's length.
    bool nullProcess = false, nullKey = false, nullValue = false, nullSid = false;
    bool nullEvent = false, nullLength = false, nullOutput = false;
};

struct Expected {
    CaptureResult result;
    Text text;
};

bool NullWithUnits(bool null, const Text& text) {
    return null && !text.empty();
}

bool ReferenceBadArgument(const Input& in, uint32_t capacity) {
    const bool setValue = in.operation == CAPTURE_SET_VALUE;
    return in.nullLength || (in.nullOutput && capacity != 0) || in.nullEvent ||
           (!setValue && in.operation != CAPTURE_DELETE_KEY) || NullWithUnits(in.nullProcess, in.process) ||
           NullWithUnits(in.nullKey, in.key) || (setValue && NullWithUnits(in.nullValue, in.value)) ||
           NullWithUnits(in.nullSid, in.sid);
}

// The fields of the line, or nothing for a key with no name in the log.
std::optional<std::vector<Text>> ReferenceFields(const Input& in) {
    const std::optional<Text> key = ReferenceMappedName(in.key, in.sid);
    if (!key)
        return std::nullopt;
    if (in.operation == CAPTURE_SET_VALUE)
        return std::vector<Text>{
            FileName(in.process), u"SetValue", *key + u"\\" + in.value, StatusText(in.status),
            u"Type: " + TypeText(in.type) + u", Length: " + FromAscii(std::to_string(in.dataLength))};
    return std::vector<Text>{FileName(in.process), u"DeleteKey", *key, StatusText(in.status), u"Key deleted"};
}

Text Joined(const std::vector<Text>& fields) {
    Text line = fields[0];
    for (size_t i = 1; i < fields.size(); ++i)
        line += u"\t" + fields[i];
    return line;
}

Expected ReferenceLine(const Input& in, uint32_t capacity) {
    if (ReferenceBadArgument(in, capacity))
        return {CAPTURE_BAD_ARGUMENT, u""};
    const std::optional<std::vector<Text>> fields = ReferenceFields(in);
    if (!fields)
        return {CAPTURE_UNMAPPED, u""};
    for (const Text& field : *fields) {
        if (HoldsForbidden(field))
            return {CAPTURE_FORBIDDEN_CHARACTER, u""};
    }
    const Text line = Joined(*fields);
    if (line.size() > std::min<uint32_t>(capacity, CAPTURE_LINE_MAX_UNITS))
        return {CAPTURE_TOO_LONG, u""};
    return {CAPTURE_OK, line};
}

Expected ReferenceMap(const Input& in, uint32_t capacity) {
    if (in.nullLength || (in.nullOutput && capacity != 0) || NullWithUnits(in.nullKey, in.key) ||
        NullWithUnits(in.nullSid, in.sid))
        return {CAPTURE_BAD_ARGUMENT, u""};
    const std::optional<Text> mapped = ReferenceMappedName(in.key, in.sid);
    if (!mapped)
        return {CAPTURE_UNMAPPED, u""};
    if (HoldsForbidden(*mapped))
        return {CAPTURE_FORBIDDEN_CHARACTER, u""};
    if (mapped->size() > capacity)
        return {CAPTURE_TOO_LONG, u""};
    return {CAPTURE_OK, *mapped};
}

// ---- Random inputs.

template <typename T, size_t N>
const T& PickFrom(std::mt19937& random, const T (&choices)[N]) {
    return choices[random() % N];
}

bool OneIn(std::mt19937& random, unsigned n) {
    return random() % n == 0;
}

Text MixedCase(std::mt19937& random, Text text) {
    for (char16_t& unit : text) {
        if (unit >= u'A' && unit <= u'Z' && OneIn(random, 2))
            unit = char16_t(unit - u'A' + u'a');
    }
    return text;
}

Text NearSid(std::mt19937& random, const Text& sid) {
    switch (random() % 6) {
    case 0:
        return sid.empty() ? sid : sid.substr(0, sid.size() - 1);
    case 1:
        return sid + u"0";
    case 2:
        return sid + u"_Classe";
    case 3:
        return sid + u"_Classesx";
    case 4:
        return u"_Classes";
    default:
        return sid + u"_";
    }
}

// A run that puts a line near the log's limit, or well inside it.
Text LongRun(std::mt19937& random) {
    const size_t length =
        OneIn(random, 2) ? CAPTURE_LINE_MAX_UNITS - 120 + random() % 160 : 100 + random() % 200;
    return Text(length, OneIn(random, 4) ? u'\u00E9' : u'x');
}

Text OddUnit(std::mt19937& random) {
    static const char16_t units[] = {u'\t', u'\r', u'\n',  u'\0',  0x7F,   0x80,   0xE9,
                                     0x130, 0x131, 0x212A, 0xD800, 0xDC00, 0xFFFF, u'/'};
    return Text(1, PickFrom(random, units));
}

Text ShortText(std::mt19937& random) {
    static const char16_t alphabet[] = u"aZ_-. 1\\";
    Text text(random() % 6, u'a');
    for (char16_t& unit : text)
        unit = alphabet[random() % (sizeof alphabet / sizeof alphabet[0] - 1)];
    return text;
}

Text RandomPiece(std::mt19937& random, const Text& sid) {
    switch (random() % 14) {
    case 0:
        return u"\\";
    case 1:
        return MixedCase(random, sid);
    case 2:
        return MixedCase(random, sid + u"_Classes");
    case 3:
        return NearSid(random, sid);
    case 4:
        return u".DEFAULT";
    case 5:
        return u"Software";
    case 6:
    case 7:
        return OddUnit(random);
    case 8:
        return OneIn(random, 4) ? LongRun(random) : ShortText(random);
    case 9:
        return MixedCase(random, u"\\REGISTRY\\MACHINE");
    case 10:
        return MixedCase(random, u"\\REGISTRY\\USER");
    default:
        return ShortText(random);
    }
}

Text RandomPieces(std::mt19937& random, const Text& sid, unsigned most) {
    Text text;
    const unsigned count = random() % (most + 1);
    for (unsigned i = 0; i < count; ++i)
        text += (OneIn(random, 2) ? u"\\" : u"") + RandomPiece(random, sid);
    return text;
}

Text RandomHive(std::mt19937& random, const Text& sid) {
    switch (random() % 5) {
    case 0:
        return MixedCase(random, sid);
    case 1:
        return MixedCase(random, sid + u"_Classes");
    case 2:
        return NearSid(random, sid);
    case 3:
        return u".DEFAULT";
    default:
        return RandomPiece(random, sid);
    }
}

Text RandomKeyName(std::mt19937& random, const Text& sid) {
    static const char16_t* const others[] = {
        u"\\REGISTRY",        u"\\REGISTRY\\",      u"\\REGISTRY\\A", u"\\REGISTRY\\MACHIN",
        u"\\REGISTRY\\USERS", u"REGISTRY\\MACHINE", u"HKLM",          u"\\REGISTRY\\MACHINEX"};
    Text name;
    switch (random() % 8) {
    case 0:
    case 1:
    case 2:
        name = MixedCase(random, u"\\REGISTRY\\MACHINE");
        break;
    case 3:
    case 4:
    case 5:
        name = MixedCase(random, u"\\REGISTRY\\USER");
        if (!OneIn(random, 5))
            name += u"\\" + RandomHive(random, sid);
        break;
    case 6:
        name = MixedCase(random, PickFrom(random, others));
        break;
    default:
        break;
    }
    return name + RandomPieces(random, sid, 4);
}

Text RandomSid(std::mt19937& random) {
    static const char16_t* const sids[] = {u"S-1-5-21-1", u"S-1-5-21-3623811015-3361044348-30300820-1013",
                                           u"s-1-5-21-1", u"",
                                           u"S-1\t",      u"S\\1",
                                           u"\u00E9",     u"_Classes"};
    return PickFrom(random, sids);
}

Text RandomImage(std::mt19937& random, const Text& sid) {
    static const char16_t* const folders[] = {u"",     u"C:\\Setup\\", u"\\Device\\HarddiskVolume1\\x\\",
                                              u"a/b/", u"C:\\x\t\\",   u"\\"};
    static const char16_t* const names[] = {u"setup.exe", u"msiexec.exe", u"System", u"", u"\u30BB.exe"};
    Text image = Text(PickFrom(random, folders)) + PickFrom(random, names);
    if (OneIn(random, 4))
        image += RandomPieces(random, sid, 2);
    return image;
}

int RandomOperation(std::mt19937& random) {
    static const int odd[] = {0, 3, -1, INT_MAX, INT_MIN};
    if (OneIn(random, 20))
        return PickFrom(random, odd);
    return OneIn(random, 2) ? CAPTURE_SET_VALUE : CAPTURE_DELETE_KEY;
}

uint32_t RandomStatus(std::mt19937& random) {
    static const uint32_t statuses[] = {0xC0000022, 1, 0x80000005, 0x103, 0xFFFFFFFF};
    if (!OneIn(random, 4))
        return 0;
    return OneIn(random, 2) ? PickFrom(random, statuses) : uint32_t(random());
}

// Some lines are padded to within two units of the log's limit, where the builder's own limit and
// the output's size meet.
void PadNearTheLimit(std::mt19937& random, Input& in) {
    const std::optional<std::vector<Text>> fields = ReferenceFields(in);
    const size_t target = CAPTURE_LINE_MAX_UNITS - 2 + random() % 5;
    if (!fields || Joined(*fields).size() + 1 >= target)
        return;
    const Text run = u"\\" + Text(target - Joined(*fields).size() - 1, OneIn(random, 4) ? u'\u00E9' : u'v');
    if (in.operation == CAPTURE_SET_VALUE)
        in.value += run;
    else
        in.key += run;
}

Input RandomInput(std::mt19937& random) {
    Input in;
    in.sid = RandomSid(random);
    in.key = RandomKeyName(random, in.sid);
    in.value = RandomPieces(random, in.sid, 3);
    in.process = RandomImage(random, in.sid);
    in.operation = RandomOperation(random);
    in.type = OneIn(random, 4) ? uint32_t(random()) : uint32_t(random() % 14);
    in.dataLength = OneIn(random, 2) ? uint32_t(random()) : uint32_t(random() % 64);
    in.status = RandomStatus(random);
    in.nullProcess = OneIn(random, 40);
    in.nullKey = OneIn(random, 40);
    in.nullValue = OneIn(random, 40);
    in.nullSid = OneIn(random, 40);
    in.nullEvent = OneIn(random, 100);
    in.nullLength = OneIn(random, 100);
    in.nullOutput = OneIn(random, 50);
    if (OneIn(random, 8))
        PadNearTheLimit(random, in);
    return in;
}

// Near the size that fits exactly, near the log's limit, nothing, or anything.
uint32_t RandomCapacity(std::mt19937& random, size_t exact) {
    switch (random() % 8) {
    case 0:
    case 1:
    case 2:
        return uint32_t(std::max<long>(0, long(exact) + long(random() % 5) - 2));
    case 3:
        return CAPTURE_LINE_MAX_UNITS - 1 + random() % 3;
    case 4:
        return 0;
    default:
        return random() % 9000;
    }
}

// ---- The builder, on exactly sized heap copies, so that any read or write past them is seen.

class HeapText {
public:
    HeapText(const Text& text, bool null)
        : units_(new uint16_t[text.size()]), length_(uint32_t(text.size())), null_(null) {
        std::copy(text.begin(), text.end(), units_.get());
    }
    CaptureText get() const { return CaptureText{null_ ? nullptr : units_.get(), length_}; }

private:
    std::unique_ptr<uint16_t[]> units_;
    uint32_t length_;
    bool null_;
};

class HeapOutput {
public:
    HeapOutput(uint32_t capacity, bool null)
        : units_(new uint16_t[capacity]), capacity_(capacity), null_(null) {
        std::fill(units_.get(), units_.get() + capacity, kSentinel);
    }
    uint16_t* data() const { return null_ ? nullptr : units_.get(); }
    uint32_t capacity() const { return capacity_; }

    // The result, the length and the output agree with what was expected.
    bool Matches(CaptureResult result, uint32_t length, const Expected& expected) const {
        if (result != expected.result)
            return Report("result", result, expected.result);
        if (length != expected.text.size())
            return Report("length", length, expected.text.size());
        for (uint32_t i = 0; i < capacity_; ++i) {
            const uint16_t unit = i < length ? uint16_t(expected.text[i]) : kSentinel;
            if (units_[i] != unit) {
                std::printf("capture-line: unit %u is 0x%04X, expected 0x%04X\n", i, units_[i], unit);
                return false;
            }
        }
        return true;
    }

private:
    static bool Report(const char* what, unsigned long long got, unsigned long long expected) {
        std::printf("capture-line: %s %llu, expected %llu\n", what, got, expected);
        return false;
    }

    std::unique_ptr<uint16_t[]> units_;
    uint32_t capacity_;
    bool null_;
};

bool CheckLine(const Input& in, uint32_t capacity) {
    const HeapText process(in.process, in.nullProcess), key(in.key, in.nullKey),
        value(in.value, in.nullValue), sid(in.sid, in.nullSid);
    const CaptureEvent event{process.get(), in.operation,  key.get(), value.get(),
                             in.type,       in.dataLength, in.status};
    const HeapOutput output(capacity, in.nullOutput);
    uint32_t length = 0xDEAD;
    const CaptureResult result = CaptureBuildLine(in.nullEvent ? nullptr : &event, sid.get(), output.data(),
                                                  output.capacity(), in.nullLength ? nullptr : &length);
    if (in.nullLength)
        length = 0;
    return output.Matches(result, length, ReferenceLine(in, capacity));
}

bool CheckMappedName(const Input& in, uint32_t capacity) {
    const HeapText key(in.key, in.nullKey), sid(in.sid, in.nullSid);
    const HeapOutput output(capacity, in.nullOutput);
    uint32_t length = 0xDEAD;
    const CaptureResult result = CaptureMapKeyName(key.get(), sid.get(), output.data(), output.capacity(),
                                                   in.nullLength ? nullptr : &length);
    if (in.nullLength)
        length = 0;
    return output.Matches(result, length, ReferenceMap(in, capacity));
}

bool CheckOneCase(std::mt19937& random) {
    const Input in = RandomInput(random);
    const std::optional<std::vector<Text>> fields = ReferenceFields(in);
    const size_t lineLength = fields ? Joined(*fields).size() : 0;
    const std::optional<Text> mapped = ReferenceMappedName(in.key, in.sid);
    const size_t mappedLength = mapped ? mapped->size() : 0;
    return CheckLine(in, RandomCapacity(random, lineLength)) &&
           CheckMappedName(in, RandomCapacity(random, mappedLength));
}

} // namespace

FUZZ_ENTRY("capture-line", CheckOneCase)
