#include "tests/host/PeerBuild.h"

#include "tests/host/HostTestSupport.h"
#include "tests/host/ReportValues.h"
#include "tests/support/TestSupport.h"

namespace host_tests {

int OwnBits() {
    return static_cast<int>(sizeof(void*) * 8);
}

int OtherBits() {
    return 96 - OwnBits();
}

std::string PeerBinFolder() {
    return WindowsPath(ORVANE_PEER_BIN);
}

std::string WhyNoOtherBitness(const std::string& peerProgram) {
    if (!WindowsIs64Bit())
        return "32-bit Windows runs no 64-bit program";
    const std::string other = std::to_string(OtherBits());
    for (const std::string& path :
         {PeerBinFolder() + "\\" + peerProgram, BinFolder() + "\\orvane-capture" + other + ".dll",
          BinFolder() + "\\orvane-inject" + other + ".exe"}) {
        if (!test_support::FileExists(path))
            return path + " is missing: build the other architecture too (scripts/build.sh builds both)";
    }
    return test_support::WhyProgramDoesNotStart(PeerBinFolder() + "\\" + peerProgram);
}

std::string WhyNoSixtyFourBitSetupUnderWow64(const std::string& peerProgram) {
    if (OwnBits() != 32 || !WindowsIs64Bit())
        return "a case of the 32-bit tracker on 64-bit Windows (WoW64)";
    return WhyNoOtherBitness(peerProgram);
}

} // namespace host_tests
