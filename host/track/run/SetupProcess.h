// The tracked setup: started suspended, put into a job object so that the processes it starts
// are followed too, then resumed. "Finished" means the job has no process left; where the system
// refuses the job (an older Windows that nests no jobs), the setup's own process is followed.
#pragma once

#include "common/UniqueHandle.h"

#include <string>

namespace track {

class SetupProcess {
public:
    // Starts `commandLine` suspended, its output sent to the tracker's standard error. False with
    // the system's error code when it cannot be started.
    bool StartSuspended(const std::string& commandLine, DWORD& error);
    void Resume();

    // The setup's own process, for loading the capture into it before it runs.
    HANDLE Process() const { return process_.get(); }

    // True once the setup and every process of its job have ended.
    bool Finished() const;
    // The handle to wait on while the setup's own process runs; null once it has ended, after
    // which only the job's other processes are left to poll.
    HANDLE WaitHandle() const;

    // The setup's exit code; valid once its own process has ended.
    DWORD ExitCode() const;

private:
    bool ProcessEnded() const;

    UniqueHandle process_;
    UniqueHandle thread_;
    UniqueHandle job_;
};

} // namespace track
