#include "capture/module/FileNtCalls.h"

#include "capture/module/NtCalls.h"

namespace capture {

FileNtCalls FindFileNtCalls() {
    FileNtCalls calls;
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr)
        return calls;
    FindNtEntry(ntdll, "NtCreateFile", calls.createFile);
    FindNtEntry(ntdll, "NtOpenFile", calls.openFile);
    FindNtEntry(ntdll, "NtSetInformationFile", calls.setInformationFile);
    FindNtEntry(ntdll, "NtDeleteFile", calls.deleteFile);
    return calls;
}

} // namespace capture
