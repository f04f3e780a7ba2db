// Installing, starting, opening and removing a kernel driver through the service control manager.
// Free functions with the driver's service name; none of them waits on a thread of this process.
#pragma once

#include "common/UniqueHandle.h"
#include "common/Win32.h"

// Deletes a service of that name if one exists (without stopping it), creates it anew as a
// demand-start kernel driver for `driverPath`, starts it and opens its device. The device's owner,
// empty when it did not open. A failed creation or start is not looked at: a driver still running
// under a stale service opens all the same.
UniqueFile InstallAndOpenDriver(const char* serviceName, const char* driverPath);

// TRUE when the service started or was already running.
BOOL StartDriverService(SC_HANDLE manager, const char* serviceName);

// Opens "\\.\<serviceName>" for reading and writing; empty when it did not open.
UniqueFile OpenDriverDevice(const char* serviceName);

// Stops the service, then deletes it. Every failure is ignored; always TRUE.
BOOL StopAndDeleteService(const char* serviceName);
