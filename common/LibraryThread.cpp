#include "common/LibraryThread.h"

#include <new>
#include <process.h>

namespace {

struct Launch {
    LibraryThread::Body body;
    void* context;
    HMODULE module;
};

// The module that holds this code: the library when linked into it, the program otherwise.
HMODULE ReferenceOwnModule() {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(reinterpret_cast<const void*>(&ReferenceOwnModule)),
                              &module))
        return nullptr;
    return module;
}

unsigned __stdcall Trampoline(void* parameter) noexcept {
    Launch launch = *static_cast<Launch*>(parameter);
    delete static_cast<Launch*>(parameter);
    try {
        launch.body(launch.context);
    } catch (...) {
        // A library thread ends quietly whatever its body throws.
    }
    // The library may be released by the host already: this reference is what keeps this code
    // mapped, so it is given back by the call that also ends the thread, which never returns here.
    if (launch.module != nullptr)
        ::FreeLibraryAndExitThread(launch.module, 0);
    return 0;
}

} // namespace

LibraryThread::BeginThread LibraryThread::DefaultBeginThread() {
    return &::_beginthreadex;
}

bool LibraryThread::Start(Body body, void* context, BeginThread begin) {
    Launch* launch = new (std::nothrow) Launch{body, context, ReferenceOwnModule()};
    if (launch == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    unsigned id = 0;
    ::SetLastError(0);
    const uintptr_t thread = begin(nullptr, 0, &Trampoline, launch, 0, &id);
    if (thread == 0) {
        const DWORD error = ::GetLastError();
        if (launch->module != nullptr)
            ::FreeLibrary(launch->module);
        delete launch;
        ::SetLastError(error);
        return false;
    }
    handle_.reset(reinterpret_cast<HANDLE>(thread));
    id_ = id;
    return true;
}

void LibraryThread::StopAndJoin(StopRequest stop, void* context, DWORD sliceMs, bool repeat) {
    if (!handle_)
        return;
    if (IsCurrentThread()) {
        stop(context);
        Detach();
        return;
    }
    bool delivered = stop(context);
    while (::WaitForSingleObject(handle_.get(), sliceMs) == WAIT_TIMEOUT) {
        if (repeat || !delivered)
            delivered = stop(context);
    }
    Detach();
}
