// Registry results of tracking, through the exported interface. Wine gives the stand-in driver no
// registry hook, so the test announces each write to it, as the driver's own hook would log it.
#include "tests/recorder/TrackingSupport.h"

#include "driver/RegmonProtocol.h"

#include <gtest/gtest.h>

#include <shlwapi.h>

#include <cstdint>
#include <memory>
#include <vector>

using namespace recorder_tests;

namespace {

std::string Base64(const std::vector<unsigned char>& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t chunk = (uint32_t(bytes[i]) << 16) |
                               (i + 1 < bytes.size() ? uint32_t(bytes[i + 1]) << 8 : 0) |
                               (i + 2 < bytes.size() ? uint32_t(bytes[i + 2]) : 0);
        text += alphabet[(chunk >> 18) & 63];
        text += alphabet[(chunk >> 12) & 63];
        text += i + 1 < bytes.size() ? alphabet[(chunk >> 6) & 63] : '=';
        text += i + 2 < bytes.size() ? alphabet[chunk & 63] : '=';
    }
    return text;
}

// Tells the stand-in driver about one registry operation of this process.
bool Announce(const std::string& operation, const std::string& path) {
    UniqueFile device(::CreateFileA("\\\\.\\REGMON", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device)
        return false;
    const std::string line =
        "tracking_tests.exe\t" + operation + "\t" + path + "\tSUCCESS\tannounced by test";
    DWORD returned = 0;
    return ::DeviceIoControl(device.get(), IOCTL_APPEND_LOG_LINE, const_cast<char*>(line.data()),
                             static_cast<DWORD>(line.size()), nullptr, 0, &returned, nullptr) != 0;
}

// A key below HKCU\Software made for one test and deleted with its values afterwards.
class TestKey {
public:
    explicit TestKey(const std::string& tag)
        : subKey_("Software\\orvane-" + tag + "-" + std::to_string(::GetCurrentProcessId())) {
        HKEY key = nullptr;
        ::RegCreateKeyExA(HKEY_CURRENT_USER, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr);
        key_.reset(key);
    }
    ~TestKey() {
        key_.reset();
        ::SHDeleteKeyA(HKEY_CURRENT_USER, subKey_.c_str()); // RegDeleteTree is Vista's
    }

    std::string LogPath(const std::string& value) const { return "HKCU\\" + subKey_ + "\\" + value; }

    // Writes a value and announces the write; answers the path the log names.
    std::string Set(const std::string& value, DWORD type, const std::vector<unsigned char>& data) {
        ::RegSetValueExA(key_.get(), value.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
        const std::string path = LogPath(value);
        EXPECT_TRUE(Announce("SetValue", path)) << "the driver refused " << path;
        return path;
    }

    // The same for a value of the key `child` below this one.
    std::string SetIn(const std::string& child, const std::string& value, DWORD type,
                      const std::vector<unsigned char>& data) {
        // RegSetKeyValue is Vista's: the test programs load on XP and 2003 too.
        HKEY opened = nullptr;
        ::RegCreateKeyExA(key_.get(), child.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr);
        const UniqueKey childKey(opened);
        ::RegSetValueExA(childKey.get(), value.c_str(), 0, type, data.data(),
                         static_cast<DWORD>(data.size()));
        const std::string path = LogPath(child + "\\" + value);
        EXPECT_TRUE(Announce("SetValue", path)) << "the driver refused " << path;
        return path;
    }

private:
    std::string subKey_;
    UniqueKey key_;
};

const IConfInfoInc::_ConfInfo* FindRecord(const std::set<IConfInfoInc::_ConfInfo>& records,
                                          const std::string& path) {
    for (const auto& record : records) {
        if (record.path == path)
            return &record;
    }
    return nullptr;
}

std::vector<unsigned char> Bytes(const std::string& text, bool withNul = true) {
    std::vector<unsigned char> bytes(text.begin(), text.end());
    if (withNul)
        bytes.push_back(0);
    return bytes;
}

TEST(RegistryTracking, WrittenValuesComeBackWithTypeAndData) {
    Recorder recorder;
    TestKey key("values");
    recorder->Start();
    const std::vector<unsigned char> text = Bytes("Sample Application"), number = {0x2a, 0, 0, 0},
                                     binary = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01},
                                     multi = Bytes(std::string("one\0two\0", 8)),
                                     expand = Bytes("%WINDIR%\\app");
    const std::string textPath = key.Set("Name", REG_SZ, text);
    const std::string numberPath = key.Set("Count", REG_DWORD, number);
    const std::string binaryPath = key.Set("Blob", REG_BINARY, binary);
    const std::string multiPath = key.Set("List", REG_MULTI_SZ, multi);
    const std::string expandPath = key.Set("Where", REG_EXPAND_SZ, expand);
    recorder->Stop();

    const auto& records = recorder->GetRegistryChanges();
    struct Expected {
        const std::string& path;
        DWORD type;
        const std::vector<unsigned char>& data;
    } expected[] = {{textPath, REG_SZ, text},
                    {numberPath, REG_DWORD, number},
                    {binaryPath, REG_BINARY, binary},
                    {multiPath, REG_MULTI_SZ, multi},
                    {expandPath, REG_EXPAND_SZ, expand}};
    for (const Expected& e : expected) {
        const IConfInfoInc::_ConfInfo* record = FindRecord(records, e.path);
        ASSERT_NE(record, nullptr) << e.path;
        EXPECT_EQ(record->kind, "register");
        EXPECT_EQ(record->valueType, e.type) << e.path;
        EXPECT_EQ(record->data, Base64(e.data)) << e.path;
        EXPECT_EQ(record->extra, 1);
        EXPECT_TRUE(record->flag);
    }
}

TEST(RegistryTracking, ADeletedKeyCancelsTheWritesBelowItThatCameBefore) {
    Recorder recorder;
    TestKey key("deleted");
    recorder->Start();
    const std::string kept = key.Set("Kept", REG_SZ, Bytes("stays"));
    const std::string dropped = key.SetIn("Gone", "Dropped", REG_SZ, Bytes("goes"));
    // The key itself stays in the registry: the deletion in the log alone cancels the write below it.
    EXPECT_TRUE(Announce("DeleteKey", key.LogPath("Gone")));
    const std::string again = key.SetIn("Gone", "Again", REG_SZ, Bytes("written after"));
    recorder->Stop();
    EXPECT_NE(FindRecord(recorder->GetRegistryChanges(), kept), nullptr);
    EXPECT_EQ(FindRecord(recorder->GetRegistryChanges(), dropped), nullptr);
    EXPECT_NE(FindRecord(recorder->GetRegistryChanges(), again), nullptr);
}

TEST(RegistryTracking, RecordersShareOneMonitorWhoseResultsOutliveThem) {
    auto first = std::make_unique<Recorder>();
    Recorder second;
    EXPECT_EQ(&(*first)->GetRegistryChanges(), &second->GetRegistryChanges());

    TestKey key("shared");
    (*first)->Start();
    const std::string path = key.Set("Value", REG_DWORD, {1, 0, 0, 0});
    (*first)->Stop();
    first.reset();

    EXPECT_NE(FindRecord(second->GetRegistryChanges(), path), nullptr);
    second->Stop(); // stops the monitor again: the value is read back again, still there
    EXPECT_NE(FindRecord(second->GetRegistryChanges(), path), nullptr);
}

TEST(RegistryTracking, DestroyedCapturingRecorderLeavesTheMonitorToTheNextStop) {
    TestKey key("capturing");
    auto first = std::make_unique<Recorder>();
    (*first)->Start();
    first.reset(); // the monitor goes on capturing
    const std::string path = key.Set("Late", REG_SZ, Bytes("late"));

    Recorder second;
    second->Stop();
    EXPECT_NE(FindRecord(second->GetRegistryChanges(), path), nullptr);
}

} // namespace
