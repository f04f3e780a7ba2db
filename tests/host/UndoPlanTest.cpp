// The undo plan made from hand-built results: which item each change becomes, their order, the
// text a person reads, and that the text reads back as the same items.
#include "host/track/output/UndoPlan.h"
#include "host/track/result/Base64.h"
#include "host/track/result/UndoItems.h"

#include "common/Win32.h"

#include <gtest/gtest.h>

namespace {

using track::UndoAction;
using track::UndoItem;
using track::UndoPlanLine;
using track::ValueChange;

track::RegistryValue Value(const std::string& path, ValueChange change, std::uint32_t type = REG_SZ,
                           std::vector<std::uint8_t> now = {'n', 0},
                           std::vector<std::uint8_t> old = {'o', 0, 0, 0}) {
    track::RegistryValue value(path, type, change == ValueChange::Deleted ? "" : track::EncodeBase64(now));
    value.change = change;
    if (change != ValueChange::New) {
        value.before.state =
            change == ValueChange::OldUnknown ? track::Before::Unknown : track::Before::Present;
        value.before.type = REG_BINARY;
        value.before.bytes = old;
    }
    return value;
}

std::vector<UndoItem> Items(const std::vector<UndoPlanLine>& lines) {
    std::vector<UndoItem> items;
    for (const UndoPlanLine& line : lines) {
        if (line.isItem)
            items.push_back(line.item);
    }
    return items;
}

std::string Comments(const std::vector<UndoPlanLine>& lines) {
    std::string all;
    for (const UndoPlanLine& line : lines) {
        if (!line.isItem)
            all += line.comment + "\n";
    }
    return all;
}

const UndoItem* Find(const std::vector<UndoItem>& items, UndoAction action, const std::string& path,
                     const std::string& name = std::string()) {
    for (const UndoItem& item : items) {
        if (item.action == action && item.path == path && item.name == name)
            return &item;
    }
    return nullptr;
}

size_t IndexOf(const std::vector<UndoItem>& items, const std::string& path) {
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].path == path)
            return i;
    }
    return items.size();
}

TEST(UndoPlan, TurnsEachKindOfValueChangeIntoItsItem) {
    track::TrackResult result;
    result.registry = {Value("HKCU\\Software\\App\\New", ValueChange::New, REG_DWORD, {1, 0, 0, 0}),
                       Value("HKCU\\Software\\App\\Changed", ValueChange::Changed),
                       Value("HKLM\\Software\\Wow6432Node\\App\\", ValueChange::Changed),
                       Value("HKCU\\Software\\App\\Same", ValueChange::Unchanged),
                       Value("HKCU\\Software\\App\\Unknown", ValueChange::OldUnknown),
                       Value("HKCU\\Software\\Old\\Deleted", ValueChange::Deleted)};
    track::RegistryValue tooLarge = Value("HKCU\\Software\\App\\Huge", ValueChange::Changed);
    tooLarge.before.state = track::Before::TooLarge;
    tooLarge.before.reason = "its old data (20 MB) was past the bound of what is kept";
    result.registry.push_back(tooLarge);
    const auto lines = track::BuildUndoPlan(result, {}, "C:\\plans");
    const auto items = Items(lines);

    const UndoItem* created = Find(items, UndoAction::DeleteValue, "HKCU\\Software\\App", "New");
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->now.type, static_cast<std::uint32_t>(REG_DWORD));
    EXPECT_EQ(created->now.bytes, (std::vector<std::uint8_t>{1, 0, 0, 0}));
    const UndoItem* changed = Find(items, UndoAction::RestoreValue, "HKCU\\Software\\App", "Changed");
    ASSERT_NE(changed, nullptr);
    EXPECT_EQ(changed->now.bytes, (std::vector<std::uint8_t>{'n', 0}));
    EXPECT_EQ(changed->old.type, static_cast<std::uint32_t>(REG_BINARY)) << "the old type, not the new";
    EXPECT_EQ(changed->old.bytes, (std::vector<std::uint8_t>{'o', 0, 0, 0}));
    EXPECT_NE(Find(items, UndoAction::RestoreValue, "HKLM\\Software\\Wow6432Node\\App", ""), nullptr)
        << "the default value, under its physical key";
    const UndoItem* deleted = Find(items, UndoAction::RecreateValue, "HKCU\\Software\\Old", "Deleted");
    ASSERT_NE(deleted, nullptr);
    EXPECT_EQ(deleted->old.bytes, (std::vector<std::uint8_t>{'o', 0, 0, 0}));
    const UndoItem* unknown = Find(items, UndoAction::Leave, "value HKCU\\Software\\App\\Unknown");
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(unknown->reason, "old data unknown");
    const UndoItem* huge = Find(items, UndoAction::Leave, "value HKCU\\Software\\App\\Huge");
    ASSERT_NE(huge, nullptr);
    EXPECT_EQ(huge->reason, tooLarge.before.reason);
    EXPECT_EQ(Find(items, UndoAction::RestoreValue, "HKCU\\Software\\App", "Same"), nullptr);
    EXPECT_NE(Comments(lines).find("left as it is: value HKCU\\Software\\App\\Same"), std::string::npos)
        << Comments(lines);
    EXPECT_EQ(items.size(), 6u);
}

TEST(UndoPlan, OrdersKeysAndValuesSoThatEachStepFindsWhatItNeeds) {
    track::TrackResult result;
    result.registry = {Value("HKCU\\Gone\\Deeper\\V", ValueChange::Deleted),
                       Value("HKCU\\Made\\Deeper\\N", ValueChange::New)};
    result.createdKeys = {"HKCU\\Made", "HKCU\\Made\\Deeper"};
    result.deletedKeys = {"HKCU\\Gone\\Deeper", "HKCU\\Gone"};
    const auto items = Items(track::BuildUndoPlan(result, {}, ""));
    // New values go before their keys; keys are deleted deepest first and made shallowest first,
    // before the values that go into them.
    EXPECT_LT(IndexOf(items, "HKCU\\Made\\Deeper"), IndexOf(items, "HKCU\\Made"));
    EXPECT_EQ(items[IndexOf(items, "HKCU\\Made\\Deeper")].action, UndoAction::DeleteValue);
    EXPECT_LT(IndexOf(items, "HKCU\\Gone"), IndexOf(items, "HKCU\\Gone\\Deeper"));
    EXPECT_EQ(items.back().action, UndoAction::RecreateValue);
    ASSERT_EQ(items.size(), 6u);
    EXPECT_EQ(items[1].action, UndoAction::DeleteKey);
    EXPECT_EQ(items[1].path, "HKCU\\Made\\Deeper");
    EXPECT_EQ(items[3].action, UndoAction::RecreateKey);
    EXPECT_EQ(items[3].path, "HKCU\\Gone");
}

// A service's key the setup made is deleted as any key, and only then is the service manager asked to
// forget the service; a key below a service's, or a service the setup found there, is no such item.
TEST(UndoPlan, HasTheServiceManagerForgetEachServiceTheSetupMadeAfterItsKey) {
    track::TrackResult result;
    result.registry = {Value("HKLM\\System\\CurrentControlSet\\Services\\Made\\Start", ValueChange::New),
                       Value("HKLM\\System\\ControlSet001\\Services\\Old\\Start", ValueChange::Changed)};
    result.createdKeys = {"HKLM\\System\\CurrentControlSet\\Services\\Made",
                          "HKLM\\System\\CurrentControlSet\\Services\\Made\\Security",
                          "HKLM\\System\\ControlSet002\\Services\\Other"};
    const auto items = Items(track::BuildUndoPlan(result, {}, ""));
    std::vector<std::string> forgotten;
    for (const UndoItem& item : items)
        if (item.action == UndoAction::DeleteService)
            forgotten.push_back(track::UndoTarget(item));
    EXPECT_EQ(forgotten, (std::vector<std::string>{"service Made", "service Other"}));
    size_t keyDeleted = 0, serviceForgotten = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].action == UndoAction::DeleteKey && items[i].path == result.createdKeys[0])
            keyDeleted = i;
        if (items[i].action == UndoAction::DeleteService && items[i].path == result.createdKeys[0])
            serviceForgotten = i;
    }
    EXPECT_LT(keyDeleted, serviceForgotten);
    // Stopped before anything else, so that a running service's program can be removed.
    ASSERT_GE(items.size(), 2u);
    EXPECT_EQ(items[0].action, UndoAction::StopService);
    EXPECT_EQ(track::UndoTarget(items[0]), "service Made");
    EXPECT_EQ(items[1].action, UndoAction::StopService);
    EXPECT_EQ(track::UndoTarget(items[1]), "service Other");
    // Read back from its text as the same item.
    const track::ParsedUndoPlan parsed = track::ParseUndoPlan(
        "orvane-undo-plan\t1\ndelete-service\tHKLM\\System\\CurrentControlSet\\Services\\Made\nend\t1\n");
    ASSERT_EQ(parsed.items.size(), 1u) << (parsed.errors.empty() ? "" : parsed.errors[0]);
    EXPECT_EQ(parsed.items[0].action, UndoAction::DeleteService);
    EXPECT_EQ(track::DescribeUndoItem(parsed.items[0]), "delete service Made once its key is gone");
    const track::ParsedUndoPlan stop = track::ParseUndoPlan(
        "orvane-undo-plan\t1\nstop-service\tHKLM\\System\\CurrentControlSet\\Services\\Made\nend\t1\n");
    ASSERT_EQ(stop.items.size(), 1u) << (stop.errors.empty() ? "" : stop.errors[0]);
    EXPECT_EQ(track::DescribeUndoItem(stop.items[0]), "stop service Made where it runs");
}

TEST(UndoPlan, RestoresFilesFromKeptCopiesNamedRelativeToThePlan) {
    track::TrackResult result;
    result.keptFolder = "C:\\Plans\\undo-kept";
    const track::FileFacts before{true, 3, 111, FILE_ATTRIBUTE_READONLY}, after{true, 9, 222, 0};
    result.changedFiles = {{"C:\\App\\changed.ini", before, after, "files\\1.bin", ""},
                           {"C:\\App\\not kept.dll", before, after, "", "larger than the bound of 64 MB"}};
    result.removedFiles = {{"C:\\App\\removed.txt", before, {}, "D:\\elsewhere\\2.bin", ""}};
    result.files = {"C:\\App\\added.txt", "C:\\App\\gone already.txt"};
    result.createdFolders = {"C:\\App\\a", "C:\\App\\a\\b"};
    const std::map<std::string, track::FileFacts> facts = {{"C:\\App\\added.txt", {true, 5, 333, 0}}};
    const auto lines = track::BuildUndoPlan(result, facts, "c:\\plans");
    const auto items = Items(lines);

    const UndoItem* changed = Find(items, UndoAction::RestoreFile, "C:\\App\\changed.ini");
    ASSERT_NE(changed, nullptr);
    EXPECT_EQ(changed->kept, "undo-kept\\files\\1.bin");
    EXPECT_EQ(changed->nowFile.writeTime, 222u);
    EXPECT_EQ(changed->oldFile.attributes, static_cast<std::uint32_t>(FILE_ATTRIBUTE_READONLY));
    const UndoItem* removed = Find(items, UndoAction::RecreateFile, "C:\\App\\removed.txt");
    ASSERT_NE(removed, nullptr);
    EXPECT_EQ(removed->kept, "D:\\elsewhere\\2.bin");
    const UndoItem* notKept = Find(items, UndoAction::Leave, "file C:\\App\\not kept.dll");
    ASSERT_NE(notKept, nullptr);
    EXPECT_EQ(notKept->reason, "larger than the bound of 64 MB");
    const UndoItem* added = Find(items, UndoAction::DeleteAddedFile, "C:\\App\\added.txt");
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->nowFile.size, 5u);
    EXPECT_EQ(Find(items, UndoAction::DeleteAddedFile, "C:\\App\\gone already.txt"), nullptr);
    EXPECT_NE(Comments(lines).find("gone before this plan was made"), std::string::npos);
    EXPECT_LT(IndexOf(items, "C:\\App\\a\\b"), IndexOf(items, "C:\\App\\a")) << "folders deepest first";
    EXPECT_LT(IndexOf(items, "C:\\App\\added.txt"), IndexOf(items, "C:\\App\\a\\b"))
        << "files before folders";
}

TEST(UndoPlan, IsTextAPersonCanReadThatReadsBackAsTheSameItems) {
    track::TrackResult result;
    result.setupCommand = "setup.exe /S";
    result.registry = {
        Value("HKCU\\Software\\App 100%\\Tab\there", ValueChange::Changed, REG_MULTI_SZ, {'a', 0, 'b', 0, 0},
              {0xFF, 0x00, 0x7F}),
        Value("HKCU\\Software\\App\\Line\nbreak", ValueChange::New, REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8})};
    result.changedFiles = {{"C:\\App\\caf\xC3\xA9 #1.txt",
                            {true, 3, 125911584000000000ull, 0x21},
                            {true, 9, 133590000000000000ull, 0x20},
                            "C:\\kept\\1",
                            ""}};
    result.createdKeys = {"HKCU\\Software\\App"};
    const auto lines = track::BuildUndoPlan(result, {}, "");
    const std::string text = track::FormatUndoPlan(result, lines);

    EXPECT_EQ(text.rfind("orvane-undo-plan\t1\r\n", 0), 0u);
    EXPECT_NE(text.find("\r\nrestore-value\tHKCU\\Software\\App 100%25\tTab%09here\tnow=REG_MULTI_SZ:61006200"
                        "00\told=REG_BINARY:ff007f\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\r\nrestore-file\tC:\\App\\caf\xC3\xA9 #1.txt\tnow=9,2024-05-01T01:20:00.0000000Z\t"
                        "old=3,2000-01-01T00:00:00.0000000Z,0x00000021\tkept=C:\\kept\\1\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("# Setup: setup.exe /S\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nend\t4\r\n"), std::string::npos) << text;

    const track::ParsedUndoPlan parsed = track::ParseUndoPlan(text);
    ASSERT_TRUE(parsed.errors.empty()) << parsed.errors[0];
    const auto items = Items(lines);
    ASSERT_EQ(parsed.items.size(), items.size());
    for (size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(track::FormatUndoItem(parsed.items[i]), track::FormatUndoItem(items[i])) << i;
    EXPECT_EQ(parsed.items[2].name, "Line\nbreak");
}

TEST(UndoPlan, WritesTimesAsUtcToTheHundredNanoseconds) {
    EXPECT_EQ(track::FormatFileTime(0), "1601-01-01T00:00:00.0000000Z");
    EXPECT_EQ(track::FormatFileTime(116444736000000000ull), "1970-01-01T00:00:00.0000000Z");
    EXPECT_EQ(track::FormatFileTime(116444736000000000ull + 951782400ull * 10000000 + 1234567),
              "2000-02-29T00:00:00.1234567Z");
    for (std::uint64_t time :
         {0ull, 1ull, 125911584000000000ull, 133590123456789012ull, 0x7FFFFFFFFFFFFFFFull, ~0ull}) {
        std::uint64_t back = 0;
        ASSERT_TRUE(track::ParseFileTime(track::FormatFileTime(time), back)) << track::FormatFileTime(time);
        EXPECT_EQ(back, time);
    }
    std::uint64_t time = 0;
    for (const char* bad :
         {"2023-02-29T00:00:00.0000000Z", "2024-13-01T00:00:00.0000000Z", "1600-12-31T23:59:59.9999999Z",
          "2024-05-01T24:00:00.0000000Z", "2024-05-01 12:00:00.0000000Z", "2024-05-01T12:00:00Z",
          "2024-05-01T12:00:00.0000000", "99999-01-01T00:00:00.0000000Z", ""})
        EXPECT_FALSE(track::ParseFileTime(bad, time)) << bad;
}

TEST(UndoPlan, NamesEveryLineThatCannotBeUsedAndHandsOutNoItems) {
    const std::string header = "orvane-undo-plan\t1\n";
    const struct {
        std::string text;
        const char* error;
    } cases[] = {
        {header + "delete-key\tHKCU\\A\nbogus\n\nend\t1\n", "line 3: unknown item \"bogus\""},
        {header + "delete-key\tHKXX\\A\nend\t1\n",
         "line 2: the key does not begin with a known registry root"},
        {header + "delete-key\tHKCU\nend\t1\n", "line 2: a whole registry root cannot be deleted or made"},
        {header + "delete-folder\trelative\\path\nend\t1\n", "line 2: the path is not absolute"},
        {header + "delete-service\tHKLM\\Software\\Services\\X\nend\t1\n",
         "line 2: the key is no service's key"},
        {header + "delete-service\tHKLM\\System\\ControlSetX01\\Services\\X\nend\t1\n",
         "line 2: the key is no service's key"},
        {header + "delete-service\tHKLM\\System\\CurrentControlSet\\Services\\X\\Parameters\nend\t1\n",
         "line 2: the key is no service's key"},
        {header + "stop-service\tHKCU\\System\\CurrentControlSet\\Services\\X\nend\t1\n",
         "line 2: the key is no service's key"},
        {header + "delete-value\tHKCU\\A\tv\tnow=REG_XX:00\nend\t1\n", "line 2: the type in \"now=\""},
        {header + "delete-value\tHKCU\\A\tv\tthen=REG_SZ:00\nend\t1\n",
         "line 2: a field must begin with \"now=\""},
        {header + "delete-value\tHKCU\\A\tv%2\tnow=REG_SZ:00\nend\t1\n", "line 2: the value name"},
        {header + "delete-value\tHKCU\\A\tv%00\tnow=REG_SZ:00\nend\t1\n", "line 2: the value name"},
        {header + "delete-file\tC:\\a\tnow=1,2024-05-01T12:00:00.0000000Z,0x20\nend\t1\n",
         "line 2: \"now=\" must be"},
        {header + "recreate-file\tC:\\a\told=1,2024-05-01T12:00:00.0000000Z,0x20\tkept=\nend\t1\n",
         "line 2: the kept copy"},
        {header + "end\tmany\n", "line 2: the end line must be"},
        {header + "delete-key\tHKCU\\A\n", "line 3: the plan stops before its end line"},
    };
    for (const auto& plan : cases) {
        const track::ParsedUndoPlan parsed = track::ParseUndoPlan(plan.text);
        EXPECT_TRUE(parsed.items.empty()) << plan.text;
        ASSERT_FALSE(parsed.errors.empty()) << plan.text;
        EXPECT_EQ(parsed.errors[0].rfind(plan.error, 0), 0u) << parsed.errors[0];
    }
    std::string many = header;
    for (int i = 0; i < 100; ++i)
        many += "nonsense\n";
    const track::ParsedUndoPlan parsed = track::ParseUndoPlan(many + "end\t0\n");
    ASSERT_EQ(parsed.errors.size(), track::kMaxListedPlanErrors + 1);
    EXPECT_EQ(parsed.errors.back(), "... and 80 more lines that cannot be used");
    // A byte-order mark and CR LF line ends, as editors leave them, are fine.
    EXPECT_TRUE(track::ParseUndoPlan("\xEF\xBB\xBF"
                                     "orvane-undo-plan\t1\r\n# note\r\nend\t0\r\n")
                    .errors.empty());
}

} // namespace
