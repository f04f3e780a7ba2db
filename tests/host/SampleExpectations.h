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
};

std::string SampleFolder();

// The files the sample leaves that a packaging engineer wants, and the one that is noise.
std::vector<ExpectedFile> SampleProductFiles();
std::vector<ExpectedFile> SampleNoiseFiles();
// Files and folders that exist only while it runs.
std::vector<std::string> SampleTransientPaths();

std::vector<ExpectedValue> SampleValues();
// The temporary key the setup creates and deletes, below HKEY_LOCAL_MACHINE.
const char* SampleTemporaryKey();
const char* SampleKeyBelowRoot();

} // namespace host_tests
