// Hooks on ntdll's registry writes in this very process, reached through the Win32 API: the detour sees
// each call with its value name, calls the original through the trampoline, and the caller gets the same
// result and the same last error as without the hook, for calls that succeed and calls that fail.
#include "capture/InlineHook.h"

#include "capture/LastErrorKeeper.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <gtest/gtest.h>

#include <winternl.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using capture::HookResult;
using capture::InlineHook;

typedef NTSTATUS(NTAPI NtSetValueKeyFunction)(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);
typedef NTSTATUS(NTAPI NtDeleteKeyFunction)(HANDLE);
typedef NTSTATUS(NTAPI NtDeleteValueKeyFunction)(HANDLE, PUNICODE_STRING);

constexpr DWORD kCallerError = 0x2345; // set before each call, to see whether it survives
constexpr DWORD kDetourNoise = 0xbad0; // what the detours' own work leaves, unless it is put back

// What the detours saw. Written only on the test's thread, through the Win32 calls it makes; the
// lock is for any thread of the process that writes to the registry meanwhile.
struct SeenCall {
    std::wstring name;
    NTSTATUS status;
};

SRWLOCK seenLock = SRWLOCK_INIT;
std::vector<SeenCall> seenCalls;

void Record(const UNICODE_STRING* name, NTSTATUS status) {
    const capture::LastErrorKeeper keepLastError;
    try {
        std::wstring text;
        if (name != nullptr && name->Buffer != nullptr)
            text.assign(name->Buffer, name->Length / sizeof(wchar_t));
        ::AcquireSRWLockExclusive(&seenLock);
        seenCalls.push_back(SeenCall{std::move(text), status});
        ::ReleaseSRWLockExclusive(&seenLock);
    } catch (...) {
        // The host's call goes on; only the record of it is lost.
    }
    ::SetLastError(kDetourNoise);
}

std::vector<SeenCall> TakeSeenCalls() {
    ::AcquireSRWLockExclusive(&seenLock);
    std::vector<SeenCall> taken = std::move(seenCalls);
    seenCalls.clear();
    ::ReleaseSRWLockExclusive(&seenLock);
    return taken;
}

NtSetValueKeyFunction* originalSetValue = nullptr;
NtDeleteKeyFunction* originalDeleteKey = nullptr;
NtDeleteValueKeyFunction* originalDeleteValue = nullptr;

NTSTATUS NTAPI SetValueDetour(HANDLE key, PUNICODE_STRING name, ULONG titleIndex, ULONG type, PVOID data,
                              ULONG size) {
    const NTSTATUS status = originalSetValue(key, name, titleIndex, type, data, size);
    Record(name, status);
    return status;
}

NTSTATUS NTAPI DeleteKeyDetour(HANDLE key) {
    const NTSTATUS status = originalDeleteKey(key);
    Record(nullptr, status);
    return status;
}

NTSTATUS NTAPI DeleteValueDetour(HANDLE key, PUNICODE_STRING name) {
    const NTSTATUS status = originalDeleteValue(key, name);
    Record(name, status);
    return status;
}

template <typename Function>
Function* NtdllExport(const char* name) {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(ntdll, name)));
}

struct CallOutcome {
    LONG result;
    DWORD lastError;
    bool operator==(const CallOutcome& other) const {
        return result == other.result && lastError == other.lastError;
    }
};

template <typename Call>
CallOutcome Outcome(Call call) {
    ::SetLastError(kCallerError);
    const LONG result = call();
    return CallOutcome{result, ::GetLastError()};
}

// HKCU\Software\OrvaneTest\<test name>, removed with everything under it when the test ends.
class RegistryHookTest : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = std::wstring(L"Software\\OrvaneTest\\CaptureHook-") +
                std::to_wstring(::GetCurrentProcessId()) + L"-" +
                Widen(::testing::UnitTest::GetInstance()->current_test_info()->name());
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, name_.c_str(), 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &key, nullptr));
        writable_.reset(key);
        ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, name_.c_str(), 0, KEY_READ, &key));
        readOnly_.reset(key);
        TakeSeenCalls();
    }
    void TearDown() override {
        writable_.reset();
        readOnly_.reset();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, name_.c_str());
    }

    static std::wstring Widen(const char* text) { return std::wstring(text, text + std::strlen(text)); }

    CallOutcome SetDword(HKEY key, const wchar_t* name, DWORD value) {
        return Outcome([&] {
            return ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                    sizeof value);
        });
    }

    std::wstring name_;
    UniqueKey writable_;
    UniqueKey readOnly_;
};

TEST_F(RegistryHookTest, SetValueReachesTheDetourAndReturnsAsUnhooked) {
    const CallOutcome plainWrite = SetDword(writable_.get(), L"Plain", 1);
    const CallOutcome plainDenied = SetDword(readOnly_.get(), L"Plain", 1);
    ASSERT_EQ(ERROR_SUCCESS, plainWrite.result);
    ASSERT_EQ(ERROR_ACCESS_DENIED, plainDenied.result);

    InlineHook hook;
    ASSERT_EQ(HookResult::Installed, hook.Install(NtdllExport<NtSetValueKeyFunction>("NtSetValueKey"),
                                                  &SetValueDetour, &originalSetValue));
    const CallOutcome hookedWrite = SetDword(writable_.get(), L"Hooked", 2);
    const CallOutcome hookedDenied = SetDword(readOnly_.get(), L"HookedDenied", 3);
    hook.Remove();

    EXPECT_EQ(plainWrite, hookedWrite) << hookedWrite.result << " " << hookedWrite.lastError;
    EXPECT_EQ(plainDenied, hookedDenied) << hookedDenied.result << " " << hookedDenied.lastError;
    const std::vector<SeenCall> seen = TakeSeenCalls();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(L"Hooked", seen[0].name);
    EXPECT_EQ(0, seen[0].status);
    EXPECT_EQ(L"HookedDenied", seen[1].name);
    EXPECT_EQ(LONG(0xc0000022), seen[1].status); // STATUS_ACCESS_DENIED

    DWORD stored = 0;
    DWORD size = sizeof stored;
    ASSERT_EQ(ERROR_SUCCESS, ::RegQueryValueExW(writable_.get(), L"Hooked", nullptr, nullptr,
                                                reinterpret_cast<BYTE*>(&stored), &size));
    EXPECT_EQ(2u, stored);
    EXPECT_EQ(ERROR_SUCCESS, SetDword(writable_.get(), L"AfterRemoval", 4).result);
    EXPECT_TRUE(TakeSeenCalls().empty());
}

TEST_F(RegistryHookTest, DeleteValueReachesTheDetourAndReturnsAsUnhooked) {
    ASSERT_EQ(ERROR_SUCCESS, SetDword(writable_.get(), L"First", 1).result);
    ASSERT_EQ(ERROR_SUCCESS, SetDword(writable_.get(), L"Second", 2).result);
    const CallOutcome plainDelete = Outcome([&] { return ::RegDeleteValueW(writable_.get(), L"First"); });
    const CallOutcome plainMissing = Outcome([&] { return ::RegDeleteValueW(writable_.get(), L"First"); });
    ASSERT_EQ(ERROR_SUCCESS, plainDelete.result);
    ASSERT_EQ(ERROR_FILE_NOT_FOUND, plainMissing.result);

    InlineHook hook;
    ASSERT_EQ(HookResult::Installed, hook.Install(NtdllExport<NtDeleteValueKeyFunction>("NtDeleteValueKey"),
                                                  &DeleteValueDetour, &originalDeleteValue));
    const CallOutcome hookedDelete = Outcome([&] { return ::RegDeleteValueW(writable_.get(), L"Second"); });
    const CallOutcome hookedMissing = Outcome([&] { return ::RegDeleteValueW(writable_.get(), L"Second"); });
    hook.Remove();

    EXPECT_EQ(plainDelete, hookedDelete) << hookedDelete.result << " " << hookedDelete.lastError;
    EXPECT_EQ(plainMissing, hookedMissing) << hookedMissing.result << " " << hookedMissing.lastError;
    const std::vector<SeenCall> seen = TakeSeenCalls();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(L"Second", seen[0].name);
    EXPECT_EQ(0, seen[0].status);
    EXPECT_EQ(L"Second", seen[1].name);
    EXPECT_NE(0, seen[1].status);
}

TEST_F(RegistryHookTest, DeleteKeyReachesTheDetourAndReturnsAsUnhooked) {
    for (const wchar_t* child :
         {L"PlainChild", L"HookedChild", L"PlainParent\\Child", L"HookedParent\\Child"}) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(writable_.get(), child, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, &key, nullptr));
        ::RegCloseKey(key);
    }
    const CallOutcome plainDelete = Outcome([&] { return ::RegDeleteKeyW(writable_.get(), L"PlainChild"); });
    // A key with a subkey cannot be deleted.
    const CallOutcome plainRefused =
        Outcome([&] { return ::RegDeleteKeyW(writable_.get(), L"PlainParent"); });
    ASSERT_EQ(ERROR_SUCCESS, plainDelete.result);
    ASSERT_NE(ERROR_SUCCESS, plainRefused.result);

    InlineHook hook;
    ASSERT_EQ(HookResult::Installed, hook.Install(NtdllExport<NtDeleteKeyFunction>("NtDeleteKey"),
                                                  &DeleteKeyDetour, &originalDeleteKey));
    const CallOutcome hookedDelete =
        Outcome([&] { return ::RegDeleteKeyW(writable_.get(), L"HookedChild"); });
    const CallOutcome hookedRefused =
        Outcome([&] { return ::RegDeleteKeyW(writable_.get(), L"HookedParent"); });
    hook.Remove();

    EXPECT_EQ(plainDelete, hookedDelete) << hookedDelete.result << " " << hookedDelete.lastError;
    EXPECT_EQ(plainRefused, hookedRefused) << hookedRefused.result << " " << hookedRefused.lastError;
    const std::vector<SeenCall> seen = TakeSeenCalls();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(0, seen[0].status);
    EXPECT_NE(0, seen[1].status);
    HKEY gone = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::RegOpenKeyExW(writable_.get(), L"HookedChild", 0, KEY_READ, &gone));
}

TEST_F(RegistryHookTest, AnNtdllEntryIsHookedOnceAndPutBackAsItWas) {
    auto* setValue = NtdllExport<NtSetValueKeyFunction>("NtSetValueKey");
    ASSERT_NE(nullptr, setValue);
    uint8_t before[16];
    std::memcpy(before, reinterpret_cast<const void*>(setValue), sizeof before);
    {
        InlineHook first;
        ASSERT_EQ(HookResult::Installed, first.Install(setValue, &SetValueDetour, &originalSetValue));
        NtSetValueKeyFunction* secondOriginal = nullptr;
        InlineHook second;
        EXPECT_EQ(HookResult::AlreadyHooked, second.Install(setValue, &SetValueDetour, &secondOriginal));
        EXPECT_EQ(nullptr, secondOriginal);
    }
    EXPECT_EQ(0, std::memcmp(before, reinterpret_cast<const void*>(setValue), sizeof before));
}

} // namespace
