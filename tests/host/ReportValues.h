// orvane-track run to a JSON report, and the registry part of that report held against the values
// a test expects.
#pragma once

#include "tests/host/HostTestSupport.h"
#include "tests/host/MiniJson.h"
#include "tests/host/SampleExpectations.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace host_tests {

struct TrackedRun {
    ProcessResult process;
    bool parsed = false; // the JSON report exists and is valid
    json::Value report;
};

// Runs `tracker` (a path to orvane-track.exe) as "--json JSONPATH OPTIONS -- SETUP", SETUP being a
// command line, and reads the report back.
TrackedRun TrackToJson(const std::string& tracker, const std::string& jsonPath, const std::string& options,
                       const std::string& setup, DWORD timeoutMs = 300000);

// A value as the report should name it: its path, type and bytes. The root, key and name stay
// empty: the test does not read the value back itself.
ExpectedValue ReportedAs(const std::string& path, DWORD type, const std::string& bytes);

// The bytes of a string as the library reads it back (ANSI, with its terminating NUL), of a
// REG_MULTI_SZ value holding `strings`, of a REG_DWORD.
std::string StringBytes(const std::string& text);
std::string MultiStringBytes(const std::vector<std::string>& strings);
std::string DwordBytes(DWORD number);

// Whether the report's "registry" array holds exactly `expected`: the same paths (the registry
// ignores letter case), each with the same type and bytes. With `within`, only the values below
// those keys (paths ending in a backslash) are compared and the rest is left alone. The message
// names every missing, unexpected and different value.
::testing::AssertionResult ReportsExactly(const json::Value& report,
                                          const std::vector<ExpectedValue>& expected,
                                          const std::vector<std::string>& within = {});
// Whether every value of `expected` is in the report's "registry" array with its type and bytes,
// whatever else is there.
::testing::AssertionResult ReportsAll(const json::Value& report, const std::vector<ExpectedValue>& expected);

// Whether the live registry holds every value of `expected` (read through its root, key and name)
// with its type and bytes; the message names each that is missing or different.
::testing::AssertionResult RegistryHolds(const std::vector<ExpectedValue>& expected);

// The paths of the report's "registry" and "eliminatedRegistry" values below `key`.
std::vector<std::string> ReportedBelow(const json::Value& report, const std::string& key);

// Every entry of the report's "registryCaptureIncomplete" array, one line each; empty when the
// capture saw every process.
std::string CaptureGaps(const json::Value& report);

// True when `path` lies below `key` (a key path ending in a backslash), ignoring letter case.
bool IsBelow(const std::string& path, const std::string& key);

// Whether the running Windows is 64-bit, and the physical key below HKLM that a writer of the given
// bitness reaches when it names HKLM\Software\<key>.
bool WindowsIs64Bit();
std::string MachineSoftwareKey(const std::string& key, bool thirtyTwoBitWriter);

// Removes a key with everything below it, as both a 32-bit and a 64-bit program see it.
void RemoveKey(HKEY root, const std::string& subKey);

} // namespace host_tests
