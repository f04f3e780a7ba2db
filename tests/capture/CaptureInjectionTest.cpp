// The capture DLL of the process's bitness, from a folder laid out as the tracker's (CaptureInjection.h);
// the fixture payload stands in for the capture DLL.
#include "capture/inject/CaptureInjection.h"

#include "tests/capture/InjectTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using capture::CaptureAttempt;
using capture::CaptureOutcome;
using capture::InjectionResult;
using inject_test::Child;

std::wstring CaptureDllName(int bits) {
    return L"orvane-capture" + std::to_wstring(bits) + L".dll";
}

TEST(Capture, ProcessBitsAreTheCallersForAChildOfTheSameBuild) {
    Child child(inject_test::TargetIn(inject_test::BinFolder()), L"", true);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(inject_test::kCallerBits, capture::ProcessBits(child.process()));
    EXPECT_EQ(inject_test::kCallerBits, capture::ProcessBits(::GetCurrentProcess()));
}

TEST(Capture, AProcessOfTheCallersBitnessGetsTheCaptureDll) {
    test_support::TempDir dir("inject");
    const std::wstring folder = inject_test::Widen(dir.path());
    ASSERT_TRUE(inject_test::CopyTo(inject_test::PayloadIn(inject_test::BinFolder()),
                                    folder + L"\\" + CaptureDllName(inject_test::kCallerBits)));
    Child child(inject_test::TargetIn(inject_test::BinFolder()), L"", true);
    ASSERT_TRUE(child.started());
    const CaptureAttempt attempt = capture::CaptureSuspendedProcess(child.process(), folder);
    EXPECT_EQ(CaptureOutcome::Captured, attempt.outcome) << capture::DescribeCaptureAttempt(attempt);
    EXPECT_EQ(inject_test::kCallerBits, attempt.bits);
    EXPECT_EQ("captured", capture::DescribeCaptureAttempt(attempt));
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadBeforeStart), child.ResumeAndWait());
}

TEST(Capture, AFolderWithoutTheCaptureDllIsReported) {
    test_support::TempDir dir("inject");
    Child child(inject_test::TargetIn(inject_test::BinFolder()), L"", true);
    ASSERT_TRUE(child.started());
    const CaptureAttempt attempt =
        capture::CaptureSuspendedProcess(child.process(), inject_test::Widen(dir.path()));
    EXPECT_EQ(CaptureOutcome::Refused, attempt.outcome);
    EXPECT_EQ(InjectionResult::DllMissing, attempt.injection);
    const std::string bits = std::to_string(inject_test::kCallerBits);
    EXPECT_EQ("no " + bits + "-bit capture DLL (orvane-capture" + bits + ".dll)",
              capture::DescribeCaptureAttempt(attempt));
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadAbsent), child.ResumeAndWait());
}

TEST(Capture, AnUnreadableProcessIsReported) {
    test_support::TempDir dir("inject");
    const std::wstring folder = inject_test::Widen(dir.path());
    ASSERT_TRUE(inject_test::CopyTo(inject_test::PayloadIn(inject_test::BinFolder()),
                                    folder + L"\\" + CaptureDllName(inject_test::kCallerBits)));
    // On 32-bit Windows every process is taken for a 32-bit one, so the injection itself finds out.
    const CaptureAttempt attempt = capture::CaptureSuspendedProcess(nullptr, folder);
    EXPECT_EQ(CaptureOutcome::Refused, attempt.outcome);
    EXPECT_EQ(InjectionResult::ProcessUnreadable, attempt.injection);
}

TEST(CaptureText, DescribesEachOutcome) {
    CaptureAttempt attempt;
    attempt.bits = 32;
    attempt.outcome = CaptureOutcome::InjectorMissing;
    EXPECT_EQ("no 32-bit injector program (orvane-inject32.exe)", capture::DescribeCaptureAttempt(attempt));
    attempt.outcome = CaptureOutcome::InjectorFailed;
    EXPECT_EQ("the 32-bit injector program failed or did not end in time",
              capture::DescribeCaptureAttempt(attempt));
    attempt.outcome = CaptureOutcome::Refused;
    attempt.injection = InjectionResult::ManagedImage;
    EXPECT_EQ("not captured: the process is an IL-only .NET program",
              capture::DescribeCaptureAttempt(attempt));
    attempt.bits = 0;
    attempt.injection = InjectionResult::ProcessUnreadable;
    EXPECT_EQ("the process's bitness could not be told", capture::DescribeCaptureAttempt(attempt));
}

} // namespace
