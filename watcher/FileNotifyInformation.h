// The walk over the FILE_NOTIFY_INFORMATION records of one completed read, and the buffer's
// preparation for the next read.
#pragma once

#include "common/Win32.h"
#include "watcher/DebugNameWriter.h"

#include <string>

// Each watch's notification buffer. 64 KiB rather than one page: a burst of thousands of files
// overflows a 4,096-byte buffer and the system then drops the pending records. 64 KiB is also the
// largest read that network shares accept.
inline constexpr DWORD kNotificationBufferSize = 64 * 1024;

// Walks the FILE_NOTIFY_INFORMATION records that one read left in a buffer. Owns nothing. Every
// read stays inside [buffer, buffer + size): records are not trusted to be well formed.
class CFileNotifyInformation {
public:
    // `size` is the number of valid bytes: the records carried from the previous read plus what
    // this read wrote, never more than the buffer holds. Every name taken from a record is also
    // written to the debugger output: through `debugNames` when given, else at once.
    CFileNotifyInformation(BYTE* buffer, DWORD size, DebugNameWriter* debugNames = nullptr);

    BOOL MoveToNextRecord();
    DWORD GetCurrentAction() const;
    std::string GetCurrentFileName() const;
    std::string GetCurrentFilePath(const std::string& directory) const;
    // Moves the current record (an old name whose new name did not come in this read) to the buffer
    // start, as the last record there, with its name cut to 260 units; keepBytes receives its size.
    BOOL CopyCurrentRecordToBeginningOfBuffer(DWORD& keepBytes);

private:
    BYTE* bufferStart_;
    DWORD bufferSize_;
    BYTE* current_;
    DebugNameWriter* debugNames_;
};

// Whether the last character of a narrow path is a backslash, with double-byte characters read as
// wholes (the trail byte of one may equal '\').
bool EndsWithBackslash(const std::string& path);

// Prepares the buffer for the next read after a walk that carried `keepBytes` bytes of an unpaired
// old-name record to the buffer start: links the carried record to the position where the next
// read's records will begin and returns that position, DWORD-aligned as ReadDirectoryChangesW
// requires (0 when nothing was carried).
DWORD PrepareNextRead(BYTE* buffer, DWORD bufferSize, DWORD keepBytes);
