// The injector program of this build's bitness, run as a caller of the other bitness runs it, and the
// caller's side of that protocol: the exit code, the time limit, the command line.
#include "capture/inject/CaptureInjection.h"

#include "capture/inject/InjectorProcess.h"
#include "tests/capture/InjectTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using capture::CaptureOutcome;
using capture::InjectionResult;
using capture::InjectorRun;
using capture::RunInjector;
using inject_test::Child;

class InjectorProgram : public ::testing::Test {
protected:
    std::wstring injector = inject_test::InjectorIn(inject_test::BinFolder(), inject_test::kCallerBits);
    std::wstring target = inject_test::TargetIn(inject_test::BinFolder());
    std::wstring payload = inject_test::PayloadIn(inject_test::BinFolder());

    void SetUp() override { ASSERT_TRUE(inject_test::IsFile(injector)) << "the injector program is missing"; }

    DWORD ExitCodeFor(const std::wstring& arguments) {
        Child run(injector, arguments, false);
        return run.started() ? run.Wait() : inject_test::kDidNotEnd;
    }
};

TEST_F(InjectorProgram, InjectsASuspendedProcess) {
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    const InjectorRun run = RunInjector(injector, child.id(), payload, capture::kInjectorWaitMs);
    EXPECT_EQ(CaptureOutcome::Captured, run.outcome);
    EXPECT_EQ(InjectionResult::Injected, run.injection);
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadBeforeStart), child.ResumeAndWait());
}

TEST_F(InjectorProgram, ReportsARefusalByItsResult) {
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    const InjectorRun run =
        RunInjector(injector, child.id(), payload + L".missing", capture::kInjectorWaitMs);
    EXPECT_EQ(CaptureOutcome::Refused, run.outcome);
    EXPECT_EQ(InjectionResult::DllMissing, run.injection);
    EXPECT_EQ(static_cast<DWORD>(inject_fixture::kPayloadAbsent), child.ResumeAndWait());
}

TEST_F(InjectorProgram, AProcessIdOfNoProcessIsUnreadable) {
    EXPECT_EQ(static_cast<DWORD>(InjectionResult::ProcessUnreadable),
              ExitCodeFor(L"0 " + capture::QuoteArgument(payload)));
    EXPECT_EQ(static_cast<DWORD>(InjectionResult::ProcessUnreadable),
              ExitCodeFor(L"4294967292 " + capture::QuoteArgument(payload)));
}

TEST_F(InjectorProgram, WrongArgumentsHaveTheirOwnExitCode) {
    const DWORD usage = static_cast<DWORD>(capture::kInjectorUsageError);
    EXPECT_EQ(usage, ExitCodeFor(L""));
    EXPECT_EQ(usage, ExitCodeFor(L"1234"));
    EXPECT_EQ(usage, ExitCodeFor(L"12x " + capture::QuoteArgument(payload)));
    EXPECT_EQ(usage, ExitCodeFor(L"-5 " + capture::QuoteArgument(payload)));
    EXPECT_EQ(usage, ExitCodeFor(L"99999999999 " + capture::QuoteArgument(payload)));
    EXPECT_EQ(usage, ExitCodeFor(L"1234 \"\""));
    EXPECT_EQ(usage, ExitCodeFor(L"1234 a.dll extra"));
}

TEST_F(InjectorProgram, AnInjectorThatDoesNotEndInTimeIsEndedAndFails) {
    // The fixture target stands in for an injector that hangs: it stalls while the variable is set.
    const inject_test::ScopedVariable stall(inject_fixture::kStallVariable, L"1");
    const DWORD started = ::GetTickCount();
    const InjectorRun run = RunInjector(target, ::GetCurrentProcessId(), payload, 500);
    EXPECT_EQ(CaptureOutcome::InjectorFailed, run.outcome);
    EXPECT_LT(::GetTickCount() - started, 15000u) << "the stand-in should have been ended at once";
}

TEST_F(InjectorProgram, AnExitCodeThatIsNoResultIsAFailure) {
    Child child(target, L"", true);
    ASSERT_TRUE(child.started());
    // The fixture target ends with one of its own codes, none an InjectionResult.
    const InjectorRun run = RunInjector(target, child.id(), payload, capture::kInjectorWaitMs);
    EXPECT_EQ(CaptureOutcome::InjectorFailed, run.outcome);
}

TEST_F(InjectorProgram, AMissingProgramIsAFailure) {
    test_support::TempDir dir("inject");
    const InjectorRun run = RunInjector(inject_test::Widen(dir / "orvane-inject99.exe"),
                                        ::GetCurrentProcessId(), payload, capture::kInjectorWaitMs);
    EXPECT_EQ(CaptureOutcome::InjectorFailed, run.outcome);
}

TEST(InjectorCommandLine, ArgumentsAreQuotedAsTheRuntimeReadsThem) {
    EXPECT_EQ(L"plain", capture::QuoteArgument(L"plain"));
    EXPECT_EQ(L"\"\"", capture::QuoteArgument(L""));
    EXPECT_EQ(L"\"C:\\Program Files\\x.dll\"", capture::QuoteArgument(L"C:\\Program Files\\x.dll"));
    EXPECT_EQ(L"\"C:\\a b\\\\\"", capture::QuoteArgument(L"C:\\a b\\"));
    EXPECT_EQ(L"\"a\\\\\\\"b c\"", capture::QuoteArgument(L"a\\\"b c"));
}

} // namespace
