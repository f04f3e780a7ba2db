// The capture's keeping of the registry's old state, driven in this test program where the system's
// side of a call has to be played because no system at hand behaves so. A system that makes the
// missing levels of a name itself (one NtCreateKey of "A\B\C" answering "created" where only the
// root existed) must still leave a record for each level it made: Wine 8 and Windows fail such a
// call instead (RegistryOldStateTest shows Wine doing so), so here the levels are made between the
// probe and the record, as that system would make them inside its call.
#include "capture/OldState.h"
#include "capture/module/NtCalls.h"
#include "capture/module/OldStateLog.h"
#include "capture/module/RegistryOldState.h"
#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <string>
#include <vector>

namespace {

using capture::OldPresence;
using capture::OldStateKind;
using capture::OldStateRecord;

std::vector<std::wstring> said;

void Say(const std::wstring& reason) {
    said.push_back(reason);
}

std::wstring OwnSid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::wstring();
    const UniqueHandle owner(token);
    alignas(8) unsigned char user[256];
    DWORD returned = 0;
    wchar_t* text = nullptr;
    if (!::GetTokenInformation(token, TokenUser, user, sizeof user, &returned) ||
        !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &text))
        return std::wstring();
    const std::wstring sid(text);
    ::LocalFree(text);
    return sid;
}

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

class RegistryOldStateInProcess : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(sid_.empty());
        ASSERT_TRUE(::SetEnvironmentVariableW(capture::kStoreVariable, Widen(store_.path()).c_str()));
        log_.AttachStore(::GetCurrentProcessId());
        ::SetEnvironmentVariableW(capture::kStoreVariable, nullptr);
        ASSERT_TRUE(log_.Active());
        ASSERT_TRUE(nt_.HasOldStateCalls());
        old_.Attach(&nt_, &log_, &sid_, &Say);
        said.clear();
        subKey_ = L"Software\\OrvaneTests\\oldstate-in-process-" + std::to_wstring(::GetCurrentProcessId()) +
                  L"-" + std::to_wstring(::GetTickCount());
        HKEY root = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, (subKey_ + L"\\Existing").c_str(), 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, &root, nullptr),
                  ERROR_SUCCESS);
        ::RegCloseKey(root);
        ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, subKey_.c_str(), 0, KEY_ALL_ACCESS, &root),
                  ERROR_SUCCESS);
        root_.reset(root);
    }
    void TearDown() override {
        root_.reset();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, subKey_.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, subKey_.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\OrvaneTests");
    }

    std::wstring Mapped(const std::wstring& below) const { return L"HKCU\\" + subKey_ + L"\\" + below; }

    std::vector<OldStateRecord> Records() const {
        std::vector<OldStateRecord> records;
        WIN32_FIND_DATAW entry;
        const std::wstring store = Widen(store_.path());
        const UniqueFind find(::FindFirstFileW((store + L"\\old-*.rec").c_str(), &entry));
        if (!find)
            return records;
        const UniqueFile file(::CreateFileW((store + L"\\" + entry.cFileName).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                            nullptr));
        std::vector<uint8_t> bytes(1 << 20);
        DWORD read = 0;
        if (file && ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
            capture::DecodeOldStates(bytes.data(), read, records);
        return records;
    }

    // Plays a system that creates every missing level of `name` in one call: the probe before, the
    // levels made, the records after. Answers the keys of every record so far.
    std::vector<std::wstring> CreateSilently(HANDLE root, const std::wstring& name, size_t& absentLevels) {
        const size_t recordsBefore = Records().size();
        std::wstring counted = name;
        UNICODE_STRING text{static_cast<USHORT>(counted.size() * 2), static_cast<USHORT>(counted.size() * 2),
                            &counted[0]};
        OBJECT_ATTRIBUTES attributes{};
        attributes.Length = sizeof attributes;
        attributes.RootDirectory = root;
        attributes.ObjectName = &text;
        attributes.Attributes = OBJ_CASE_INSENSITIVE;
        const capture::RegistryOldState::CreationProbe probe =
            old_.ProbeCreation(KEY_ALL_ACCESS, &attributes);
        EXPECT_TRUE(probe.taken);
        absentLevels = probe.absent.size();
        HKEY created = nullptr;
        const std::wstring full = root == nullptr ? name.substr(name.find(L"\\Software\\") + 1) : name;
        EXPECT_EQ(::RegCreateKeyExW(root == nullptr ? HKEY_CURRENT_USER : root_.get(), full.c_str(), 0,
                                    nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
                  ERROR_SUCCESS);
        const UniqueKey owner(created);
        old_.KeepCreation(probe, created);
        std::vector<std::wstring> keys;
        const std::vector<OldStateRecord> records = Records();
        for (size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].kind, OldStateKind::KeyCreated);
            if (i >= recordsBefore) {
                EXPECT_EQ(records[i].sequence, probe.sequence);
            }
            keys.push_back(records[i].key);
        }
        return keys;
    }

    test_support::TempDir store_{"oldstate-in-process"};
    const std::wstring sid_ = OwnSid();
    const capture::NtCalls nt_ = capture::FindNtCalls();
    capture::OldStateLog log_;
    capture::RegistryOldState old_;
    std::wstring subKey_;
    UniqueKey root_;
};

TEST_F(RegistryOldStateInProcess, EveryLevelASystemMakesSilentlyIsRecordedOnce) {
    size_t absent = 0;
    EXPECT_EQ(CreateSilently(root_.get(), L"Existing\\A\\B\\C", absent),
              (std::vector<std::wstring>{Mapped(L"Existing\\A"), Mapped(L"Existing\\A\\B"),
                                         Mapped(L"Existing\\A\\B\\C")}));
    EXPECT_EQ(absent, 2u);
    // The same name again: it exists, one open tells, and nothing new is recorded.
    EXPECT_EQ(CreateSilently(root_.get(), L"Existing\\A\\B\\C", absent).size(), 3u);
    EXPECT_EQ(absent, 0u);
    EXPECT_TRUE(said.empty());
}

TEST_F(RegistryOldStateInProcess, AFullKernelNameIsProbedLevelByLevelToo) {
    const std::wstring kernel = L"\\REGISTRY\\USER\\" + sid_ + L"\\" + subKey_ + L"\\Abs\\X\\Y";
    size_t absent = 0;
    EXPECT_EQ(CreateSilently(nullptr, kernel, absent),
              (std::vector<std::wstring>{Mapped(L"Abs"), Mapped(L"Abs\\X"), Mapped(L"Abs\\X\\Y")}));
    EXPECT_EQ(absent, 2u);
}

TEST_F(RegistryOldStateInProcess, WhatCannotBeReadIsRecordedAsUnknownWithTheReason) {
    // A handle that is no key: the read fails, and the record says so rather than calling it absent.
    const UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::wstring name = L"Value";
    UNICODE_STRING text{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), &name[0]};
    old_.KeepValue(event.get(), L"\\REGISTRY\\USER\\" + sid_ + L"\\" + subKey_, &text);
    const std::vector<OldStateRecord> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, OldStateKind::Value);
    EXPECT_EQ(records[0].presence, OldPresence::Unknown);
    EXPECT_EQ(records[0].reason.rfind(L"the value could not be read (status 0xC", 0), 0u);
    // Attributes and names the program passed in memory that cannot be read: nothing is probed.
    const capture::RegistryOldState::CreationProbe none =
        old_.ProbeCreation(KEY_ALL_ACCESS, reinterpret_cast<const OBJECT_ATTRIBUTES*>(8));
    EXPECT_FALSE(none.taken);
    old_.KeepValue(root_.get(), L"\\REGISTRY\\USER\\" + sid_ + L"\\" + subKey_,
                   reinterpret_cast<const UNICODE_STRING*>(8));
    EXPECT_EQ(Records().size(), 1u);
}

} // namespace
