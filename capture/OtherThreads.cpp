#include "capture/OtherThreads.h"

#include <tlhelp32.h>

#include <utility>

namespace capture {
namespace {

constexpr DWORD kThreadAccess =
    THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT | THREAD_QUERY_LIMITED_INFORMATION;

// The ids of the process's other threads, or false when they cannot be listed.
bool ListOtherThreads(std::vector<DWORD>& ids) {
    const DWORD process = ::GetCurrentProcessId();
    const DWORD self = ::GetCurrentThreadId();
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot.valid())
        return false;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
         more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == process && entry.th32ThreadID != self)
            ids.push_back(entry.th32ThreadID);
    }
    return true;
}

bool HasEnded(HANDLE thread) {
    DWORD exitCode = 0;
    return ::GetExitCodeThread(thread, &exitCode) && exitCode != STILL_ACTIVE;
}

#if defined(_WIN64)
DWORD64& InstructionPointer(CONTEXT& context) {
    return context.Rip;
}
#else
DWORD& InstructionPointer(CONTEXT& context) {
    return context.Eip;
}
#endif

} // namespace

OtherThreadsSuspended::OtherThreadsSuspended() noexcept {
    try {
        if (!ListOtherThreads(ids_))
            return;
        suspended_.reserve(ids_.size());
    } catch (...) {
        return;
    }
    // From here until every thread is resumed, nothing allocates: the reserve above holds all handles.
    complete_ = true;
    for (DWORD id : ids_) {
        UniqueHandle thread(::OpenThread(kThreadAccess, FALSE, id));
        if (!thread.valid()) {
            const DWORD error = ::GetLastError();
            complete_ = complete_ && error == ERROR_INVALID_PARAMETER; // the thread has ended meanwhile
            continue;
        }
        if (::SuspendThread(thread.get()) == DWORD(-1)) {
            complete_ = complete_ && HasEnded(thread.get());
            continue;
        }
        suspended_.push_back(std::move(thread));
    }
}

OtherThreadsSuspended::~OtherThreadsSuspended() {
    for (const UniqueHandle& thread : suspended_)
        ::ResumeThread(thread.get());
}

bool OtherThreadsSuspended::MoveThreadsStandingIn(const uint8_t* begin, const uint8_t* end,
                                                  const uint8_t* to) noexcept {
    bool allRead = true;
    for (const UniqueHandle& thread : suspended_) {
        alignas(16) CONTEXT context = {};
        context.ContextFlags = CONTEXT_CONTROL;
        if (!::GetThreadContext(thread.get(), &context)) {
            allRead = false;
            continue;
        }
        const uintptr_t at = uintptr_t(InstructionPointer(context));
        const uintptr_t start = reinterpret_cast<uintptr_t>(begin);
        if (at < start || at >= reinterpret_cast<uintptr_t>(end))
            continue;
        InstructionPointer(context) = reinterpret_cast<uintptr_t>(to) + (at - start);
        allRead = ::SetThreadContext(thread.get(), &context) != FALSE && allRead;
    }
    return allRead;
}

} // namespace capture
