// The capture line builder through its two functions: kernel names mapped to the log's roots, whole
// lines for both operations, each refusal for its one reason, and built lines read back by the
// library's own parsing passes and path split.
#include "driver/CaptureLine.h"

#include "registry/LogParser.h"
#include "stand-ins/brannock/IMendwellInc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kSentinel = 0xBEEF;
const std::u16string kSid = u"S-1-5-21-1";

// The builder's texts are uint16_t: char16_t is another type, which its pointers must not alias.
// Each held text stays where it is until the store goes.
class UnitStore {
public:
    CaptureText Hold(const std::u16string& text) {
        held_.emplace_back(text.begin(), text.end());
        const std::vector<uint16_t>& units = held_.back();
        return CaptureText{units.empty() ? nullptr : units.data(), static_cast<uint32_t>(units.size())};
    }

private:
    std::list<std::vector<uint16_t>> held_;
};

struct Event {
    std::u16string process = u"C:\\Setup\\setup.exe";
    int operation = CAPTURE_SET_VALUE;
    std::u16string key = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor";
    std::u16string value = u"Name";
    uint32_t type = 1; // REG_SZ
    uint32_t dataLength = 12;
    uint32_t status = 0;
};

struct Outcome {
    CaptureResult result;
    std::u16string text;
};

// Output of exactly `capacity` units between two sentinels, which must survive; on a refusal the
// output must be as it was and the length 0.
class GuardedOutput {
public:
    explicit GuardedOutput(uint32_t capacity) : units_(capacity + 2, kSentinel) {}
    uint16_t* data() { return units_.size() == 2 ? nullptr : units_.data() + 1; }
    uint32_t capacity() const { return static_cast<uint32_t>(units_.size() - 2); }

    Outcome Take(CaptureResult result, uint32_t length) const {
        EXPECT_EQ(units_.front(), kSentinel) << "written before the output";
        EXPECT_EQ(units_.back(), kSentinel) << "written past the output";
        if (result != CAPTURE_OK) {
            EXPECT_EQ(length, 0u);
            for (size_t i = 1; i + 1 < units_.size(); ++i)
                EXPECT_EQ(units_[i], kSentinel) << "a refusal wrote at " << i - 1;
            return Outcome{result, u""};
        }
        EXPECT_LE(length, capacity());
        return Outcome{result, std::u16string(units_.begin() + 1, units_.begin() + 1 + length)};
    }

private:
    std::vector<uint16_t> units_;
};

Outcome Map(const std::u16string& name, const std::u16string& sid = kSid, uint32_t capacity = 512) {
    UnitStore store;
    GuardedOutput output(capacity);
    uint32_t length = 12345;
    const CaptureResult result =
        CaptureMapKeyName(store.Hold(name), store.Hold(sid), output.data(), output.capacity(), &length);
    return output.Take(result, length);
}

Outcome Build(const Event& event, const std::u16string& sid = kSid,
              uint32_t capacity = CAPTURE_LINE_MAX_UNITS) {
    UnitStore store;
    const CaptureEvent captured{store.Hold(event.process),
                                event.operation,
                                store.Hold(event.key),
                                store.Hold(event.value),
                                event.type,
                                event.dataLength,
                                event.status};
    GuardedOutput output(capacity);
    uint32_t length = 12345;
    const CaptureResult result =
        CaptureBuildLine(&captured, store.Hold(sid), output.data(), output.capacity(), &length);
    return output.Take(result, length);
}

std::u16string Line(const Event& event, const std::u16string& sid = kSid) {
    const Outcome outcome = Build(event, sid);
    EXPECT_EQ(outcome.result, CAPTURE_OK);
    return outcome.text;
}

std::u16string Field(const std::u16string& line, size_t index) {
    size_t start = 0;
    for (size_t i = 0; i < index; ++i)
        start = line.find(u'\t', start) + 1;
    return line.substr(start, line.find(u'\t', start) - start);
}

std::string Shown(const std::u16string& text) {
    return testing::PrintToString(text);
}

struct Mapping {
    const char16_t* name;
    const char16_t* mapped;
};

void ExpectMappings(const std::vector<Mapping>& mappings, const std::u16string& sid = kSid) {
    for (const Mapping& mapping : mappings) {
        const Outcome outcome = Map(mapping.name, sid);
        EXPECT_EQ(outcome.result, CAPTURE_OK) << Shown(mapping.name);
        EXPECT_EQ(outcome.text, mapping.mapped) << Shown(mapping.name);
    }
}

TEST(MapKeyName, MachineKeysBecomeHklmWithTheRestAsGiven) {
    ExpectMappings({
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\X", u"HKLM\\SOFTWARE\\X"},
        {u"\\Registry\\Machine\\Software\\Wow6432Node\\x", u"HKLM\\Software\\Wow6432Node\\x"},
        {u"\\registry\\machine\\sOfTwArE", u"HKLM\\sOfTwArE"},
        {u"\\REGISTRY\\MACHINE", u"HKLM"},
        {u"\\registry\\MACHINE", u"HKLM"},
        {u"\\REGISTRY\\MACHINE\\", u"HKLM\\"},
        {u"\\REGISTRY\\MACHINE\\\\a\\\\", u"HKLM\\\\a\\\\"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\\u00C9t\u00E9\\\u65E5\u672C",
         u"HKLM\\SOFTWARE\\\u00C9t\u00E9\\\u65E5\u672C"},
        {u"\\REGISTRY\\MACHINE\\a/b", u"HKLM\\a/b"},
        {u"\\REGISTRY\\MACHINE\\\xD800\xFFFF", u"HKLM\\\xD800\xFFFF"},
    });
}

TEST(MapKeyName, TheTrackedUsersHivesBecomeHkcu) {
    ExpectMappings({
        {u"\\REGISTRY\\USER\\S-1-5-21-1\\Software\\V", u"HKCU\\Software\\V"},
        {u"\\Registry\\User\\s-1-5-21-1\\Software", u"HKCU\\Software"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1", u"HKCU"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1\\", u"HKCU\\"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1\\S-1-5-21-1", u"HKCU\\S-1-5-21-1"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1_Classes\\.txt", u"HKCU\\Software\\Classes\\.txt"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1_CLASSES", u"HKCU\\Software\\Classes"},
        {u"\\registry\\user\\s-1-5-21-1_classes\\CLSID\\x", u"HKCU\\Software\\Classes\\CLSID\\x"},
    });
}

TEST(MapKeyName, OtherHivesStayBelowHkeyUsersAsGiven) {
    ExpectMappings({
        {u"\\REGISTRY\\USER\\S-1-5-21-10\\Software", u"HKEY_USERS\\S-1-5-21-10\\Software"},
        {u"\\REGISTRY\\USER\\S-1-5-21-\\x", u"HKEY_USERS\\S-1-5-21-\\x"},
        {u"\\REGISTRY\\USER\\S-1-5-21", u"HKEY_USERS\\S-1-5-21"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1x", u"HKEY_USERS\\S-1-5-21-1x"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1_Classesx", u"HKEY_USERS\\S-1-5-21-1_Classesx"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1_Classe", u"HKEY_USERS\\S-1-5-21-1_Classe"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1_", u"HKEY_USERS\\S-1-5-21-1_"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1 ", u"HKEY_USERS\\S-1-5-21-1 "},
        {u"\\REGISTRY\\USER\\_Classes", u"HKEY_USERS\\_Classes"},
        {u"\\REGISTRY\\USER\\S-1-5-21-10_Classes", u"HKEY_USERS\\S-1-5-21-10_Classes"},
        {u"\\REGISTRY\\USER\\.DEFAULT\\Environment", u"HKEY_USERS\\.DEFAULT\\Environment"},
        {u"\\REGISTRY\\USER\\S-1-5-18", u"HKEY_USERS\\S-1-5-18"},
        {u"\\Registry\\User\\.default", u"HKEY_USERS\\.default"},
        {u"\\REGISTRY\\USER", u"HKEY_USERS"},
        {u"\\REGISTRY\\USER\\", u"HKEY_USERS\\"},
        {u"\\REGISTRY\\USER\\\\S-1-5-21-1", u"HKEY_USERS\\\\S-1-5-21-1"},
        {u"\\REGISTRY\\USER\\\u0130-1-5-21-1", u"HKEY_USERS\\\u0130-1-5-21-1"},
    });
}

TEST(MapKeyName, AnEmptySidMatchesNoHive) {
    ExpectMappings(
        {
            {u"\\REGISTRY\\USER\\S-1-5-21-1\\x", u"HKEY_USERS\\S-1-5-21-1\\x"},
            {u"\\REGISTRY\\USER\\_Classes\\x", u"HKEY_USERS\\_Classes\\x"},
            {u"\\REGISTRY\\USER\\\\x", u"HKEY_USERS\\\\x"},
            {u"\\REGISTRY\\USER\\", u"HKEY_USERS\\"},
            {u"\\REGISTRY\\USER", u"HKEY_USERS"},
        },
        u"");
}

TEST(MapKeyName, ASidWithABackslashMatchesNoSingleComponent) {
    ExpectMappings({{u"\\REGISTRY\\USER\\S-1\\x\\y", u"HKEY_USERS\\S-1\\x\\y"}}, u"S-1\\x");
}

TEST(MapKeyName, NamesOutsideTheTwoTreesAreUnmapped) {
    const char16_t* const names[] = {
        u"",
        u"\\",
        u"\\REGISTRY",
        u"\\REGISTRY\\",
        u"\\REGISTRY\\MACHIN",
        u"\\REGISTRY\\MACHINEX",
        u"\\REGISTRY\\MACHINE_X\\y",
        u"\\REGISTRY\\MACHINE/SOFTWARE",
        u"\\REGISTRY\\USERS\\x",
        u"\\REGISTRY\\USE",
        u"\\REGISTRY\\A\\{6C1B7E0A-1}\\Software",
        u"\\REGISTRY\\WC\\Silo",
        u"REGISTRY\\MACHINE\\SOFTWARE",
        u" \\REGISTRY\\MACHINE",
        u"\\\\REGISTRY\\MACHINE",
        u"\\REGISTRY/MACHINE",
        u"\\REGISTRY\\MACH\u0130NE\\x",
        u"\\REGISTRY\\MACHINE\t\\x",
        u"HKLM\\SOFTWARE",
        u"HKEY_LOCAL_MACHINE\\SOFTWARE",
    };
    for (const char16_t* name : names)
        EXPECT_EQ(Map(name).result, CAPTURE_UNMAPPED) << Shown(name);
    EXPECT_EQ(Map(std::u16string(u"\\REGISTRY\\MACHINE\0\\x", 20)).result, CAPTURE_UNMAPPED);
    EXPECT_EQ(Map(std::u16string(u"\\REGISTRY\\USER\0", 15)).result, CAPTURE_UNMAPPED);
}

TEST(MapKeyName, RefusesForbiddenUnitsInWhatItKeeps) {
    for (const char16_t unit : {u'\t', u'\r', u'\n', u'\0'}) {
        const std::u16string bad(1, unit);
        for (const std::u16string& name :
             {u"\\REGISTRY\\MACHINE\\a" + bad + u"b", u"\\REGISTRY\\MACHINE\\" + bad,
              u"\\REGISTRY\\USER\\S-1-5-21-1\\x" + bad, u"\\REGISTRY\\USER\\S-1-5-21-1_Classes\\" + bad,
              u"\\REGISTRY\\USER\\.DEFAULT" + bad + u"\\x", u"\\REGISTRY\\USER\\" + bad + u"S-1-5-21-1"})
            EXPECT_EQ(Map(name).result, CAPTURE_FORBIDDEN_CHARACTER) << int(unit);
    }
}

// The hive's name is replaced by the root, so what it holds never reaches the line.
TEST(MapKeyName, AcceptsForbiddenUnitsInTheReplacedHiveName) {
    ExpectMappings({{u"\\REGISTRY\\USER\\S-1\t\\x", u"HKCU\\x"}}, u"S-1\t");
    ExpectMappings({{u"\\REGISTRY\\USER\\S-1\n_Classes", u"HKCU\\Software\\Classes"}}, u"S-1\n");
}

TEST(MapKeyName, FitsExactlySizedOutputsOnly) {
    const std::u16string name = u"\\REGISTRY\\USER\\S-1-5-21-1_Classes\\.txt";
    const std::u16string mapped = u"HKCU\\Software\\Classes\\.txt";
    const uint32_t size = static_cast<uint32_t>(mapped.size());
    EXPECT_EQ(Map(name, kSid, size).text, mapped);
    EXPECT_EQ(Map(name, kSid, size - 1).result, CAPTURE_TOO_LONG);
    EXPECT_EQ(Map(name, kSid, 1).result, CAPTURE_TOO_LONG);
    EXPECT_EQ(Map(name, kSid, 0).result, CAPTURE_TOO_LONG);
    EXPECT_EQ(Map(u"\\REGISTRY\\MACHINE", kSid, 4).text, u"HKLM");
    EXPECT_EQ(Map(u"\\REGISTRY\\MACHINE", kSid, 3).result, CAPTURE_TOO_LONG);
    // The other reasons stand whatever the output.
    EXPECT_EQ(Map(u"\\REGISTRY\\A\\x", kSid, 0).result, CAPTURE_UNMAPPED);
    EXPECT_EQ(Map(u"\\REGISTRY\\MACHINE\\\t", kSid, 0).result, CAPTURE_FORBIDDEN_CHARACTER);
}

TEST(MapKeyName, RefusesBadArguments) {
    const uint16_t name[] = {'\\', 'R', 'E', 'G', 'I', 'S', 'T', 'R', 'Y', '\\', 'U', 'S', 'E', 'R'};
    const CaptureText text{name, 14};
    const CaptureText empty{nullptr, 0};
    uint16_t output[32];
    uint32_t length = 7;
    EXPECT_EQ(CaptureMapKeyName(text, empty, output, 32, &length), CAPTURE_OK);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(CaptureMapKeyName(text, empty, output, 32, nullptr), CAPTURE_BAD_ARGUMENT);
    EXPECT_EQ(CaptureMapKeyName(text, empty, nullptr, 32, &length), CAPTURE_BAD_ARGUMENT);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(CaptureMapKeyName(CaptureText{nullptr, 14}, empty, output, 32, &length), CAPTURE_BAD_ARGUMENT);
    EXPECT_EQ(CaptureMapKeyName(text, CaptureText{nullptr, 1}, output, 32, &length), CAPTURE_BAD_ARGUMENT);
    // Null texts of no length are empty ones, and a null output of no room is an output too small.
    EXPECT_EQ(CaptureMapKeyName(empty, empty, output, 32, &length), CAPTURE_UNMAPPED);
    EXPECT_EQ(CaptureMapKeyName(text, empty, nullptr, 0, &length), CAPTURE_TOO_LONG);
}

TEST(BuildLine, SetValue) {
    EXPECT_EQ(Line(Event{}),
              u"setup.exe\tSetValue\tHKLM\\SOFTWARE\\Vendor\\Name\tSUCCESS\tType: REG_SZ, Length: 12");
    Event event;
    event.key = u"\\REGISTRY\\USER\\S-1-5-21-1_Classes\\.orv";
    event.value = u"Content Type";
    event.type = 4;
    event.dataLength = 4;
    EXPECT_EQ(Line(event), u"setup.exe\tSetValue\tHKCU\\Software\\Classes\\.orv\\Content "
                           u"Type\tSUCCESS\tType: REG_DWORD, Length: 4");
}

TEST(BuildLine, DeleteKey) {
    Event event;
    event.operation = CAPTURE_DELETE_KEY;
    event.key = u"\\REGISTRY\\USER\\S-1-5-21-1\\Software\\Vendor";
    EXPECT_EQ(Line(event), u"setup.exe\tDeleteKey\tHKCU\\Software\\Vendor\tSUCCESS\tKey deleted");
    event.key = u"\\REGISTRY\\MACHINE";
    EXPECT_EQ(Field(Line(event), 2), u"HKLM");
}

TEST(BuildLine, ValuePathsAreTheKeyABackslashAndTheName) {
    const struct {
        const char16_t* key;
        const char16_t* value;
        const char16_t* path;
    } cases[] = {
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Key", u"", u"HKLM\\SOFTWARE\\Key\\"}, // the default value
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Key", u"a\\b", u"HKLM\\SOFTWARE\\Key\\a\\b"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Key", u"\\", u"HKLM\\SOFTWARE\\Key\\\\"},
        {u"\\REGISTRY\\MACHINE", u"v", u"HKLM\\v"},
        {u"\\REGISTRY\\MACHINE", u"", u"HKLM\\"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1", u"v", u"HKCU\\v"},
        {u"\\REGISTRY\\USER", u"v", u"HKEY_USERS\\v"},
        {u"\\REGISTRY\\MACHINE\\K", u"\u00E9\xD800 ", u"HKLM\\K\\\u00E9\xD800 "},
    };
    for (const auto& c : cases) {
        Event event;
        event.key = c.key;
        event.value = c.value;
        EXPECT_EQ(Field(Line(event), 2), c.path) << Shown(c.key) << " " << Shown(c.value);
    }
}

TEST(BuildLine, KeepsTheImagesFileNameOnly) {
    const struct {
        const char16_t* image;
        const char16_t* process;
    } cases[] = {
        {u"C:\\Program Files\\Setup\\setup.exe", u"setup.exe"},
        {u"\\Device\\HarddiskVolume1\\Windows\\msiexec.exe", u"msiexec.exe"},
        {u"\\??\\C:\\x\\setup.exe", u"setup.exe"},
        {u"setup.exe", u"setup.exe"},
        {u"C:/x/y/setup.exe", u"setup.exe"},
        {u"C:\\x/y\\z.exe", u"z.exe"},
        {u"C:\\x\\y/z.exe", u"z.exe"},
        {u"C:\\x\ty\\setup.exe", u"setup.exe"}, // a tab that stays out of the line
        {u"C:\\x\\\u30BB\u30C3\u30C8.exe", u"\u30BB\u30C3\u30C8.exe"},
        {u"C:\\x\\", u""},
        {u"\\", u""},
        {u"", u""},
    };
    for (const auto& c : cases) {
        Event event;
        event.process = c.image;
        EXPECT_EQ(Field(Line(event), 0), c.process) << Shown(c.image);
    }
}

TEST(BuildLine, NamesEachKnownTypeAndNumbersTheRest) {
    const char16_t* const names[] = {u"REG_NONE",
                                     u"REG_SZ",
                                     u"REG_EXPAND_SZ",
                                     u"REG_BINARY",
                                     u"REG_DWORD",
                                     u"REG_DWORD_BIG_ENDIAN",
                                     u"REG_LINK",
                                     u"REG_MULTI_SZ",
                                     u"REG_RESOURCE_LIST",
                                     u"REG_FULL_RESOURCE_DESCRIPTOR",
                                     u"REG_RESOURCE_REQUIREMENTS_LIST",
                                     u"REG_QWORD"};
    Event event;
    event.dataLength = 0;
    for (uint32_t type = 0; type < 12; ++type) {
        event.type = type;
        EXPECT_EQ(Field(Line(event), 4), u"Type: " + std::u16string(names[type]) + u", Length: 0");
    }
    const struct {
        uint32_t type;
        const char16_t* detail;
    } unknown[] = {{12, u"Type: 12, Length: 0"},
                   {0x12345, u"Type: 74565, Length: 0"},
                   {0xFFFFFFFF, u"Type: 4294967295, Length: 0"}};
    for (const auto& c : unknown) {
        event.type = c.type;
        EXPECT_EQ(Field(Line(event), 4), c.detail);
    }
}

TEST(BuildLine, DataLengthsInDecimal) {
    const struct {
        uint32_t length;
        const char16_t* detail;
    } cases[] = {{0, u"Type: REG_BINARY, Length: 0"},
                 {7, u"Type: REG_BINARY, Length: 7"},
                 {10, u"Type: REG_BINARY, Length: 10"},
                 {1000000, u"Type: REG_BINARY, Length: 1000000"},
                 {0xFFFFFFFF, u"Type: REG_BINARY, Length: 4294967295"}};
    Event event;
    event.type = 3;
    for (const auto& c : cases) {
        event.dataLength = c.length;
        EXPECT_EQ(Field(Line(event), 4), c.detail);
    }
}

TEST(BuildLine, StatusesOtherThanZeroShowTheirNumber) {
    const struct {
        uint32_t status;
        const char16_t* result;
    } cases[] = {{0, u"SUCCESS"},        {0xC0000022, u"0xC0000022"}, {0x80000005, u"0x80000005"},
                 {0x103, u"0x00000103"}, {1, u"0x00000001"},          {0xFFFFFFFF, u"0xFFFFFFFF"}};
    for (const auto& c : cases) {
        Event event;
        event.status = c.status;
        EXPECT_EQ(Field(Line(event), 3), c.result);
        event.operation = CAPTURE_DELETE_KEY;
        EXPECT_EQ(Field(Line(event), 3), c.result);
    }
}

TEST(BuildLine, RefusesForbiddenUnitsInAnyField) {
    for (const char16_t unit : {u'\t', u'\r', u'\n', u'\0'}) {
        const std::u16string bad(1, unit);
        Event inProcess, inKey, inUsersHive, inValue, aloneInValue, inDeletedKey;
        inProcess.process = u"C:\\x\\set" + bad + u"up.exe";
        inKey.key = u"\\REGISTRY\\MACHINE\\SOFTWARE\\" + bad;
        inUsersHive.key = u"\\REGISTRY\\USER\\S-1-5-21-2" + bad + u"\\x";
        inValue.value = u"Na" + bad + u"me";
        aloneInValue.value = bad;
        inDeletedKey.operation = CAPTURE_DELETE_KEY;
        inDeletedKey.key = u"\\REGISTRY\\USER\\S-1-5-21-1\\" + bad;
        for (const Event& event : {inProcess, inKey, inUsersHive, inValue, aloneInValue, inDeletedKey})
            EXPECT_EQ(Build(event).result, CAPTURE_FORBIDDEN_CHARACTER) << int(unit);
    }
}

TEST(BuildLine, DeleteKeyLooksAtNoValue) {
    UnitStore store;
    Event event;
    event.operation = CAPTURE_DELETE_KEY;
    event.value = u"bad\tname";
    EXPECT_EQ(Build(event).result, CAPTURE_OK);
    const CaptureEvent unreadable{store.Hold(u"setup.exe"),
                                  CAPTURE_DELETE_KEY,
                                  store.Hold(u"\\REGISTRY\\MACHINE\\K"),
                                  CaptureText{nullptr, 5},
                                  0,
                                  0,
                                  0};
    uint16_t output[64];
    uint32_t length = 0;
    EXPECT_EQ(CaptureBuildLine(&unreadable, store.Hold(kSid), output, 64, &length), CAPTURE_OK);
    EXPECT_EQ(std::u16string(output, output + length),
              u"setup.exe\tDeleteKey\tHKLM\\K\tSUCCESS\tKey deleted");
}

TEST(BuildLine, EachRefusalNamesTheFirstReason) {
    Event everythingWrong;
    everythingWrong.operation = 3;
    everythingWrong.key = u"\\REGISTRY\\A\\x\t";
    everythingWrong.value = u"\n";
    EXPECT_EQ(Build(everythingWrong, kSid, 0).result, CAPTURE_BAD_ARGUMENT);
    everythingWrong.operation = CAPTURE_SET_VALUE;
    EXPECT_EQ(Build(everythingWrong, kSid, 0).result, CAPTURE_UNMAPPED);
    everythingWrong.key = u"\\REGISTRY\\MACHINE";
    EXPECT_EQ(Build(everythingWrong, kSid, 0).result, CAPTURE_FORBIDDEN_CHARACTER);
    everythingWrong.value = u"";
    EXPECT_EQ(Build(everythingWrong, kSid, 0).result, CAPTURE_TOO_LONG);
}

TEST(BuildLine, FitsExactlySizedOutputsOnly) {
    const std::u16string line = Line(Event{});
    const uint32_t size = static_cast<uint32_t>(line.size());
    EXPECT_EQ(Build(Event{}, kSid, size).text, line);
    EXPECT_EQ(Build(Event{}, kSid, size - 1).result, CAPTURE_TOO_LONG);
    EXPECT_EQ(Build(Event{}, kSid, 1).result, CAPTURE_TOO_LONG);
    EXPECT_EQ(Build(Event{}, kSid, 0).result, CAPTURE_TOO_LONG);
}

// Padded through the value's name to `units` units in all.
Event EventOfLineLength(uint32_t units) {
    Event event;
    event.value = u"";
    event.value.assign(units - Line(event).size(), u'v');
    return event;
}

TEST(BuildLine, NoLineIsLongerThanTheLogTakes) {
    const Event longest = EventOfLineLength(CAPTURE_LINE_MAX_UNITS);
    const Event tooLong = EventOfLineLength(CAPTURE_LINE_MAX_UNITS + 1);
    EXPECT_EQ(Build(longest, kSid, CAPTURE_LINE_MAX_UNITS).text.size(), size_t{CAPTURE_LINE_MAX_UNITS});
    EXPECT_EQ(Build(longest, kSid, CAPTURE_LINE_MAX_UNITS * 2).text.size(), size_t{CAPTURE_LINE_MAX_UNITS});
    EXPECT_EQ(Build(longest, kSid, CAPTURE_LINE_MAX_UNITS - 1).result, CAPTURE_TOO_LONG);
    EXPECT_EQ(Build(tooLong, kSid, CAPTURE_LINE_MAX_UNITS).result, CAPTURE_TOO_LONG);
    EXPECT_EQ(Build(tooLong, kSid, CAPTURE_LINE_MAX_UNITS * 2).result, CAPTURE_TOO_LONG);
    Event huge;
    huge.key = u"\\REGISTRY\\MACHINE\\" + std::u16string(70000, u'k');
    EXPECT_EQ(Build(huge, kSid, 100000).result, CAPTURE_TOO_LONG);
}

TEST(BuildLine, RefusesBadArguments) {
    UnitStore store;
    const CaptureText process = store.Hold(u"setup.exe"), key = store.Hold(u"\\REGISTRY\\MACHINE\\K"),
                      value = store.Hold(u"v"), sid = store.Hold(kSid);
    const CaptureText missing{nullptr, 3};
    const CaptureEvent good{process, CAPTURE_SET_VALUE, key, value, 1, 2, 0};
    uint16_t output[64];
    uint32_t length = 0;
    EXPECT_EQ(CaptureBuildLine(&good, sid, output, 64, &length), CAPTURE_OK);
    EXPECT_EQ(CaptureBuildLine(nullptr, sid, output, 64, &length), CAPTURE_BAD_ARGUMENT);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(CaptureBuildLine(&good, sid, output, 64, nullptr), CAPTURE_BAD_ARGUMENT);
    EXPECT_EQ(CaptureBuildLine(&good, sid, nullptr, 64, &length), CAPTURE_BAD_ARGUMENT);
    EXPECT_EQ(CaptureBuildLine(&good, missing, output, 64, &length), CAPTURE_BAD_ARGUMENT);
    const CaptureEvent bad[] = {
        {process, 0, key, value, 1, 2, 0},
        {process, 3, key, value, 1, 2, 0},
        {process, -1, key, value, 1, 2, 0},
        {missing, CAPTURE_SET_VALUE, key, value, 1, 2, 0},
        {process, CAPTURE_SET_VALUE, missing, value, 1, 2, 0},
        {process, CAPTURE_SET_VALUE, key, missing, 1, 2, 0},
        {missing, CAPTURE_DELETE_KEY, key, value, 1, 2, 0},
        {process, CAPTURE_DELETE_KEY, missing, value, 1, 2, 0},
    };
    for (const CaptureEvent& event : bad)
        EXPECT_EQ(CaptureBuildLine(&event, sid, output, 64, &length), CAPTURE_BAD_ARGUMENT)
            << event.operation;
}

// The library's parsing takes the log's ANSI text; these lines are ASCII, one byte a unit.
std::string Narrow(const std::u16string& line) {
    std::string text;
    for (char16_t unit : line) {
        EXPECT_LT(unit, 0x80) << "not an ASCII line";
        text += static_cast<char>(unit);
    }
    return text;
}

std::list<_RegLogEntry> KeptEntries(const std::vector<Event>& events) {
    RawLineList lines;
    for (const Event& event : events)
        lines.Append(Narrow(Line(event)));
    std::list<_RegLogEntry> entries;
    KeepLogLines(lines, entries);
    CancelDeletedKeys(entries);
    return entries;
}

TEST(BuiltLines, PassTheLibrarysFirstTwoPassesAsWhatTheyStandFor) {
    Event write, defaultValue, failed, deletion, writeBelowDeletion;
    defaultValue.value = u"";
    failed.status = 0xC0000022;
    deletion.operation = CAPTURE_DELETE_KEY;
    deletion.key = u"\\REGISTRY\\USER\\S-1-5-21-1\\Software\\Gone";
    writeBelowDeletion.key = u"\\REGISTRY\\USER\\S-1-5-21-1\\Software\\Gone\\Sub";
    Event writtenAgain = writeBelowDeletion;
    writtenAgain.value = u"Again";
    const std::list<_RegLogEntry> entries =
        KeptEntries({write, defaultValue, failed, writeBelowDeletion, deletion, writtenAgain});
    ASSERT_EQ(entries.size(), 5u);
    auto entry = entries.begin();
    EXPECT_EQ(entry->process, "setup.exe");
    EXPECT_EQ(entry->operation, "SetValue");
    EXPECT_EQ(entry->path, "HKLM\\SOFTWARE\\Vendor\\Name");
    EXPECT_EQ(entry->result, "SUCCESS");
    EXPECT_EQ(entry->detail, "Type: REG_SZ, Length: 12");
    ++entry;
    EXPECT_EQ(entry->path, "HKLM\\SOFTWARE\\Vendor\\");
    ++entry;
    EXPECT_EQ(entry->operation, "DeleteKey") << "a write below a key deleted after it is cancelled";
    EXPECT_EQ(entry->path, "HKCU\\Software\\Gone\\Sub\\Name");
    ++entry;
    EXPECT_EQ(entry->operation, "DeleteKey");
    EXPECT_EQ(entry->path, "HKCU\\Software\\Gone");
    EXPECT_EQ(entry->detail, "Key deleted");
    ++entry;
    EXPECT_EQ(entry->operation, "SetValue") << "a write after the deletion stays";
    EXPECT_EQ(entry->path, "HKCU\\Software\\Gone\\Sub\\Again");
}

// The texts the driver's registry callback hands the builder: a process image as the kernel names
// it (an NT device path) or "System" for the system process, the caller's SID as the kernel spells
// it, and the status of a post-notification.
TEST(BuiltLines, FromTheRegistryCallbacksTextsPassOrDropAsTheLogsReadersExpect) {
    const std::u16string sid = u"S-1-5-21-3623811015-3361044348-30300820-1013";
    Event ntPath, system, failedPost, userWrite, unusualCase;
    ntPath.process = u"\\Device\\HarddiskVolume2\\Program Files\\Vendor\\Setup Helper.exe";
    system.process = u"System";
    failedPost.status = 0xC0000022; // access denied, as a post reports it
    userWrite.key = u"\\REGISTRY\\USER\\" + sid + u"\\Software\\Vendor";
    unusualCase.key = u"\\REGISTRY\\USER\\s-1-5-21-3623811015-3361044348-30300820-1013_classes\\.vnd";
    RawLineList lines;
    for (const Event* event : {&ntPath, &system, &failedPost, &userWrite, &unusualCase})
        lines.Append(Narrow(Line(*event, sid)));
    EXPECT_EQ(lines[0].substr(0, lines[0].find('\t')), "Setup Helper.exe");
    EXPECT_NE(lines[2].find("\t0xC0000022\t"), std::string_view::npos);
    std::list<_RegLogEntry> entries;
    KeepLogLines(lines, entries);
    ASSERT_EQ(entries.size(), 3u) << "the system process's write and the failed one are dropped";
    auto entry = entries.begin();
    EXPECT_EQ(entry->process, "Setup Helper.exe");
    ++entry;
    EXPECT_EQ(entry->path, "HKCU\\Software\\Vendor\\Name");
    ++entry;
    EXPECT_EQ(entry->path, "HKCU\\Software\\Classes\\.vnd\\Name");
}

TEST(BuiltLines, KeepAnEmptyProcessField) {
    Event event;
    event.process = u"C:\\x\\";
    const std::list<_RegLogEntry> entries = KeptEntries({event});
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.front().process, "");
}

TEST(BuiltLines, SplitIntoTheRootKeyAndValueTheyName) {
    const struct {
        const char16_t* key;
        const char16_t* value;
        HKEY root;
        const char* subKey;
        const char* valueName;
    } cases[] = {
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Orvane No Such Key", u"", HKEY_LOCAL_MACHINE,
         "SOFTWARE\\Orvane No Such Key", ""},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Orvane No Such Key", u"V", HKEY_LOCAL_MACHINE,
         "SOFTWARE\\Orvane No Such Key", "V"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1_Classes\\.orvane-none", u"", HKEY_CURRENT_USER,
         "Software\\Classes\\.orvane-none", ""},
        {u"\\REGISTRY\\USER\\.DEFAULT\\Orvane No Such Key", u"V", HKEY_USERS, ".DEFAULT\\Orvane No Such Key",
         "V"},
        {u"\\REGISTRY\\MACHINE", u"V", HKEY_LOCAL_MACHINE, "", "V"},
    };
    for (const auto& c : cases) {
        Event event;
        event.key = c.key;
        event.value = c.value;
        std::string subKey, valueName;
        const std::string path = Narrow(Field(Line(event), 2));
        EXPECT_EQ(IMendwellInc::SplitKey(path, subKey, valueName), c.root) << path;
        EXPECT_EQ(subKey, c.subKey) << path;
        EXPECT_EQ(valueName, c.valueName) << path;
    }
}

} // namespace
