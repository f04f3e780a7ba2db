// What a captured process tells the tracker besides the log: a process it could not capture, or a
// value it could not log. One mailslot message each, UTF-8, four tab-separated fields:
//   incomplete <tab> pid <tab> image name <tab> reason
//   unrecorded <tab> pid <tab> image name <tab> the value's path
//   oldstate <tab> pid <tab> image name <tab> what of the old state cannot be kept, and why
// The tracker names the mailslot in the environment variable ORVANE_CAPTURE_CHANNEL, which the
// setup's processes inherit. Without it (a process started with an environment of its own) nothing
// is sent; the capture itself goes on.
#pragma once

#include "common/Win32.h"

#include <string>

namespace capture {

constexpr const wchar_t* kChannelVariable = L"ORVANE_CAPTURE_CHANNEL";
constexpr const char* kIncompleteKind = "incomplete";
constexpr const char* kUnrecordedKind = "unrecorded";
// What of the old state of the process's changes cannot be kept; its registry log is whole.
constexpr const char* kOldStateKind = "oldstate";

class CaptureChannel {
public:
    // Reads the mailslot's name from the environment.
    static CaptureChannel FromEnvironment();

    bool connected() const { return !name_.empty(); }

    // Sends one message; a channel that is gone loses it, and the caller never learns of it.
    void Send(const char* kind, DWORD processId, const std::wstring& image, const std::wstring& text) const;

private:
    std::wstring name_;
};

// The last component of a path ("C:\x\setup.exe" -> "setup.exe").
std::wstring FileNameOf(const std::wstring& path);

// UTF-16 to UTF-8, unpaired surrogates as U+FFFD.
std::string ToUtf8(const std::wstring& text);

} // namespace capture
