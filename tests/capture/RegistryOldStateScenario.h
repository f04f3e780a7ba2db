// What the registry old-state tests prepare below their test key and what their child program
// (RegistryOldStateChild.cpp) then changes: the names and data both sides agree on.
#pragma once

#include "common/Win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace old_state_scenario {

inline std::vector<uint8_t> BytesOf(const std::wstring& text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    return std::vector<uint8_t>(bytes, bytes + text.size() * sizeof(wchar_t));
}

// A string's data as the registry keeps it, with its terminating NUL.
inline std::vector<uint8_t> StringData(const wchar_t* text) {
    return BytesOf(std::wstring(text) + L'\0');
}

struct TypedValue {
    const wchar_t* name;
    DWORD type;
    std::vector<uint8_t> oldData; // prepared by the test
    std::vector<uint8_t> newData; // written by the child
};

// One value of each type, and the key's default value.
inline std::vector<TypedValue> TypedValues() {
    return {
        {L"Sz", REG_SZ, StringData(L"old text"), StringData(L"new")},
        {L"Expand", REG_EXPAND_SZ, StringData(L"%TEMP%\\old"), StringData(L"%WINDIR%")},
        {L"Multi", REG_MULTI_SZ, BytesOf(std::wstring(L"one\0two\0\0", 9)),
         BytesOf(std::wstring(L"x\0\0", 3))},
        {L"Binary", REG_BINARY, {0, 1, 2, 0xFF, 0x80, 0}, {9}},
        {L"Dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, {1, 0, 0, 0}},
        {L"Qword", REG_QWORD, {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}, {2, 0, 0, 0, 0, 0, 0, 0}},
        {L"None", REG_NONE, {9, 8, 7}, {}},
        {L"", REG_SZ, StringData(L"default"), StringData(L"changed default")},
    };
}

// "values"
constexpr const wchar_t* kNewValue = L"New";
constexpr const wchar_t* kTwiceValue = L"Twice";
constexpr const wchar_t* kTwiceOtherCase = L"tWICE";
constexpr const wchar_t* kLargeValue = L"Large";
constexpr size_t kLargeBytes = 1024 * 1024;
constexpr const wchar_t* kTooLargeValue = L"TooLarge";
constexpr size_t kTooLargeBytes = 16 * 1024 * 1024 + 1;
constexpr const wchar_t* kDoomedValue = L"Doomed";
constexpr const wchar_t* kMissingValue = L"Missing";
constexpr const wchar_t* kSetOnlyValue = L"SetOnly";
constexpr const wchar_t* kImplicitKey = L"Implicit";
constexpr const wchar_t* kImplicitValue = L"Inner";

// "create"
constexpr const wchar_t* kExistingKey = L"Existing";
constexpr const wchar_t* kNestedPath = L"Existing\\N1\\N2\\N3";
constexpr const wchar_t* kSiblingPath = L"Existing\\N1\\Other";
constexpr const wchar_t* kDirectPath = L"Direct\\A\\B";

// "trees", "big", "bound"
constexpr const wchar_t* kTreeKey = L"Tree";
constexpr const wchar_t* kShellKey = L"Shell";
constexpr const wchar_t* kEmptiedKey = L"Emptied";
constexpr const wchar_t* kBigKey = L"Big";
constexpr int kBigValues = 10000;
constexpr const wchar_t* kBoundKey = L"Bound";
constexpr const wchar_t* kDeepKey = L"Deep";
constexpr int kDeepLevels = 514; // below the deep key: two levels past the bound

// "failures"
constexpr const wchar_t* kFailValue = L"Fail";
constexpr const wchar_t* kMissingKey = L"Missing";

// "handles": keys prepared with kHandleValue, written through handles the child closes, moves
// and renames in turn; then a value below keys the child creates
constexpr const wchar_t* kHandleKeys[] = {L"First", L"Second", L"Third", L"Fourth"};
constexpr const wchar_t* kHandleValue = L"Handle";
constexpr const wchar_t* kRenamedKey = L"Renamed";
constexpr const wchar_t* kAfterRenameValue = L"AfterRename";
constexpr const wchar_t* kFreshPath = L"Fresh\\Deeper";
constexpr const wchar_t* kFreshValue = L"InFresh";

// "shared"
constexpr const wchar_t* kSharedValue = L"Shared";

} // namespace old_state_scenario
