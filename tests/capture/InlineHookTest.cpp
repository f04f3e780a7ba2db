// The hook engine on a function of known prologue placed in the test's own executable memory: calls
// through the hook and the trampoline, removal, the entry patch at each alignment, and the refusals.
#include "capture/InlineHook.h"

#include "capture/LastErrorKeeper.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "tests/capture/HookTestCode.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using capture::HookResult;
using capture::InlineHook;
using capture::UnhookResult;
using hook_test::AddSeven;
using hook_test::BytesAt;
using hook_test::CodeAddress;
using hook_test::CodePage;
using hook_test::StubFunction;

AddSeven* originalAddSeven = nullptr;

int TimesHundredDetour(int a) {
    return originalAddSeven(a) * 100;
}

class InlineHookTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, page_.base());
        originalAddSeven = nullptr;
    }

    CodePage page_;
};

TEST_F(InlineHookTest, CallersReachTheDetourAndTheTrampolineRunsTheOriginal) {
    AddSeven* addSeven = page_.PlaceAddSeven(0);
    ASSERT_EQ(8, addSeven(1));
    InlineHook hook;
    ASSERT_EQ(HookResult::Installed, hook.Install(addSeven, &TimesHundredDetour, &originalAddSeven));
    EXPECT_TRUE(hook.installed());
    EXPECT_EQ(0xe9, reinterpret_cast<uint8_t*>(addSeven)[0]);
    EXPECT_EQ(hook.trampoline(), reinterpret_cast<void*>(originalAddSeven));
    EXPECT_EQ(800, addSeven(1));
    EXPECT_EQ(8, originalAddSeven(1));

    EXPECT_EQ(UnhookResult::Removed, hook.Remove());
    EXPECT_FALSE(hook.installed());
    EXPECT_EQ(hook_test::kAddSevenCode, BytesAt(addSeven, hook_test::kAddSevenCode.size()));
    EXPECT_EQ(9, addSeven(2));
    EXPECT_EQ(9, originalAddSeven(2)) << "a removed hook's trampoline stays callable";
    EXPECT_EQ(UnhookResult::NotInstalled, hook.Remove());
}

TEST_F(InlineHookTest, TheOwnerRemovesTheHookWhenItGoes) {
    AddSeven* addSeven = page_.PlaceAddSeven(0);
    {
        InlineHook hook;
        ASSERT_EQ(HookResult::Installed, hook.Install(addSeven, &TimesHundredDetour, &originalAddSeven));
        InlineHook moved(std::move(hook));
        EXPECT_FALSE(hook.installed());
        EXPECT_TRUE(moved.installed());
        EXPECT_EQ(800, addSeven(1));
    }
    EXPECT_EQ(8, addSeven(1));
    EXPECT_EQ(hook_test::kAddSevenCode, BytesAt(addSeven, hook_test::kAddSevenCode.size()));
}

TEST_F(InlineHookTest, AnEntryRewrittenByOthersIsLeftToThem) {
    AddSeven* addSeven = page_.PlaceAddSeven(0);
    InlineHook hook;
    ASSERT_EQ(HookResult::Installed, hook.Install(addSeven, &TimesHundredDetour, &originalAddSeven));
    const std::vector<uint8_t> theirs = {0xb8, 0x09, 0x00, 0x00, 0x00};
    page_.Place(0, theirs);
    EXPECT_EQ(UnhookResult::EntryChanged, hook.Remove());
    EXPECT_FALSE(hook.installed());
    EXPECT_EQ(theirs, BytesAt(addSeven, theirs.size()));
}

TEST_F(InlineHookTest, HookingTwiceIsRefused) {
    AddSeven* addSeven = page_.PlaceAddSeven(0);
    InlineHook first;
    ASSERT_EQ(HookResult::Installed, first.Install(addSeven, &TimesHundredDetour, &originalAddSeven));
    AddSeven* secondOriginal = nullptr;
    InlineHook second;
    EXPECT_EQ(HookResult::AlreadyHooked, second.Install(addSeven, &TimesHundredDetour, &secondOriginal));
    EXPECT_EQ(nullptr, secondOriginal);
    EXPECT_FALSE(second.installed());
    AddSeven* other = page_.PlaceAddSeven(128);
    EXPECT_EQ(HookResult::OwnerInUse, first.Install(other, &TimesHundredDetour, &secondOriginal));
    EXPECT_EQ(800, addSeven(1));
}

TEST_F(InlineHookTest, EntriesThatBeginWithABranchAreRefused) {
    const std::vector<std::vector<uint8_t>> jumps = {
        {0xe9, 1, 2, 3, 4, 0xc3}, {0xeb, 0x00, 0xc3, 0xc3, 0xc3, 0xc3}, {0xff, 0x25, 1, 2, 3, 4}};
    for (const std::vector<uint8_t>& code : jumps) {
        InlineHook hook;
        EXPECT_EQ(HookResult::AlreadyHooked,
                  hook.InstallAt(page_.Place(0, code), CodeAddress(&TimesHundredDetour), &originalAddSeven));
        EXPECT_EQ(code, BytesAt(page_.base(), code.size()));
    }
    InlineHook hook;
    const std::vector<uint8_t> call = {0xe8, 1, 2, 3, 4, 0xc3};
    EXPECT_EQ(HookResult::PrologueNotRelocatable,
              hook.InstallAt(page_.Place(0, call), CodeAddress(&TimesHundredDetour), &originalAddSeven));
    const std::vector<uint8_t> unknown = {0x0f, 0x1f, 0x44, 0x00, 0x00, 0xc3};
    EXPECT_EQ(HookResult::PrologueNotRelocatable,
              hook.InstallAt(page_.Place(0, unknown), CodeAddress(&TimesHundredDetour), &originalAddSeven));
    const std::vector<uint8_t> shortFunction = {0x31, 0xc0, 0xc3, 0xcc, 0xcc, 0xcc}; // xor eax, eax; ret
    EXPECT_EQ(
        HookResult::PrologueNotRelocatable,
        hook.InstallAt(page_.Place(0, shortFunction), CodeAddress(&TimesHundredDetour), &originalAddSeven));
    EXPECT_EQ(nullptr, originalAddSeven);
}

#if defined(_WIN64)
TEST_F(InlineHookTest, ARipRelativeFirstInstructionIsRefused) {
    const std::vector<uint8_t> loadFromRip = {0x48, 0x8b, 0x05, 1, 2, 3, 4, 0xc3}; // mov rax, [rip+...]
    InlineHook hook;
    EXPECT_EQ(
        HookResult::PrologueNotRelocatable,
        hook.InstallAt(page_.Place(0, loadFromRip), CodeAddress(&TimesHundredDetour), &originalAddSeven));
    EXPECT_EQ(loadFromRip, BytesAt(page_.base(), loadFromRip.size()));
}
#endif

TEST_F(InlineHookTest, NullAndUnreadableTargetsAreRefused) {
    InlineHook hook;
    EXPECT_EQ(HookResult::NullTarget,
              hook.Install<AddSeven>(nullptr, &TimesHundredDetour, &originalAddSeven));
    AddSeven* addSeven = page_.PlaceAddSeven(0);
    EXPECT_EQ(HookResult::NullDetour, hook.Install<AddSeven>(addSeven, nullptr, &originalAddSeven));
    EXPECT_EQ(HookResult::NullDetour, hook.InstallAt(const_cast<void*>(CodeAddress(addSeven)),
                                                     CodeAddress(&TimesHundredDetour), nullptr));

    void* reserved = ::VirtualAlloc(nullptr, CodePage::kSize, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(nullptr, reserved);
    EXPECT_EQ(HookResult::TargetUnreadable,
              hook.InstallAt(reserved, CodeAddress(&TimesHundredDetour), &originalAddSeven));
    ::VirtualFree(reserved, 0, MEM_RELEASE);
    EXPECT_FALSE(hook.installed());
    EXPECT_EQ(8, addSeven(1));
}

// A view mapped without write access cannot be given it: the patch is refused, nothing is written.
TEST_F(InlineHookTest, MemoryThatCannotBeMadeWritableIsRefused) {
    UniqueHandle section(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_EXECUTE_READWRITE, 0,
                                              CodePage::kSize, nullptr));
    ASSERT_TRUE(section.valid()) << ::GetLastError();
    void* writer = ::MapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0, 0);
    void* reader = ::MapViewOfFile(section.get(), FILE_MAP_READ | FILE_MAP_EXECUTE, 0, 0, 0);
    ASSERT_NE(nullptr, writer);
    ASSERT_NE(nullptr, reader);
    std::memcpy(writer, hook_test::kAddSevenCode.data(), hook_test::kAddSevenCode.size());
    auto* addSeven = reinterpret_cast<AddSeven*>(reader);
    EXPECT_EQ(8, addSeven(1));

    InlineHook hook;
    EXPECT_EQ(HookResult::ProtectionUnchangeable,
              hook.Install(addSeven, &TimesHundredDetour, &originalAddSeven));
    EXPECT_EQ(hook_test::kAddSevenCode, BytesAt(reader, hook_test::kAddSevenCode.size()));
    EXPECT_EQ(nullptr, originalAddSeven);
    EXPECT_EQ(8, addSeven(1));
    ::UnmapViewOfFile(reader);
    ::UnmapViewOfFile(writer);
}

TEST_F(InlineHookTest, InstallingAndRemovingKeepTheLastError) {
    AddSeven* addSeven = page_.PlaceAddSeven(0);
    InlineHook hook;
    ::SetLastError(12345);
    ASSERT_EQ(HookResult::Installed, hook.Install(addSeven, &TimesHundredDetour, &originalAddSeven));
    EXPECT_EQ(12345u, ::GetLastError());
    ::SetLastError(54321);
    EXPECT_EQ(UnhookResult::Removed, hook.Remove());
    EXPECT_EQ(54321u, ::GetLastError());
    ::SetLastError(777);
    EXPECT_EQ(HookResult::NullTarget,
              hook.Install<AddSeven>(nullptr, &TimesHundredDetour, &originalAddSeven));
    EXPECT_EQ(777u, ::GetLastError());
}

TEST(LastErrorKeeper, PutsBackTheErrorOfItsScopesStart) {
    ::SetLastError(42);
    {
        const capture::LastErrorKeeper keep;
        ::SetLastError(ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(42u, ::GetLastError());
}

// Code a thread returns to from the function: it ends the thread with the function's result as its exit
// code.
std::vector<uint8_t> ExitWithResultCode() {
    const auto exitThread = reinterpret_cast<uintptr_t>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "ExitThread")));
#if defined(_WIN64)
    std::vector<uint8_t> code = {0x89, 0xc1, 0xff, 0x25, 0, 0, 0, 0}; // mov ecx, eax; jmp [rip+0]
#else
    std::vector<uint8_t> code = {0x50, 0x50, 0xb8}; // push eax (argument); push eax (return); mov eax, imm32
#endif
    for (size_t i = 0; i < sizeof exitThread; ++i)
        code.push_back(uint8_t(exitThread >> (8 * i)));
#if !defined(_WIN64)
    code.insert(code.end(), {0xff, 0xe0}); // jmp eax
#endif
    return code;
}

DWORD WINAPI NeverRun(void*) {
    return 0;
}

// A thread made to stand at the given instruction of the function as if called with `argument` and
// paused there, returning to `landing`; on i686 with the caller's ebp pushed or, at the entry, not yet.
UniqueHandle ThreadPausedAt(const uint8_t* at, const uint8_t* landing, int argument,
                            bool framePushed = true) {
    UniqueHandle thread(::CreateThread(nullptr, 0, &NeverRun, nullptr, CREATE_SUSPENDED, nullptr));
    if (!thread.valid())
        return thread;
    alignas(16) CONTEXT context = {};
    context.ContextFlags = CONTEXT_FULL;
    if (!::GetThreadContext(thread.get(), &context))
        return UniqueHandle();
#if defined(_WIN64)
    auto* stack = reinterpret_cast<uintptr_t*>((context.Rsp - 512) & ~uintptr_t(15));
    stack[0] = reinterpret_cast<uintptr_t>(landing); // [rsp]: the return address
    context.Rsp = reinterpret_cast<uintptr_t>(stack);
    context.R10 = DWORD64(argument); // mov r10, rcx has run
    context.Rip = reinterpret_cast<uintptr_t>(at);
#else
    auto* stack = reinterpret_cast<uintptr_t*>((context.Esp - 512) & ~uintptr_t(15));
    stack[0] = 0;                                    // the caller's ebp, pushed
    stack[1] = reinterpret_cast<uintptr_t>(landing); // the return address
    stack[2] = uintptr_t(argument);
    context.Esp = context.Ebp = reinterpret_cast<uintptr_t>(stack); // push ebp; mov ebp, esp have run
    if (!framePushed)
        context.Esp = reinterpret_cast<uintptr_t>(stack + 1);
    context.Eip = reinterpret_cast<uintptr_t>(at);
#endif
    if (!::SetThreadContext(thread.get(), &context))
        return UniqueHandle();
    return thread;
}

uintptr_t InstructionPointerOf(HANDLE thread) {
    alignas(16) CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    if (!::GetThreadContext(thread, &context))
        return 0;
#if defined(_WIN64)
    return uintptr_t(context.Rip);
#else
    return uintptr_t(context.Eip);
#endif
}

// A thread paused between two of the instructions the jump replaces is moved to the same place in the
// trampoline, and finishes the call there.
TEST_F(InlineHookTest, AThreadPausedInsideTheReplacedBytesFinishesInTheTrampoline) {
    auto* function = reinterpret_cast<AddSeven*>(page_.Place(0, hook_test::kTwoInstructionEntryCode));
    const uint8_t* landing = page_.Place(512, ExitWithResultCode());
    const uint8_t* paused = reinterpret_cast<const uint8_t*>(function) + hook_test::kSecondInstructionOffset;
    UniqueHandle thread = ThreadPausedAt(paused, landing, 35);
    ASSERT_TRUE(thread.valid()) << ::GetLastError();
    ASSERT_EQ(reinterpret_cast<uintptr_t>(paused), InstructionPointerOf(thread.get()));

    InlineHook hook;
    ASSERT_EQ(HookResult::Installed, hook.Install(function, &TimesHundredDetour, &originalAddSeven));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(hook.trampoline()) + hook_test::kSecondInstructionOffset,
              InstructionPointerOf(thread.get()));
    ASSERT_EQ(1u, ::ResumeThread(thread.get()));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.get(), 10000));
    DWORD exitCode = 0;
    ASSERT_TRUE(::GetExitCodeThread(thread.get(), &exitCode));
    EXPECT_EQ(42u, exitCode);
    EXPECT_EQ(4200, function(35));
}

DWORD ExitCodeOnceResumed(HANDLE thread) {
    DWORD exitCode = 0;
    if (::ResumeThread(thread) != 1 || ::WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0 ||
        !::GetExitCodeThread(thread, &exitCode))
        return DWORD(-1);
    return exitCode;
}

#if !defined(_WIN64)
// Unhooking a hot-patched entry: a thread that took the short jump and stands at the padding's jump is
// moved to the entry, which runs the original; one inside the (never freed) trampoline stays there.
TEST_F(InlineHookTest, ThreadsStandingInAHotPatchAreLeftSomewhereEquivalentWhenItGoes) {
    const hook_test::EntryLayout layout = hook_test::EntryLayouts(nullptr, nullptr)[2];
    ASSERT_TRUE(layout.hotPatchable);
    page_.Place(64 + 7 - layout.before.size(), layout.before);
    auto* entry = reinterpret_cast<uint8_t*>(page_.Place(64 + 7, layout.code));
    const uint8_t* landing = page_.Place(512, ExitWithResultCode());
    InlineHook hook;
    ASSERT_EQ(HookResult::Installed,
              hook.InstallAt(entry, CodeAddress(&TimesHundredDetour), &originalAddSeven));
    EXPECT_EQ(capture::HookMethod::HotPatchOthersHeld, hook.method());
    EXPECT_EQ(entry + 2, hook.trampoline());
    UniqueHandle atPadding = ThreadPausedAt(entry - 5, landing, 35, false);
    UniqueHandle inTrampoline = ThreadPausedAt(entry + 5, landing, 36);
    ASSERT_TRUE(atPadding.valid() && inTrampoline.valid()) << ::GetLastError();

    ASSERT_EQ(UnhookResult::Removed, hook.Remove());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(entry), InstructionPointerOf(atPadding.get()));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(entry + 5), InstructionPointerOf(inTrampoline.get()));
    EXPECT_EQ(layout.before, BytesAt(entry - 5, 5));
    EXPECT_EQ(42u, ExitCodeOnceResumed(atPadding.get()));
    EXPECT_EQ(43u, ExitCodeOnceResumed(inTrampoline.get()));
}
#endif

StubFunction* originalStub = nullptr;
std::atomic<long> detourCalls{0};

int WINAPI CountingDetour(int a) {
    detourCalls.fetch_add(1);
    return __atomic_load_n(&originalStub, __ATOMIC_ACQUIRE)(a);
}

// Threads calling an entry all the while, each call checked.
class Callers {
public:
    Callers(StubFunction* entry, int added) {
        for (int i = 0; i < 2; ++i) {
            threads_.emplace_back([this, entry, added, i] {
                for (int a = i; !stop_.load(); a += 2) {
                    if (entry(a) != a + added)
                        wrong_.fetch_add(1);
                    calls_.fetch_add(1);
                }
            });
        }
    }
    ~Callers() {
        stop_.store(true);
        for (std::thread& thread : threads_)
            thread.join();
    }
    Callers(const Callers&) = delete;
    Callers& operator=(const Callers&) = delete;

    long wrong() const { return wrong_.load(); }
    // Waits until the callers made `more` further calls, or a minute passed.
    bool MakeCalls(long more) const {
        const long until = calls_.load() + more;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (calls_.load() < until) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> calls_{0};
    std::atomic<long> wrong_{0};
    std::vector<std::thread> threads_;
};

capture::HookMethod ExpectedMethod(const hook_test::EntryLayout& layout, size_t offset) {
    const bool mayCrossWords = offset % 8 == 7;
    if (layout.hotPatchable)
        return mayCrossWords ? capture::HookMethod::HotPatchOthersHeld : capture::HookMethod::HotPatch;
    const bool withinOneWord = offset % 8 <= 3;
    return withinOneWord && layout.oneInstruction ? capture::HookMethod::OneLockedWrite
                                                  : capture::HookMethod::OthersHeld;
}

// Entries as system libraries lay them out, at every offset within a 16-byte block: with two threads
// calling the entry throughout, the hook goes in and out repeatedly, each call returns what the function
// returns, the calls made while hooked pass through the detour, and unhooking leaves the bytes as they
// were (the padding too). Every installation outside the hot-patch form takes a trampoline slot for good,
// so the rounds are few.
TEST_F(InlineHookTest, EntriesAtEveryOffsetAreHookedAndUnhookedUnderCallers) {
    const uint8_t* systemCall = page_.Place(3072, hook_test::kSystemCallStandIn);
    uint8_t* systemCallCell = page_.base() + 3072 + 64;
    std::memcpy(systemCallCell, &systemCall, sizeof systemCall);
    constexpr size_t kBlock = 1024;
    constexpr int kRounds = 4;
    for (const hook_test::EntryLayout& layout : hook_test::EntryLayouts(systemCall, systemCallCell)) {
        std::string methods;
        for (size_t offset = 0; offset < 16; ++offset) {
            SCOPED_TRACE(std::string(layout.name) + " at offset " + std::to_string(offset));
            std::memset(page_.base() + kBlock - 16, 0xcc, 64);
            page_.Place(kBlock + offset - layout.before.size(), layout.before);
            auto* entry = reinterpret_cast<StubFunction*>(page_.Place(kBlock + offset, layout.code));
            const std::vector<uint8_t> untouched = BytesAt(page_.base() + kBlock - 16, 64);
            ASSERT_EQ(1 + layout.added, entry(1));
            Callers callers(entry, layout.added);
            InlineHook hook;
            for (int round = 0; round < kRounds; ++round) {
                const long detoured = detourCalls.load();
                ASSERT_EQ(HookResult::Installed, hook.Install(entry, &CountingDetour, &originalStub));
                EXPECT_EQ(ExpectedMethod(layout, offset), hook.method());
                if (round == 0)
                    methods +=
                        " " + std::to_string(offset) + ":" + capture::DescribeHookMethod(hook.method());
                ASSERT_TRUE(callers.MakeCalls(20));
                EXPECT_LT(detoured, detourCalls.load());
                ASSERT_EQ(UnhookResult::Removed, hook.Remove());
                ASSERT_TRUE(callers.MakeCalls(20));
            }
            EXPECT_EQ(0, callers.wrong());
            EXPECT_EQ(untouched, BytesAt(page_.base() + kBlock - 16, 64));
        }
        std::printf("hook methods, %s:%s\n", layout.name, methods.c_str());
    }
}

} // namespace
