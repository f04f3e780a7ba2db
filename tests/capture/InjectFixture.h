// What the injection test fixtures and their tests agree on. The payload DLL (InjectFixturePayload.cpp)
// leaves a mark in its process's environment when its DllMain runs; the target program
// (InjectFixtureTarget.cpp) looks for the mark before any code of its own has run, and tells by its exit
// code whether it was there.
#pragma once

#include "common/Win32.h"

namespace inject_fixture {

constexpr wchar_t kPayloadMark[] = L"ORVANE_INJECT_FIXTURE_PAYLOAD";

// Set in a target's environment, the target waits to be ended instead (a stand-in injector that hangs).
constexpr wchar_t kStallVariable[] = L"ORVANE_INJECT_FIXTURE_STALL";
constexpr unsigned long kStallMs = 60000;

// "--hold <prefix>": the target sets the event <prefix>-running once its main runs, then waits for the
// event <prefix>-release (at most kStallMs) before it ends as usual.
constexpr char kHoldMode[] = "--hold";

// The target's exit codes.
constexpr int kPayloadAbsent = 20;      // its own code ran first
constexpr int kPayloadBeforeStart = 21; // the payload's DllMain had run before its first code
constexpr int kHoldFailed = 22;         // the hold events were missing or never released
constexpr int kStalled = 23;            // it was not ended while it stalled

// An IL-only .NET runtime header the target carries in its read-only data, unused by it: a test points a
// copy's COM-descriptor entry at it. The resources entry is a marker that finds it in the file.
constexpr IMAGE_COR20_HEADER kIlOnlyRuntimeHeader = {sizeof(IMAGE_COR20_HEADER),
                                                     2,
                                                     5,
                                                     {0, 0},
                                                     COMIMAGE_FLAGS_ILONLY,
                                                     {0x06000001},
                                                     {0x4f52564e, 0x494c4f4e},
                                                     {0, 0},
                                                     {0, 0},
                                                     {0, 0},
                                                     {0, 0},
                                                     {0, 0}};

} // namespace inject_fixture
