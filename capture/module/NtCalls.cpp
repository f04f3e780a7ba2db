#include "capture/module/NtCalls.h"

namespace capture {

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
    FindNtEntry(ntdll, "NtSetValueKey", calls.setValueKey);
    FindNtEntry(ntdll, "NtDeleteKey", calls.deleteKey);
    FindNtEntry(ntdll, "NtQueryKey", calls.queryKey);
    FindNtEntry(ntdll, "NtCreateUserProcess", calls.createUserProcess);
    FindNtEntry(ntdll, "NtResumeThread", calls.resumeThread);
    FindNtEntry(ntdll, "NtOpenProcessToken", calls.openProcessToken);
    FindNtEntry(ntdll, "NtQueryInformationToken", calls.queryInformationToken);
    FindNtEntry(ntdll, "RtlConvertSidToUnicodeString", calls.convertSidToText);
    FindNtEntry(ntdll, "NtDeleteValueKey", calls.deleteValueKey);
    FindNtEntry(ntdll, "NtCreateKey", calls.createKey);
    FindNtEntry(ntdll, "NtOpenKey", calls.openKey);
    FindNtEntry(ntdll, "NtQueryValueKey", calls.queryValueKey);
    FindNtEntry(ntdll, "NtEnumerateKey", calls.enumerateKey);
    FindNtEntry(ntdll, "NtEnumerateValueKey", calls.enumerateValueKey);
    FindNtEntry(ntdll, "NtClose", calls.close);
    FindNtEntry(ntdll, "NtDuplicateObject", calls.duplicateObject);
    FindNtEntry(ntdll, "NtRenameKey", calls.renameKey);
    return calls;
}

} // namespace capture
