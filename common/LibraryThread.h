// A thread of the library. While it runs it holds a reference on the module its code lives in, and
// it ends through FreeLibraryAndExitThread: a host that unloads the library while such a thread
// still runs (a recorder it never stopped) leaves the library mapped until the thread is done,
// instead of having the thread run on in unmapped code. The body runs behind a noexcept trampoline
// that catches everything, so no exception ends the process from a library thread.
//
// Threading: Start, StopAndJoin and the views are called by the thread that owns the object, or
// under the owner's lock. The body never touches the LibraryThread object.
#pragma once

#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <cstdint>
#include <utility>

class LibraryThread {
public:
    // The signature of _beginthreadex, so that a caller's seam can stand in for it.
    using BeginThread = uintptr_t (*)(void* security, unsigned stackSize, unsigned(__stdcall* start)(void*),
                                      void* argument, unsigned flags, unsigned* threadId);
    using Body = void (*)(void* context);
    // Asks the thread to end; answers whether the request was delivered.
    using StopRequest = bool (*)(void* context);

    LibraryThread() = default;
    ~LibraryThread() = default;
    LibraryThread(LibraryThread&& other) noexcept
        : handle_(std::move(other.handle_)), id_(std::exchange(other.id_, 0)) {}
    LibraryThread& operator=(LibraryThread&& other) noexcept {
        handle_ = std::move(other.handle_);
        id_ = std::exchange(other.id_, 0);
        return *this;
    }
    LibraryThread(const LibraryThread&) = delete;
    LibraryThread& operator=(const LibraryThread&) = delete;

    // Starts `body(context)`. False when no thread was made; the last error tells why (0 when the
    // starter left none).
    bool Start(Body body, void* context, BeginThread begin = DefaultBeginThread());

    // Sends the stop request until one is delivered (at every slice again when `repeat`), and waits
    // in slices of `sliceMs` for the thread to end; then forgets it. Called on the thread itself,
    // it only forgets: a thread cannot wait for its own end.
    void StopAndJoin(StopRequest stop, void* context, DWORD sliceMs, bool repeat);

    // Forgets the thread without waiting for it (it ends on its own and unloads nothing early).
    void Detach() {
        handle_.reset();
        id_ = 0;
    }

    bool running() const { return handle_.valid(); }
    HANDLE handle() const { return handle_.get(); }
    DWORD id() const { return id_; }
    bool IsCurrentThread() const { return id_ != 0 && id_ == ::GetCurrentThreadId(); }

    static BeginThread DefaultBeginThread();

private:
    UniqueHandle handle_;
    DWORD id_ = 0;
};
