// Running the host programs as a user would, with their output captured, and reading files back.
#pragma once

#include "common/Win32.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace host_tests {

struct ProcessResult {
    bool started = false;
    DWORD startError = 0;  // CreateProcess's last error, when it did not start
    bool finished = false; // false when it did not start, or the deadline passed (it was then ended)
    DWORD exitCode = 0;
    std::string out;
    std::string err;
};

// Runs `commandLine` with standard output and error captured in files, waits for it at most
// `timeoutMs`, and ends it when the deadline passes. `environment` entries are set for the child
// only ("NAME" -> "VALUE"; an empty value removes the variable).
ProcessResult RunProcess(const std::string& commandLine, DWORD timeoutMs = 120000,
                         const std::map<std::string, std::string>& environment = {});

std::string ReadWholeFile(const std::string& path);
std::string FolderOf(const std::string& path);
bool CopyInto(const std::string& source, const std::string& folder, const std::string& name = "");

// The folder of the running test program: the build's bin folder, where the host programs are.
std::string BinFolder();

// A Unix path passed by the build (as "Z:/..."), turned into a Windows path.
std::string WindowsPath(const std::string& path);

std::vector<std::string> Lines(const std::string& text);

// The lines of one section of the tracker's text report ("Files added", "Registry values", ...):
// the lines after its heading up to the blank line, with their two-space indent removed.
std::vector<std::string> ReportSection(const std::string& report, const std::string& heading);

// Registry helpers for the tests' own keys.
std::vector<std::uint8_t> Bytes(const std::string& text);
// `view` is 0 for the process's own registry view, or KEY_WOW64_64KEY / KEY_WOW64_32KEY.
bool ReadRegistryValue(HKEY root, const std::string& subKey, const std::string& name, DWORD& type,
                       std::vector<std::uint8_t>& data, REGSAM view = 0);

} // namespace host_tests
