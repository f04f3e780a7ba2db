// Installing, starting, opening and removing a kernel driver through the service control manager.
// Free functions with the driver's service name; none of them waits on a thread of this process,
// beyond the short pauses between the attempts of InstallAndOpenDriver.
#pragma once

#include "common/UniqueHandle.h"
#include "common/Win32.h"

// Deletes a service of that name if one exists (without stopping it), creates it anew as a
// demand-start kernel driver for `driverPath`, starts it and opens its device. The device's owner,
// empty when it did not open. A failed creation or start is not looked at: a driver still running
// under a stale service opens all the same. A failure that passes within moments (a busy service
// manager, a pending deletion, a device not yet there) is tried again, four attempts in all, a
// quarter of a second apart. When the device did not open, `failure` (if given) receives the error
// of the step that kept it closed.
UniqueFile InstallAndOpenDriver(const char* serviceName, const char* driverPath, DWORD* failure = nullptr);

// TRUE when the service started or was already running.
BOOL StartDriverService(SC_HANDLE manager, const char* serviceName);

// Opens "\\.\<serviceName>" for reading and writing; empty when it did not open.
UniqueFile OpenDriverDevice(const char* serviceName);

// Stops the service, then deletes it. Every failure is ignored; always TRUE.
BOOL StopAndDeleteService(const char* serviceName);
