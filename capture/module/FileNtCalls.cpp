#include "capture/module/FileNtCalls.h"

namespace capture {

namespace {

template <typename Function>
void Find(HMODULE ntdll, const char* name, Function*& entry) {
    entry = reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(ntdll, name)));
}

} // namespace

FileNtCalls FindFileNtCalls() {
    FileNtCalls calls;
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr)
        return calls;
    Find(ntdll, "NtCreateFile", calls.createFile);
    Find(ntdll, "NtOpenFile", calls.openFile);
    Find(ntdll, "NtSetInformationFile", calls.setInformationFile);
    Find(ntdll, "NtDeleteFile", calls.deleteFile);
    return calls;
}

} // namespace capture
