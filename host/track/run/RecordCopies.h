// The copies of small files that the capture carried in their records (capture::kCopyInRecord),
// written out into the store's files folder beside the copies the capture made there itself, so
// that the reports and the undo find every kept copy as a file of the store. Names:
// "r-<group>\r-<n>", 256 to a folder. Not thread-safe: the session's thread only.
#pragma once

#include "capture/OldState.h"
#include "common/UniqueHandle.h"

#include <string>

namespace track {

class RecordCopies {
public:
    // `keptFolder`: the store's files folder.
    explicit RecordCopies(std::wstring keptFolder);

    // For a File record that carries its copy: writes the copy out and names it in the record. Where
    // it cannot, the record names no copy and its reason says why. The record's data is emptied.
    // Any other record is left as it is.
    void WriteOut(capture::OldStateRecord& record);

private:
    // A new, empty file for the next copy, its name below the files folder in `name`; an invalid
    // handle and `error` when none can be made.
    UniqueFile Create(std::wstring& name, DWORD& error);

    std::wstring folder_;
    unsigned next_ = 0;
};

} // namespace track
