// Installing, starting, opening and removing a kernel driver through the service control manager.
// Free functions with the driver's service name; none of them waits on a thread of this process.
#pragma once

#include "common/Win32.h"

// Deletes a service of that name if one exists (without stopping it), creates it anew as a
// demand-start kernel driver for `driverPath`, starts it and opens its device. TRUE only when the
// device opened; `*device` then owns the handle. A failed creation or start is not looked at: a
// driver still running under a stale service opens all the same.
BOOL InstallAndOpenDriver(const char* serviceName, const char* driverPath, HANDLE* device);

// TRUE when the service started or was already running.
BOOL StartDriverService(SC_HANDLE manager, const char* serviceName);

// Opens "\\.\<serviceName>" for reading and writing. TRUE when it opened; the handle goes to
// `*device`, or is closed at once when `device` is null.
BOOL OpenDriverDevice(const char* serviceName, HANDLE* device);

// Stops the service, then deletes it. Every failure is ignored; always TRUE.
BOOL StopAndDeleteService(const char* serviceName);
