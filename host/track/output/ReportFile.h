// A report file named on the command line: claimed when the run begins, written when it ends, and
// whole or absent. The bytes go to a temporary file beside the target, which replaces the target
// only once it is complete, so a reader never sees half a report and a run that ends early (the
// setup cannot be started, the tracker fails) leaves the target as it was.
#pragma once

#include "common/UniqueHandle.h"

#include <string>

namespace track {

class ReportFile {
public:
    ReportFile() = default;
    ~ReportFile(); // removes the temporary file unless it was renamed into place
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // Refuses a target that is a folder or read-only, then creates the temporary file beside it;
    // on failure `error` says which file and why.
    bool Open(const std::string& path, std::string& error);
    // Writes all bytes to the temporary file, closes it and renames it onto the target.
    bool Write(const std::string& bytes, std::string& error);
    bool IsOpen() const { return file_.valid(); }

    // The name of the temporary file used for `target` ("<target>.<process id>.partial").
    static std::string TemporaryName(const std::string& target);

private:
    void Discard();

    std::string path_;
    std::string temporary_;
    UniqueFile file_;
};

// Writes `bytes` to `path` through a temporary file beside it, as ReportFile does.
bool WriteWholeFile(const std::string& path, const std::string& bytes, std::string& error);

} // namespace track
