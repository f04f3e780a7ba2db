#include "capture/module/NtCalls.h"

namespace capture {

namespace {

template <typename Function>
void Find(HMODULE ntdll, const char* name, Function*& entry) {
    entry = reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(ntdll, name)));
}

} // namespace

bool NtCalls::HasRegistryCalls() const {
    return setValueKey != nullptr && deleteKey != nullptr && queryKey != nullptr;
}

NtCalls FindNtCalls() {
    NtCalls calls;
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr)
        return calls;
    Find(ntdll, "NtSetValueKey", calls.setValueKey);
    Find(ntdll, "NtDeleteKey", calls.deleteKey);
    Find(ntdll, "NtQueryKey", calls.queryKey);
    Find(ntdll, "NtCreateUserProcess", calls.createUserProcess);
    Find(ntdll, "NtResumeThread", calls.resumeThread);
    Find(ntdll, "NtOpenProcessToken", calls.openProcessToken);
    Find(ntdll, "NtQueryInformationToken", calls.queryInformationToken);
    Find(ntdll, "RtlConvertSidToUnicodeString", calls.convertSidToText);
    return calls;
}

} // namespace capture
