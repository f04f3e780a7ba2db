/* Two system behaviours that differ under qemu-i386, shown without any of Orvane's code; see
 * docs/32bit-emulation.md. Build: i686-w64-mingw32-gcc -municode -o probe.exe emulation-probe.c
 *   probe.exe registry   NtSetValueKey given bad pointers: every answer is STATUS_ACCESS_VIOLATION
 *   probe.exe FOLDER     a file in FOLDER made hidden, its attributes read back */
#include <windows.h>
#include <winternl.h>
#include <stdio.h>

typedef NTSTATUS(NTAPI* SetValueKeyCall)(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);

static void BadPointers(void) {
    SetValueKeyCall set = (SetValueKeyCall)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtSetValueKey");
    HKEY key;
    DWORD one = 1;
    UNICODE_STRING unreadable = {8, 8, (PWSTR)16};
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\orvane-probe", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return;
    printf("unreadable name: 0x%08lx\n", (unsigned long)set(key, (PUNICODE_STRING)8, 0, REG_DWORD, &one, 4));
    /* The name's characters go to the wineserver straight from the caller's buffer. */
    fflush(stdout);
    printf("unreadable name buffer: 0x%08lx\n", (unsigned long)set(key, &unreadable, 0, REG_DWORD, &one, 4));
    RegCloseKey(key);
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\orvane-probe");
}

static void Hidden(const wchar_t* folder) {
    wchar_t path[MAX_PATH];
    swprintf(path, MAX_PATH, L"%ls\\hidden.txt", folder);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    CloseHandle(file);
    BOOL set = SetFileAttributesW(path, FILE_ATTRIBUTE_HIDDEN);
    DWORD attributes = GetFileAttributesW(path);
    printf("set hidden: %d, read back 0x%lx (%s)\n", set, attributes,
           (attributes & FILE_ATTRIBUTE_HIDDEN) ? "hidden" : "not hidden");
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return 2;
    if (wcscmp(argv[1], L"registry") == 0)
        BadPointers();
    else
        Hidden(argv[1]);
    return 0;
}
