/* An image that imports a routine Windows XP and Server 2003 lack (GetTickCount64, Vista on), for the
 * import check to refuse. Built without the project's defaults, whose tick would take the import's
 * place; it is never run. */
__declspec(dllimport) unsigned long long __stdcall GetTickCount64(void);

int main(void) {
    return (int)(GetTickCount64() & 1);
}
