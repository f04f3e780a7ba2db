// The injection tests' program. Besides the tests it has a helper mode for the other architecture's
// test program: "--capture-in <folder>" captures the fixture target in <folder> from this program's
// bitness, runs it, and ends with the target's exit code, or kHelperNotCaptured plus the outcome.
#include "capture/inject/CaptureInjection.h"

#include "tests/capture/InjectTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr char kCaptureHelperMode[] = "--capture-in";
constexpr int kHelperNotCaptured = 100;

int CaptureInFolder(const std::wstring& folder) {
    inject_test::Child child(inject_test::TargetIn(folder), L"", true);
    if (!child.started()) {
        std::printf("capture helper: the target in %ls did not start\n", folder.c_str());
        return kHelperNotCaptured + 99;
    }
    const capture::CaptureAttempt attempt = capture::CaptureSuspendedProcess(child.process(), folder);
    std::printf("capture helper (%d-bit) on a %d-bit target: %s\n", inject_test::kCallerBits, attempt.bits,
                capture::DescribeCaptureAttempt(attempt).c_str());
    if (attempt.outcome != capture::CaptureOutcome::Captured)
        return kHelperNotCaptured + static_cast<int>(attempt.outcome);
    return static_cast<int>(child.ResumeAndWait());
}

} // namespace

int main(int argc, char** argv) {
    // A mark inherited from whoever started the tests would pass for the payload's.
    ::SetEnvironmentVariableW(inject_fixture::kPayloadMark, nullptr);
    if (argc == 3 && std::strcmp(argv[1], kCaptureHelperMode) == 0)
        return CaptureInFolder(inject_test::Widen(argv[2]));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
