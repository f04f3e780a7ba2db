// What the tracking tests share: the system folders the library watches, looked up independently of
// the library, and a tracking session driven through the exported interface as a host drives it.
#pragma once

#include "include/IOrvaneInc.h"
#include "tests/support/TestSupport.h"

#include <string>

namespace recorder_tests {

// The program-files folder and the common desktop, as the shell names them.
std::string ProgramFilesFolder();
std::string CommonDesktopFolder();

// A recorder made through the exported factory, destroyed through the exported destroyer.
class Recorder {
public:
    Recorder();
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    IOrvaneInc* operator->() const { return object_; }
    IOrvaneInc* get() const { return object_; }

    bool Has(const std::string& path) const { return object_->GetFileChanges().count(path) != 0; }

    // Dispatches messages until `path` is among the added files (unsettled, during tracking).
    bool WaitUntilSeen(const std::string& path, DWORD timeoutMs = 20000) const;

private:
    IOrvaneInc* object_;
};

// A folder created below a watched folder while tracking runs, removed with its contents at the end.
using test_support::TempDir;

// Creates a file and lets tracking see it, so that everything done before it in the same folder has
// been delivered too.
void CreateAndAwait(const Recorder& recorder, const std::string& path);

} // namespace recorder_tests
