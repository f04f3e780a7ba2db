// Processes of the other bitness, with the fixtures and the injector program of the other
// architecture's build tree (ORVANE_PEER_BUILD_DIR). A 64-bit caller injects a 32-bit process through
// orvane-inject32.exe; a 32-bit caller on 64-bit Windows a 64-bit process through orvane-inject64.exe,
// which the x86_64 lane shows by running the 32-bit test program as a helper.
#include "capture/inject/CaptureInjection.h"

#include "capture/inject/InjectorProcess.h"
#include "tests/capture/InjectTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using capture::CaptureAttempt;
using capture::CaptureOutcome;
using capture::InjectionResult;
using inject_test::Child;

bool OnWindowsOf64Bits() {
#if defined(_WIN64)
    return true;
#else
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
#endif
}

class CrossBitness : public ::testing::Test {
protected:
    std::wstring peer = inject_test::PeerBinFolder();

    void SetUp() override {
        if (!OnWindowsOf64Bits())
            GTEST_SKIP() << "32-bit Windows runs no process of the other bitness";
        if (peer.empty())
            GTEST_SKIP() << "no other architecture's build tree is configured (ORVANE_PEER_BUILD_DIR)";
        for (const std::wstring& file : {inject_test::TargetIn(peer), inject_test::PayloadIn(peer),
                                         inject_test::InjectorIn(peer, inject_test::kOtherBits)}) {
            if (!inject_test::IsFile(file)) {
                GTEST_SKIP() << "the other architecture's build has no " << inject_test::Narrow(file)
                             << ": build it first";
            }
        }
        const std::string why =
            test_support::WhyProgramDoesNotStart(inject_test::Narrow(inject_test::TargetIn(peer)));
        if (!why.empty())
            GTEST_SKIP() << why;
    }

    // A folder laid out as the tracker's for the other bitness: its capture DLL (the peer's payload),
    // and its injector program unless told otherwise.
    void LayOutFolder(const std::wstring& folder, bool withInjector) {
        const std::wstring bits = std::to_wstring(inject_test::kOtherBits);
        ASSERT_TRUE(
            inject_test::CopyTo(inject_test::PayloadIn(peer), folder + L"\\orvane-capture" + bits + L".dll"));
        if (withInjector) {
            ASSERT_TRUE(inject_test::CopyTo(inject_test::InjectorIn(peer, inject_test::kOtherBits),
                                            inject_test::InjectorIn(folder, inject_test::kOtherBits)));
        }
    }
};

TEST_F(CrossBitness, TheOtherBitnessIsToldApart) {
    Child child(inject_test::TargetIn(peer), L"", true);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(inject_test::kOtherBits, capture::ProcessBits(child.process()));
}

TEST_F(CrossBitness, ImportInjectionRefusesTheOtherBitness) {
    Child child(inject_test::TargetIn(peer), L"", true);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(
        InjectionResult::OtherBitness,
        capture::InjectIntoSuspended(child.process(), inject_test::PayloadIn(inject_test::BinFolder())));
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadAbsent), child.ResumeAndWait());
}

TEST_F(CrossBitness, AMissingInjectorProgramIsReported) {
    test_support::TempDir dir("inject");
    const std::wstring folder = inject_test::Widen(dir.path());
    LayOutFolder(folder, false);
    Child child(inject_test::TargetIn(peer), L"", true);
    ASSERT_TRUE(child.started());
    const CaptureAttempt attempt = capture::CaptureSuspendedProcess(child.process(), folder);
    EXPECT_EQ(CaptureOutcome::InjectorMissing, attempt.outcome);
    EXPECT_EQ(inject_test::kOtherBits, attempt.bits);
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadAbsent), child.ResumeAndWait());
}

TEST_F(CrossBitness, TheInjectorProgramCapturesAProcessOfTheOtherBitness) {
    test_support::TempDir dir("inject");
    const std::wstring folder = inject_test::Widen(dir.path());
    LayOutFolder(folder, true);
    Child child(inject_test::TargetIn(peer), L"", true);
    ASSERT_TRUE(child.started());
    const CaptureAttempt attempt = capture::CaptureSuspendedProcess(child.process(), folder);
    EXPECT_EQ(CaptureOutcome::Captured, attempt.outcome) << capture::DescribeCaptureAttempt(attempt);
    EXPECT_EQ(inject_test::kOtherBits, attempt.bits);
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadBeforeStart), child.ResumeAndWait());
}

TEST_F(CrossBitness, TheInjectorProgramReportsItsRefusal) {
    test_support::TempDir dir("inject");
    const std::wstring folder = inject_test::Widen(dir.path());
    ASSERT_TRUE(inject_test::CopyTo(inject_test::InjectorIn(peer, inject_test::kOtherBits),
                                    inject_test::InjectorIn(folder, inject_test::kOtherBits)));
    Child child(inject_test::TargetIn(peer), L"", true);
    ASSERT_TRUE(child.started());
    const CaptureAttempt attempt = capture::CaptureSuspendedProcess(child.process(), folder);
    EXPECT_EQ(CaptureOutcome::Refused, attempt.outcome);
    EXPECT_EQ(InjectionResult::DllMissing, attempt.injection);
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadAbsent), child.ResumeAndWait());
}

#if defined(_WIN64)
std::wstring WindowsFolder(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetWindowsDirectoryW(folder, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(folder, length) + L"\\" + name;
}

// Wine's own 32-bit cmd.exe, captured from this 64-bit program through orvane-inject32.exe.
TEST_F(CrossBitness, The32BitBuiltinCmdIsCapturedThroughTheInjectorProgram) {
    test_support::TempDir dir("inject");
    const std::wstring folder = inject_test::Widen(dir.path());
    LayOutFolder(folder, true);
    const std::wstring check =
        std::wstring(L"/c if defined ") + inject_fixture::kPayloadMark + L" (exit 7) else (exit 8)";
    Child child(WindowsFolder(L"syswow64\\cmd.exe"), check, true);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(32, capture::ProcessBits(child.process()));
    const CaptureAttempt attempt = capture::CaptureSuspendedProcess(child.process(), folder);
    EXPECT_EQ(CaptureOutcome::Captured, attempt.outcome) << capture::DescribeCaptureAttempt(attempt);
    EXPECT_EQ(7u, child.ResumeAndWait());
}

// The 32-bit test program, in its helper mode, captures this build's 64-bit target through this
// build's orvane-inject64.exe.
TEST_F(CrossBitness, A32BitCallerCapturesA64BitProcessThroughTheInjectorProgram) {
    const std::wstring helper = inject_test::TestProgramIn(peer);
    if (!inject_test::IsFile(helper))
        GTEST_SKIP() << "the other architecture's build has no capture_inject_tests.exe: build it first";
    test_support::TempDir dir("inject");
    const std::wstring folder = inject_test::Widen(dir.path());
    const std::wstring own = inject_test::BinFolder();
    ASSERT_TRUE(inject_test::CopyTo(inject_test::TargetIn(own), inject_test::TargetIn(folder)));
    ASSERT_TRUE(inject_test::CopyTo(inject_test::PayloadIn(own), folder + L"\\orvane-capture64.dll"));
    ASSERT_TRUE(inject_test::CopyTo(inject_test::InjectorIn(own, 64), inject_test::InjectorIn(folder, 64)));
    Child run(helper, L"--capture-in " + capture::QuoteArgument(folder), false);
    ASSERT_TRUE(run.started());
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadBeforeStart), run.Wait(60000))
        << "100 + the outcome when it was not captured";
}
#endif

} // namespace
