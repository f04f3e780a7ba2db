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

bool NtCalls::HasOldStateCalls() const {
    return deleteValueKey != nullptr && createKey != nullptr && openKey != nullptr &&
           queryValueKey != nullptr && enumerateKey != nullptr && enumerateValueKey != nullptr;
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
    Find(ntdll, "NtDeleteValueKey", calls.deleteValueKey);
    Find(ntdll, "NtCreateKey", calls.createKey);
    Find(ntdll, "NtOpenKey", calls.openKey);
    Find(ntdll, "NtQueryValueKey", calls.queryValueKey);
    Find(ntdll, "NtEnumerateKey", calls.enumerateKey);
    Find(ntdll, "NtEnumerateValueKey", calls.enumerateValueKey);
    return calls;
}

} // namespace capture
