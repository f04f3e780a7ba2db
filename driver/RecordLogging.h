/* Turns operation records into log lines: the line built by CaptureLine.h, converted to the log's
 * ANSI text, stored in the ring while capture is on. And the check that makes a deletion on a kernel
 * without post-notifications (XP x86) a line only once its key is gone.
 *
 * Both run at PASSIVE_LEVEL or APC_LEVEL, without the log lock, which they take only to copy the
 * capture's user SID and to store the line. */
#ifndef ORVANE_DRIVER_RECORD_LOGGING_H
#define ORVANE_DRIVER_RECORD_LOGGING_H

#include "driver/OperationRecord.h"

/* Logs `record` with the operation's status `status`; a line that cannot be logged is counted by
 * its reason. Nothing is logged while capture is off. */
void RegsysLogRecord(REGSYS_LOG* log, const REGSYS_RECORD* record, NTSTATUS status);

/* Takes every deletion waiting for its check and logs, as a success, those whose key no longer
 * opens; the others are dropped: a deletion that failed must not cancel the writes below its key.
 * A check that comes between the pre-notification and the deletion itself drops a deletion that
 * then succeeds; the writes below it are logged still, and the library, which reads each one back,
 * finds none of them under a key that is gone. PASSIVE_LEVEL, in the context of a reader of the log
 * (not of the deleting process). */
void RegsysCheckPendingDeletions(REGSYS_LOG* log);

/* Frees every record still waiting in either table; the caller ensures no callback adds more. */
void RegsysReleasePending(REGSYS_LOG* log);

#endif
