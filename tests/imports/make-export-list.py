#!/usr/bin/env python3
"""Writes xp-2003-exports.txt: the names each system DLL the i686 images import exports on both
Windows XP SP3 and Windows Server 2003.

Made from the DLLs of ReactOS built at the Server 2003 API level (DLL_EXPORT_VERSION 0x502, the
image of the ReactOS lane), minus the names below, which XP SP3's DLL lacks although 2003's or
ReactOS's has them: the Vista-era secure, locale and positional CRT routines that ReactOS's
msvcrt exports (XP's msvcrt.dll is version 7.0), routines Microsoft documents as Windows Server
2003 or Vista and later, and any name ReactOS keeps in its separate *_vista.dll. Removing a name
XP does have only makes the check stricter; keeping one it lacks would let a broken image pass.

usage: make-export-list.py REACTOS_SYSTEM32 > xp-2003-exports.txt
"""
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from pe_file import PeFile  # noqa: E402

# The system DLLs the shipped i686 images import (the list grows with them).
DLLS = ["advapi32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "shell32.dll", "shlwapi.dll",
        "user32.dll"]

# Names of msvcrt.dll 8.0 and later (the secure `_s`, locale `_l` and positional `_p` routines, the
# explicit 32-bit time routines and the rest) that Vista's msvcrt.dll took over and XP's lacks.
MSVCRT_LATER = [
    r".*_s", r".*_s_l", r".*_l", r".*printf_p", r".*printf_p_l",
    r"_(w?c|gm|local|mk|mkgm|diff|f|fu|u|wu)?time32", r"_w?(find(first|next)|f?stat)32(i64)?",
    r"_w?(find(first|next)|f?stat)64i32", r"_difftime64", r"_fseeki64", r"_ftelli64",
    r"_(get|set)_(errno|doserrno|fmode|osplatform|pgmptr|wpgmptr|invalid_parameter_handler|purecall_handler|"
    r"output_format|printf_count_output|abort_behavior|controlfp|heap_handle|terminate|unexpected|"
    r"daylight|dstbias|timezone|tzname|winmajor|winminor|winver|osver)",
    r"_invalid_parameter(_noinfo)?", r"_configthreadlocale", r"_create_locale", r"_free_locale",
    r"_get_current_locale", r"_w?create_locale", r"_recalloc", r"_aligned_(offset_)?recalloc", r"_aligned_msize",
    r"_wassert", r"_lock_file", r"_unlock_file", r"_statusfp2", r"__strncnt", r"__wcsncnt", r"strnlen", r"wcsnlen",
    r"_swprintf", r"_vswprintf", r"_set_SSE2_enable_l",
]

# Routines Microsoft documents with Windows Vista as the first client (most with Server 2003 as the
# first server), found in ReactOS's 2003-level DLLs.
LATER = {
    "kernel32.dll": [
        r"Fls(Alloc|Free|GetValue|SetValue)", "GetThreadId", "GetProcessIdOfThread", "ReOpenFile",
        r"NeedCurrentDirectoryForExePath[AW]", "SetThreadStackGuarantee", "GetLargePageMinimum",
        r"Find(First|Next)Stream[AW]", r"Wow64(Disable|Revert|Enable)Wow64FsRedirection",
        "GetNLSVersion", "IsNLSDefinedString", "InterlockedPushListSList", r"(Add|Remove)VectoredContinueHandler",
        "EnumSystemFirmwareTables", "GetSystemFirmwareTable", r"[GS]etProcessWorkingSetSizeEx",
        "GetCurrentProcessorNumber", r"GetNumaProcessorNodeEx", r"GetNumaNodeProcessorMaskEx",
        r"CreateSymbolicLink[AW]", r"GetFinalPathNameByHandle[AW]", r"GetTickCount64", r"CancelIoEx",
        r"CompareStringOrdinal", r".*SRWLock.*", r".*ConditionVariable.*", r"InitOnce.*",
        r"QueryFullProcessImageName[AW]", r"GetFileInformationByHandleEx", r"SetFileInformationByHandle",
        r"CreateEventEx[AW]", r"CreateMutexEx[AW]", r"CreateSemaphoreEx[AW]", r"CreateWaitableTimerEx[AW]",
        r"InitializeCriticalSectionEx", r"GetLocaleInfoEx", r"LCMapStringEx", r"CompareStringEx",
        r"GetUserDefaultLocaleName", r"LocaleNameToLCID", r"LCIDToLocaleName", r"GetErrorMode",
        r"CancelSynchronousIo", r"GetQueuedCompletionStatusEx", r"SetFileCompletionNotificationModes",
        r"QueryProcessCycleTime", r"QueryThreadCycleTime", r"GetProductInfo", r"Wow64GetThreadContext",
        r"Wow64SetThreadContext", r"Wow64SuspendThread",
    ],
    "advapi32.dll": [
        r"RegDeleteKeyEx[AW]", r"RegGetValue[AW]", r"Reg(Disable|Enable|Query)ReflectionKey", r"RegDeleteTree[AW]",
        r"RegCopyTree[AW]", r"RegSetKeyValue[AW]", r"RegDeleteKeyValue[AW]", r"RegLoadMUIString[AW]",
        r"RegOpenKeyTransacted[AW]", r"RegCreateKeyTransacted[AW]", r"Event(Register|Unregister|Write.*|Enabled)",
    ],
    "user32.dll": [
        r"AddClipboardFormatListener", r"RemoveClipboardFormatListener", r"ChangeWindowMessageFilter(Ex)?",
        r"(Set|Is)ProcessDPIAware", r"ShutdownBlockReason.*", r"(Un)?RegisterPowerSettingNotification",
        r"IsWow64Message",
    ],
    "gdi32.dll": [r"D3DKMT.*"],
    "shell32.dll": [
        r"SHGetKnownFolder.*", r"SHSetKnownFolderPath", r"SHGetFolderPathEx", r"SHCreateItem.*",
        r"SHGetStockIconInfo", r"SHGetPropertyStoreForWindow", r"SHGetIDListFromObject", r"SHGetNameFromIDList",
        r"SHGetTemporaryPropertyForItem", r"SHSetTemporaryPropertyForItem",
    ],
}
LATER["msvcrt.dll"] = MSVCRT_LATER


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    system32 = sys.argv[1]
    vista = set()
    for name in os.listdir(system32):
        if name.lower().endswith("_vista.dll"):
            vista |= PeFile(os.path.join(system32, name)).exports()
    print(__doc__.split("\n\nusage")[0].replace("Writes xp-2003-exports.txt: the", "# The").replace("\n", "\n# "))
    print("#\n# Made by tests/imports/make-export-list.py from the lane's ReactOS system32; one section per DLL,")
    print("# one name a line. check-user-imports.py fails on an import that is not listed here.")
    for dll in DLLS:
        later = [re.compile(pattern + r"\Z") for pattern in LATER.get(dll, [])]
        names = PeFile(os.path.join(system32, dll)).exports()
        kept = sorted(n for n in names if n not in vista and not any(p.match(n) for p in later))
        print(f"\n[{dll}]  # {len(kept)} of ReactOS's {len(names)}")
        for name in kept:
            print(name)


if __name__ == "__main__":
    main()
