#include "host/track/run/SetupProcess.h"

namespace track {

namespace {

// An inheritable copy of one of the tracker's standard handles; empty when there is none.
UniqueHandle InheritableCopy(DWORD which) {
    HANDLE handle = ::GetStdHandle(which);
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS))
        return UniqueHandle();
    return UniqueHandle(copy);
}

} // namespace

bool SetupProcess::StartSuspended(const std::string& commandLine, DWORD& error) {
    std::string mutableLine = commandLine;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    // The setup writes to the tracker's standard error: standard output carries only the report.
    UniqueHandle output = InheritableCopy(STD_ERROR_HANDLE);
    UniqueHandle input = InheritableCopy(STD_INPUT_HANDLE);
    BOOL inherit = FALSE;
    if (output) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input.get();
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
        inherit = TRUE;
    }
    PROCESS_INFORMATION info{};
    if (!::CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, inherit, CREATE_SUSPENDED, nullptr,
                          nullptr, &startup, &info)) {
        error = ::GetLastError();
        return false;
    }
    if (info.hProcess == nullptr) {
        // Wine runs a Linux program without making a Windows process: there is nothing to track or
        // wait for, and the rest of `info` is what Wine's stack held, not handles of ours to close.
        error = ERROR_BAD_EXE_FORMAT;
        return false;
    }
    process_.reset(info.hProcess);
    thread_.reset(info.hThread);
    job_.reset(::CreateJobObjectA(nullptr, nullptr));
    if (job_ && !::AssignProcessToJobObject(job_.get(), process_.get()))
        job_.reset();
    return true;
}

void SetupProcess::Resume() {
    if (thread_)
        ::ResumeThread(thread_.get());
    thread_.reset();
}

bool SetupProcess::ProcessEnded() const {
    return !process_ || ::WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
}

bool SetupProcess::Finished() const {
    if (!ProcessEnded())
        return false;
    if (!job_)
        return true;
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!::QueryInformationJobObject(job_.get(), JobObjectBasicAccountingInformation, &accounting,
                                     sizeof accounting, nullptr))
        return true; // the job cannot tell; the setup's own process has ended
    return accounting.ActiveProcesses == 0;
}

HANDLE SetupProcess::WaitHandle() const {
    return ProcessEnded() ? nullptr : process_.get();
}

DWORD SetupProcess::ExitCode() const {
    DWORD code = 0;
    if (!process_ || !::GetExitCodeProcess(process_.get(), &code))
        return 1;
    return code;
}

} // namespace track
