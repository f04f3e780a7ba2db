// Helpers of the programs the ReactOS lane runs inside its guest, a real NT kernel at the Windows
// Server 2003 level. The guest's loader refuses a program that imports anything XP/2003 lacks, so
// these helpers use only what both export (the Wine suites' helpers reach for Vista's registry and
// shell calls, and are not linked here).
//
// Threading: none of their own. A ScratchKey and a GuestDevice belong to the thread that made them.
#pragma once

#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "driver/RegmonProtocol.h"

#include <string>
#include <utility>
#include <vector>

namespace guest {

// The ANSI form of a UTF-16 text, as the driver writes names into its log.
std::string Ansi(const std::wstring& text);

// One line of the driver's log, split at its tabs.
struct LogLine {
    std::string text;
    std::string process;
    std::string operation;
    std::string path;
    std::string result;
    std::string detail;
};

// False unless the text holds exactly five tab-separated fields.
bool SplitLogLine(const std::string& text, LogLine& line);

// Removes a key and every key below it (RegDeleteTree is Vista's).
void DeleteTree(HKEY root, const std::wstring& subKey);

// A fresh key below <root>\<parent>, removed with everything below it at destruction.
class ScratchKey {
public:
    // `rootName` is the root as the log names it ("HKCU", "HKLM").
    ScratchKey(HKEY root, const char* rootName, const std::string& tag,
               const std::wstring& parent = L"Software\\OrvaneGuest");
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    HKEY root() const { return root_; }
    // "<parent>\<tag>-<pid>-<n>", and below it.
    const std::wstring& subKey() const { return subKey_; }
    std::wstring Below(const std::wstring& child) const {
        return child.empty() ? subKey_ : subKey_ + L"\\" + child;
    }
    // The log's path of a value or key below this one, "<rootName>\<subKey>\<below>".
    std::string LogPath(const std::wstring& below) const;
    // Creates (or opens) the key `child` below this one with full access; throws when it cannot.
    UniqueKey Create(const std::wstring& child) const;

private:
    HKEY root_;
    std::string rootName_;
    std::wstring parent_;
    std::wstring subKey_;
};

// A handle of the test's own on the driver's device, beside the monitor's.
class GuestDevice {
public:
    // Opens \\.\REGMON.
    GuestDevice();
    // Takes a handle the library's driver control opened.
    explicit GuestDevice(UniqueFile handle) : handle_(std::move(handle)) {}
    bool valid() const { return handle_.valid(); }
    bool Control(DWORD code, const void* input, DWORD inputSize, void* output = nullptr,
                 DWORD outputSize = 0);
    // Reads and walks the log (or with IOCTL_READ_WRITER_LINES, the writer lines) until it is
    // empty; the texts in order.
    std::vector<std::string> TakeAll(DWORD readCode = IOCTL_READ_LOG);
    // False when the query failed (the state then is zeroed).
    bool State(REGMON_CAPTURE_STATE& state);
    DWORD lastError() const { return lastError_; }
    void Close() { handle_.reset(); }

private:
    UniqueFile handle_;
    DWORD lastError_ = 0;
    DWORD bytesReturned_ = 0;
};

// Whether the service manager knows the driver's service.
bool ServiceExists();

// The counts of a capture state, one "name=value" each, for messages.
std::string DescribeCounts(const REGMON_CAPTURE_STATE& state);

// The file name of this program, as the driver's log names a process.
std::string ThisImageName();

// Prints one line on standard output and sends it to the debugger, which the lane's kernel writes
// to its serial log: a line there survives a stop of the whole machine.
void Report(const std::string& text);

} // namespace guest
