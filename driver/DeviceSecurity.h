/* The device's access rule: only SYSTEM and the Administrators may open it. */
#ifndef ORVANE_DRIVER_DEVICE_SECURITY_H
#define ORVANE_DRIVER_DEVICE_SECURITY_H

#include <ntifs.h>

/* Replaces the device's DACL by one that grants all access to SYSTEM and the Administrators and
 * nothing to anyone else. Called before the device gets its symbolic link. */
NTSTATUS RestrictDeviceToSystemAndAdministrators(PDEVICE_OBJECT device);

#endif
