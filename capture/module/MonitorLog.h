// The registry monitor's log, as a captured process writes to it: one line per operation, in the
// log's hands before the operation returns to the program, so that a process killed right after a
// write has already logged it. A line goes into the tracker's shared ring (CaptureRing.h) where
// there is one and it has room, else straight to the driver's device.
#pragma once

#include "common/Win32.h"

#include <string>

namespace capture {

enum class AppendResult {
    Appended,
    NotInAnsi, // the line holds a character the ANSI code page cannot hold: it would name another key
    TooLong,   // longer in ANSI than the log takes
    NoDevice,  // the driver's device cannot be opened
    Refused,   // the driver refused the line (capture off, log full)
};

class MonitorLog {
public:
    MonitorLog() = default;
    ~MonitorLog();
    MonitorLog(const MonitorLog&) = delete;
    MonitorLog& operator=(const MonitorLog&) = delete;

    // Maps the ring the environment names, if any; called once, before any Append.
    void AttachRing();

    // Converts `line` (UTF-16) to the ANSI code page, as the library reads it, and appends it. Any
    // thread; the device is opened by the first call that needs it.
    AppendResult Append(const wchar_t* line, size_t length);

    // Whether the driver logs every process's registry writes itself, with its kernel callback:
    // then this process announces nothing, or each write would be logged twice (the driver refuses
    // announced lines then anyway). Asks the driver once; a driver that cannot be asked, or that
    // predates the question, logs only what is announced.
    bool DriverLogsEveryProcess();

    // Where the driver logs every process: has it name this process "image:pid" in its lines, as
    // the capture's own lines do, so that the library does not leave its writes out for bearing a
    // system program's name. False when the driver cannot do it (one that predates the request).
    bool MarkTreeProcess();

    // The error of the last failed device open, for a report.
    DWORD openError() const { return openError_; }

private:
    HANDLE Device();

    HANDLE device_ = nullptr; // INVALID_HANDLE_VALUE once opening failed for good
    void* ring_ = nullptr;    // mapped for the rest of the process: writers may be at work until it ends
    DWORD openError_ = 0;
};

} // namespace capture
