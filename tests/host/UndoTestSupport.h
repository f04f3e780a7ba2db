// Helpers of the undo tests: a registry key of the test's own below HKCU, values written and read
// with their exact bytes, files with a given write time, and orvane-track --undo run on a plan.
#pragma once

#include "host/track/result/UndoItems.h"
#include "tests/host/HostTestSupport.h"

#include "common/Win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace undo_tests {

// UTF-16 bytes of `text`, with its terminating NUL unless `terminated` is false.
std::vector<std::uint8_t> WideBytes(const std::wstring& text, bool terminated = true);

// Writes exactly `data` (RegSetValueExW would add a NUL to string data that leaves one out).
bool SetExact(HKEY root, const std::string& subKey, const std::wstring& name, const track::ValueData& data,
              REGSAM view = KEY_WOW64_64KEY);
// The value as the registry holds it; false when it is not there.
bool GetExact(HKEY root, const std::string& subKey, const std::wstring& name, track::ValueData& data,
              REGSAM view = KEY_WOW64_64KEY);
bool KeyExists(HKEY root, const std::string& subKey, REGSAM view = KEY_WOW64_64KEY);

// A FILETIME from the plan's text form.
std::uint64_t Time(const char* text);
bool WriteFileWithTime(const std::wstring& path, const std::string& content, std::uint64_t writeTime);
// Size, write time and attributes; `exists` false when there is nothing at `path`.
track::FileFacts FactsOf(const std::wstring& path);
std::string ContentOf(const std::wstring& path);

// A whole plan: header, the items, the end line.
std::string PlanText(const std::vector<track::UndoItem>& items);

// orvane-track.exe of this build run with --undo on `planPath`.
host_tests::ProcessResult RunUndo(const std::string& planPath);

} // namespace undo_tests
