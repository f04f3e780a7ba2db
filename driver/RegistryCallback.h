/* The driver's own registry callback: registration, the callback, and the user whose hive is HKCU.
 *
 * Registration is DriverEntry's last step, so that no later failure has a callback to undo, and
 * unregistration the unload's first, before anything the callback uses is freed. Where no callback
 * registers (Wine answers not implemented), nothing here is called again, and the driver keeps
 * logging only what its append codes bring. */
#ifndef ORVANE_DRIVER_REGISTRY_CALLBACK_H
#define ORVANE_DRIVER_REGISTRY_CALLBACK_H

#include "driver/RegsysState.h"

/* Sets the kind of notifications the running kernel delivers and looks up the routines newer
 * kernels add; calls none of them. */
void RegsysDetectKernel(REGSYS_LOG* log);

/* Registers the callback; sets callbackActive when it did. */
void RegsysRegisterCallback(REGSYS_LOG* log, PDRIVER_OBJECT driver);

/* Unregisters the callback if one registered; the kernel waits for callbacks in flight. */
void RegsysUnregisterCallback(REGSYS_LOG* log);

/* The SID of the calling process's user, "S-1-5-21-...", into `target` of REGSYS_SID_UNITS units;
 * answers its units, 0 when it could not be had. PASSIVE_LEVEL, in the caller's context. */
ULONG RegsysCallerSid(WCHAR* target);

#endif
