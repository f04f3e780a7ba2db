/* The toolchain has no wdmsec library, so IoCreateDeviceSecure is not available on Windows (only
 * Wine's kernel exports it). The driver therefore builds the descriptor of
 * D:P(A;;FA;;;SY)(A;;FA;;;BA) itself and sets it on the device through a kernel handle, with calls
 * every kernel exports. */
#include "driver/DeviceSecurity.h"

/* A SID with room for two subauthorities, laid out as SID is. */
typedef struct {
    UCHAR revision;
    UCHAR subAuthorityCount;
    UCHAR authority[6];
    ULONG subAuthority[2];
} REGSYS_SID;

static const REGSYS_SID kLocalSystem = {SID_REVISION, 1, {0, 0, 0, 0, 0, 5}, {18, 0}};      /* S-1-5-18 */
static const REGSYS_SID kAdministrators = {SID_REVISION, 2, {0, 0, 0, 0, 0, 5}, {32, 544}}; /* S-1-5-32-544 */

/* Two ACCESS_ALLOWED_ACEs with SIDs of at most two subauthorities, behind the ACL header. */
#define REGSYS_ACL_SIZE (sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + sizeof(REGSYS_SID)))

static NTSTATUS BuildDacl(PACL acl) {
    NTSTATUS status = RtlCreateAcl(acl, REGSYS_ACL_SIZE, ACL_REVISION);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, (PSID)&kLocalSystem);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, (PSID)&kAdministrators);
    return status;
}

static NTSTATUS ApplyDescriptor(PDEVICE_OBJECT device, PSECURITY_DESCRIPTOR descriptor) {
    HANDLE handle = NULL;
    NTSTATUS status =
        ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL, KernelMode, &handle);
    if (!NT_SUCCESS(status))
        return status;
    status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, descriptor);
    ZwClose(handle);
    return status;
}

NTSTATUS RestrictDeviceToSystemAndAdministrators(PDEVICE_OBJECT device) {
    ULONG aclStorage[(REGSYS_ACL_SIZE + sizeof(ULONG) - 1) / sizeof(ULONG)];
    PACL acl = (PACL)aclStorage;
    SECURITY_DESCRIPTOR descriptor;
    NTSTATUS status = BuildDacl(acl);
    if (NT_SUCCESS(status))
        status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status))
        status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
    if (!NT_SUCCESS(status))
        return status;
    /* Protected: nothing a parent directory grants is merged in. */
    descriptor.Control |= SE_DACL_PROTECTED;
    return ApplyDescriptor(device, &descriptor);
}
