// reactos_bounded_run SECONDS COMMAND [ARGUMENTS...]
//
// Runs a command of the reactos lane's guest script with a bound: when the command has not ended
// within SECONDS it is ended, so that one part that hangs costs the lane its bound, not the rest of
// the boot. Only the command itself is ended: it runs in no job, since the tracker puts its setup
// into a job of its own, which XP and 2003 refuse for a process that is already in one. The command
// inherits the standard handles (the script's redirection). Exit status: the command's own, 124 when
// it was ended at the bound (a line on standard error says so), 125 when it could not be started.
#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kBoundExceeded = 124;
constexpr DWORD kNotStarted = 125;

// The command line after the program's name and the bound, exactly as given.
const wchar_t* CommandAfterBound(const wchar_t* line) {
    for (int field = 0; field < 2; ++field) {
        while (*line == L' ' || *line == L'\t')
            ++line;
        bool quoted = false;
        while (*line != L'\0' && (quoted || (*line != L' ' && *line != L'\t'))) {
            if (*line == L'"')
                quoted = !quoted;
            ++line;
        }
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

} // namespace

int main(int argc, char** argv) {
    const long seconds = argc >= 3 ? std::strtol(argv[1], nullptr, 10) : 0;
    std::wstring command = CommandAfterBound(::GetCommandLineW());
    if (seconds <= 0 || command.empty()) {
        std::fprintf(stderr, "usage: reactos_bounded_run SECONDS COMMAND [ARGUMENTS...]\n");
        return int(kNotStarted);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &process)) {
        std::fprintf(stderr, "reactos_bounded_run: cannot start the command: error %lu\n", ::GetLastError());
        return int(kNotStarted);
    }
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    if (::WaitForSingleObject(processHandle.get(), DWORD(seconds) * 1000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "reactos_bounded_run: the command did not end within %ld s and was ended\n",
                     seconds);
        std::fflush(stderr);
        ::TerminateProcess(processHandle.get(), kBoundExceeded);
        ::WaitForSingleObject(processHandle.get(), 10000);
        return int(kBoundExceeded);
    }
    DWORD status = kNotStarted;
    ::GetExitCodeProcess(processHandle.get(), &status);
    return int(status);
}
