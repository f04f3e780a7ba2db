#include "tests/recorder/TrackingSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace recorder_tests {

std::string ProgramFilesFolder() {
    return test_support::KnownFolder(CSIDL_PROGRAM_FILES);
}
std::string CommonDesktopFolder() {
    return test_support::KnownFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
}

Recorder::Recorder() : object_(IOrvaneInc::CreateOrvane(IOrvaneInc::OV_RECORDER)) {
    if (object_ == nullptr)
        throw std::runtime_error("CreateOrvane(OV_RECORDER) returned null");
}

Recorder::~Recorder() {
    IOrvaneInc::DestroyOrvane(&object_);
}

bool Recorder::WaitUntilSeen(const std::string& path, DWORD timeoutMs) const {
    return test_support::PumpMessagesUntil([&] { return Has(path); }, timeoutMs);
}

void CreateAndAwait(const Recorder& recorder, const std::string& path) {
    test_support::WriteTextFile(path, "sentinel");
    ASSERT_TRUE(recorder.WaitUntilSeen(path)) << "tracking never saw " << path;
}

} // namespace recorder_tests
