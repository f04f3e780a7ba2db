// A report file named on the command line: created when the run begins, written when it ends.
#pragma once

#include "common/UniqueHandle.h"

#include <string>

namespace track {

class ReportFile {
public:
    // Creates (or empties) the file; on failure `error` says which file and why.
    bool Open(const std::string& path, std::string& error);
    bool Write(const std::string& bytes, std::string& error);
    bool IsOpen() const { return file_.valid(); }

private:
    std::string path_;
    UniqueFile file_;
};

} // namespace track
