// The other architecture's build tree, for the cases that cross bitness on 64-bit Windows: a setup
// or child of the other bitness, and the capture files the tracker needs for it.
#pragma once

#include <string>

namespace host_tests {

int OwnBits();
int OtherBits();

// The peer build's bin folder as the build passes it (ORVANE_PEER_BUILD_DIR), as a Windows path.
std::string PeerBinFolder();

// Why a program of the other bitness cannot be tracked by this build's orvane-track here, or empty
// when it can: 32-bit Windows runs no 64-bit program, and the program (`peerProgram`, a file of the
// peer build) and the other bitness's capture DLL and injector beside orvane-track.exe must exist.
std::string WhyNoOtherBitness(const std::string& peerProgram);

// Why `peerProgram`, a 64-bit program of the peer build, cannot be tracked here by this build's
// 32-bit orvane-track on 64-bit Windows (WoW64), or empty when it can.
std::string WhyNoSixtyFourBitSetupUnderWow64(const std::string& peerProgram);

} // namespace host_tests
