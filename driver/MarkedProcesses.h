/* The processes of the tracked setup's tree, as the capture DLL in each marks its own while the
 * registry callback is active (IOCTL_MARK_TREE_PROCESS): the callback names them "image:pid".
 *
 * Each mark holds a reference on its process object, so that the object's address names that one
 * process until the mark is released, however soon the process ends: released at the next start or
 * stop of capture, and at unload. The list is kept under the log's lock; objects are dereferenced
 * outside it, at PASSIVE_LEVEL. */
#ifndef ORVANE_DRIVER_MARKED_PROCESSES_H
#define ORVANE_DRIVER_MARKED_PROCESSES_H

#include "driver/RegsysState.h"

/* Marks the calling process; a process marked already stays marked once. */
NTSTATUS RegsysMarkCurrentProcess(REGSYS_LOG* log);

/* Whether `process` is marked. Takes the log's lock: at most APC_LEVEL. */
BOOLEAN RegsysIsMarked(REGSYS_LOG* log, PEPROCESS process);

/* Releases every mark. At PASSIVE_LEVEL, without the log's lock. */
void RegsysReleaseMarks(REGSYS_LOG* log);

#endif
