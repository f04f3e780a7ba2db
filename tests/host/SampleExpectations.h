// What orvane-sample-setup installs, written out independently of its code: the files with their
// contents and the registry values with their types and bytes.
#pragma once

#include "common/Win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace host_tests {

struct ExpectedFile {
    std::string path;
    std::string contents;
};

struct ExpectedValue {
    std::string path; // as the library records it: "HKLM\Software\OrvaneSample\Build"
    HKEY root;
    std::string subKey;
    std::string name;
    DWORD type;
    std::string bytes;
    // The registry view the test reads subKey in: 0 for its own, KEY_WOW64_64KEY for a 64-bit
    // writer's keys seen from a 32-bit test on 64-bit Windows.
    REGSAM view = 0;
};

// Where one build of the sample puts what it installs, as the test process names it.
struct SampleSite {
    std::string programFiles; // the folder it installs below
    std::string machineKey;   // the physical key below HKLM that its values land in, as reported
    REGSAM view = 0;          // the view in which "Software\OrvaneSample" reaches that key
};

// The sample of the test's own bitness.
SampleSite OwnSample();
// The 64-bit sample of the peer build, seen from a 32-bit test on 64-bit Windows (WoW64): it
// installs into the native program-files folder and writes the 64-bit HKLM\Software.
SampleSite NativeSampleUnderWow64();

std::string SampleFolder(const SampleSite& site = OwnSample());

// The files the sample leaves that a packaging engineer wants, and the one that is noise.
std::vector<ExpectedFile> SampleProductFiles(const SampleSite& site = OwnSample());
std::vector<ExpectedFile> SampleNoiseFiles(const SampleSite& site = OwnSample());
// Files and folders that exist only while it runs.
std::vector<std::string> SampleTransientPaths();

std::vector<ExpectedValue> SampleValues(const SampleSite& site = OwnSample());
// The temporary key the setup creates and deletes, below HKEY_LOCAL_MACHINE.
const char* SampleTemporaryKey();
const char* SampleKeyBelowRoot();

} // namespace host_tests
