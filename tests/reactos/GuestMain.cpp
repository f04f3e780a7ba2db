// The main of the guest's test programs: gtest's own, plus a line to the debugger as each case
// starts and ends, so that the lane's serial log shows how far a run got even when the whole machine
// stops in the middle of a case.
#include "tests/reactos/GuestSupport.h"

#include <gtest/gtest.h>

namespace {

class ProgressToDebugger : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& info) override {
        ::OutputDebugStringA(
            (std::string("guest-case: start ") + info.test_suite_name() + "." + info.name() + "\n").c_str());
    }
    void OnTestEnd(const testing::TestInfo& info) override {
        const bool passed = info.result() != nullptr && info.result()->Passed();
        const long long ms =
            info.result() != nullptr ? static_cast<long long>(info.result()->elapsed_time()) : 0;
        ::OutputDebugStringA((std::string("guest-case: ") + (passed ? "passed " : "FAILED ") +
                              info.test_suite_name() + "." + info.name() + " (" + std::to_string(ms) +
                              " ms)\n")
                                 .c_str());
    }
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new ProgressToDebugger);
    return RUN_ALL_TESTS();
}
