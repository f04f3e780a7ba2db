// The import-table injection on real processes created suspended: the fixture target, which tells by
// its exit code whether the payload DLL ran before its own code, and Wine's builtin cmd.exe. Every
// refusal leaves the process to start as it would have without the injection.
#include "capture/inject/ImportInjection.h"

#include "capture/inject/DllImportName.h"
#include "capture/inject/ImageHeaders.h"
#include "capture/inject/MainImage.h"
#include "capture/inject/RemoteMemory.h"
#include "tests/capture/InjectTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

using capture::InjectIntoSuspended;
using capture::InjectionResult;
using inject_test::Child;

class ImportInjection : public ::testing::Test {
protected:
    std::wstring target = inject_test::TargetIn(inject_test::BinFolder());
    std::wstring payload = inject_test::PayloadIn(inject_test::BinFolder());

    void SetUp() override {
        ASSERT_TRUE(inject_test::IsFile(target)) << "the fixture target is missing";
        ASSERT_TRUE(inject_test::IsFile(payload)) << "the fixture payload is missing";
    }
};

TEST_F(ImportInjection, TheTargetWithoutInjectionSeesNoPayload) {
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadAbsent), child.ResumeAndWait());
}

TEST_F(ImportInjection, ASuspendedProcessHasItsImageBaseButNoLoaderYet) {
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    uintptr_t base = 0;
    ASSERT_EQ(capture::kStepDone, capture::FindMainImage(child.process(), base));
    std::printf("the suspended target's PEB names its image at %p\n", reinterpret_cast<void*>(base));
    capture::RemoteImage image;
    ASSERT_EQ(capture::kStepDone, capture::ReadImageHeaders(child.process(), base, image));
    EXPECT_EQ(capture::kStepDone, capture::RefuseOtherMachine(image)) << "the target is of this build";
    EXPECT_NE(0u, image.imports.VirtualAddress) << "the target imports kernel32 and the C runtime";
    EXPECT_EQ(InjectionResult::ProcessStarted, capture::FindMainImage(::GetCurrentProcess(), base))
        << "this program's loader has long run";
}

TEST_F(ImportInjection, TheDllRunsBeforeTheTargetsOwnCode) {
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(InjectionResult::Injected, InjectIntoSuspended(child.process(), payload));
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadBeforeStart), child.ResumeAndWait());
}

TEST_F(ImportInjection, ASecondInjectionOfTheSameDllIsRefused) {
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(InjectionResult::Injected, InjectIntoSuspended(child.process(), payload));
    EXPECT_EQ(InjectionResult::AlreadyInjected, InjectIntoSuspended(child.process(), payload));
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadBeforeStart), child.ResumeAndWait());
}

TEST_F(ImportInjection, AMissingDllIsRefusedAndTheProcessStartsAsUsual) {
    test_support::TempDir dir("inject");
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(InjectionResult::DllMissing,
              InjectIntoSuspended(child.process(), inject_test::Widen(dir / "no-such.dll")));
    EXPECT_EQ(InjectionResult::DllMissing,
              InjectIntoSuspended(child.process(), inject_test::Widen(dir.path())))
        << "a folder is no DLL";
    EXPECT_EQ(InjectionResult::DllMissing, InjectIntoSuspended(child.process(), L""));
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadAbsent), child.ResumeAndWait());
}

TEST_F(ImportInjection, ANonAsciiFolderIsReachedThroughItsShortName) {
    test_support::TempDir dir("inject");
    inject_test::WideFolder folder(inject_test::Widen(dir.path()) + L"\\payload-\u00fcbersicht-\u0416\u4e2d");
    ASSERT_TRUE(folder.made());
    const std::wstring copy = folder.Add(L"inject-fixture-payload.dll", payload);
    ASSERT_FALSE(copy.empty());
    const std::wstring shortPath = inject_test::ShortPathOf(copy);
    std::printf("short form of the non-ASCII path: %ls\n",
                inject_test::IsAscii(shortPath) ? shortPath.c_str() : L"(not ASCII)");
    if (!inject_test::IsAscii(shortPath))
        GTEST_SKIP() << "this file system gives the folder no ASCII short name";
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(InjectionResult::Injected, InjectIntoSuspended(child.process(), copy));
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadBeforeStart), child.ResumeAndWait());
}

TEST_F(ImportInjection, APathWithNoAsciiFormIsRefused) {
    // A name that is a valid short name as it is: no other short name is made for it.
    test_support::TempDir dir("inject");
    inject_test::WideFolder folder(inject_test::Widen(dir.path()) + L"\\\u00e9t\u00e9");
    ASSERT_TRUE(folder.made());
    const std::wstring copy = folder.Add(L"p.dll", payload);
    ASSERT_FALSE(copy.empty());
    const std::wstring shortPath = inject_test::ShortPathOf(copy);
    if (inject_test::IsAscii(shortPath)) {
        GTEST_SKIP() << "the file system made an ASCII short name for it after all (Wine makes one for every "
                        "non-ASCII name): "
                     << inject_test::Narrow(shortPath);
    }
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(InjectionResult::DllPathUnusable, InjectIntoSuspended(child.process(), copy));
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadAbsent), child.ResumeAndWait());
}

TEST_F(ImportInjection, ARunningProcessIsRefused) {
    const std::string prefix = "orvane-inject-hold-" + std::to_string(::GetCurrentProcessId());
    const UniqueHandle running(::CreateEventA(nullptr, TRUE, FALSE, (prefix + "-running").c_str()));
    const UniqueHandle release(::CreateEventA(nullptr, TRUE, FALSE, (prefix + "-release").c_str()));
    ASSERT_TRUE(running && release);
    Child child(target, inject_test::Widen(std::string(inject_fixture::kHoldMode) + " " + prefix), false);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(running.get(), inject_test::kChildWaitMs));
    EXPECT_EQ(InjectionResult::ProcessStarted, InjectIntoSuspended(child.process(), payload));
    ::SetEvent(release.get());
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadAbsent), child.Wait());
}

TEST_F(ImportInjection, AnEndedProcessIsRefused) {
    Child child(target, L"", false);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(static_cast<DWORD>(inject_fixture::kPayloadAbsent), child.Wait());
    EXPECT_EQ(InjectionResult::ProcessStarted, InjectIntoSuspended(child.process(), payload));
}

TEST_F(ImportInjection, NoProcessIsUnreadable) {
    EXPECT_EQ(InjectionResult::ProcessUnreadable, InjectIntoSuspended(nullptr, payload));
}

UniqueHandle WithRights(HANDLE process, DWORD rights) {
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(), &duplicate, rights, FALSE,
                           0))
        return UniqueHandle();
    return UniqueHandle(duplicate);
}

TEST_F(ImportInjection, AHandleThatMayNotQueryIsRefused) {
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    const UniqueHandle limited = WithRights(child.process(), SYNCHRONIZE);
    ASSERT_TRUE(limited);
    EXPECT_EQ(InjectionResult::ProcessUnreadable, InjectIntoSuspended(limited.get(), payload));
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadAbsent), child.ResumeAndWait());
}

TEST_F(ImportInjection, AHandleThatMayNotWriteLeavesNoMemoryBehind) {
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    const UniqueHandle readOnly =
        WithRights(child.process(), PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_VM_OPERATION);
    ASSERT_TRUE(readOnly);
    const std::vector<uintptr_t> before = inject_test::AddressSpaceOf(child.process());
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(InjectionResult::WriteRefused, InjectIntoSuspended(readOnly.get(), payload));
    EXPECT_EQ(before, inject_test::AddressSpaceOf(child.process())) << "the new import table was not freed";
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadAbsent), child.ResumeAndWait());
}

TEST_F(ImportInjection, AHandleThatMayNotAllocateIsRefused) {
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    const UniqueHandle readOnly = WithRights(child.process(), PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
    ASSERT_TRUE(readOnly);
    EXPECT_EQ(InjectionResult::WriteRefused, InjectIntoSuspended(readOnly.get(), payload));
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadAbsent), child.ResumeAndWait());
}

// Every free region of a process from `from` up to `end` reserved while the object lives, from the
// region's first allocation-granularity boundary on, as an allocation would be placed.
class FreeSpaceTaken {
public:
    FreeSpaceTaken(HANDLE process, uint64_t from, uint64_t end) {
        SYSTEM_INFO system;
        ::GetSystemInfo(&system);
        const uint64_t granularity = system.dwAllocationGranularity;
        MEMORY_BASIC_INFORMATION region{};
        for (uint64_t at = from;
             at < end && ::VirtualQueryEx(process, ToPointer(at), &region, sizeof region) != 0;) {
            const uint64_t regionEnd = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
            const uint64_t start = (at + granularity - 1) / granularity * granularity;
            const uint64_t stop = std::min(regionEnd, end);
            if (region.State == MEM_FREE && start < stop)
                Reserve(process, start, stop - start);
            if (regionEnd <= at)
                break;
            at = regionEnd;
        }
    }

    bool complete() const { return complete_; }

private:
    static void* ToPointer(uint64_t address) {
        return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
    }

    void Reserve(HANDLE process, uint64_t start, uint64_t size) {
        void* const reserved = ::VirtualAllocEx(process, ToPointer(start), static_cast<size_t>(size),
                                                MEM_RESERVE, PAGE_NOACCESS);
        complete_ = complete_ && reserved != nullptr;
        if (reserved != nullptr)
            taken_.emplace_back(capture::RemoteMemory{process, reserved});
    }

    std::vector<capture::UniqueRemoteMemory> taken_;
    bool complete_ = true;
};

// A DLL copied and run as a program keeps the DLL's high base, and in a 2 GB space nothing may be free
// above it. A 32-bit loader adds an RVA in 32 bits and so reaches a table below the image; a 64-bit one
// does not, and the injection is refused with nothing left behind.
TEST_F(ImportInjection, AnImageWithNoFreeMemoryAboveItIsReachedOnlyWhereRvasWrapAround) {
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    uintptr_t base = 0;
    capture::RemoteImage image;
    ASSERT_EQ(capture::kStepDone, capture::FindMainImage(child.process(), base));
    ASSERT_EQ(capture::kStepDone, capture::ReadImageHeaders(child.process(), base, image));
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const uint64_t userEnd = reinterpret_cast<uintptr_t>(system.lpMaximumApplicationAddress) + uint64_t{1};
    const bool wraps = sizeof(void*) == 4;
    {
        const FreeSpaceTaken taken(child.process(), uint64_t{base} + image.sizeOfImage,
                                   std::min(userEnd, uint64_t{base} + (uint64_t{1} << 32)));
        ASSERT_TRUE(taken.complete());
        const std::vector<uintptr_t> before = inject_test::AddressSpaceOf(child.process());
        if (wraps) {
            ASSERT_EQ(InjectionResult::Injected, InjectIntoSuspended(child.process(), payload));
        } else {
            EXPECT_EQ(InjectionResult::NoMemoryNearImage, InjectIntoSuspended(child.process(), payload));
            EXPECT_EQ(before, inject_test::AddressSpaceOf(child.process())) << "nothing may be left behind";
        }
    }
    EXPECT_EQ(
        static_cast<DWORD>(wraps ? inject_fixture::kPayloadBeforeStart : inject_fixture::kPayloadAbsent),
        child.ResumeAndWait());
}

std::wstring SystemProgram(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(folder, length) + L"\\" + name;
}

// cmd.exe finds the payload's mark as the target does, and still ends with the code it is told to.
TEST_F(ImportInjection, ABuiltinProgramRunsWithTheDllAndKeepsItsExitCode) {
    const std::wstring cmd = SystemProgram(L"cmd.exe");
    const std::wstring check =
        std::wstring(L"/c if defined ") + inject_fixture::kPayloadMark + L" (exit 7) else (exit 8)";
    Child control(cmd, check, true);
    ASSERT_TRUE(control.started());
    ASSERT_EQ(8u, control.ResumeAndWait()) << "cmd.exe without the DLL";
    Child child(cmd, check, true);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(InjectionResult::Injected, InjectIntoSuspended(child.process(), payload));
    EXPECT_EQ(7u, child.ResumeAndWait());
}

// Wine makes an ASCII short name for every non-ASCII name, so the choice is also shown on its own.
TEST(ImportName, IsTheFirstAsciiFormOfThePath) {
    std::string name;
    EXPECT_EQ(capture::kStepDone, capture::ChooseImportName(L"C:\\a\\x.dll", L"", name));
    EXPECT_EQ("C:\\a\\x.dll", name);
    EXPECT_EQ(capture::kStepDone,
              capture::ChooseImportName(L"C:\\\u00e9t\u00e9\\x.dll", L"C:\\ETE~1\\x.dll", name));
    EXPECT_EQ("C:\\ETE~1\\x.dll", name);
    name = "unchanged";
    EXPECT_EQ(InjectionResult::DllPathUnusable,
              capture::ChooseImportName(L"C:\\\u00e9t\u00e9\\x.dll", L"C:\\\u00e9t\u00e9\\x.dll", name));
    EXPECT_EQ(InjectionResult::DllPathUnusable, capture::ChooseImportName(L"C:\\\u4e2d\\x.dll", L"", name));
    EXPECT_EQ("unchanged", name);
}

TEST(ImportInjectionText, EveryResultHasItsOwnDescription) {
    std::set<std::string> seen;
    for (int number = 0; number <= static_cast<int>(capture::kLastInjectionResult); ++number) {
        const std::string text = capture::DescribeInjectionResult(static_cast<InjectionResult>(number));
        EXPECT_NE("unknown injection result", text) << "result " << number;
        EXPECT_TRUE(seen.insert(text).second) << text;
    }
}

} // namespace
