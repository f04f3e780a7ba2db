/* What the registry callback does with each notification, by the kind of kernel it runs on.
 *
 * Plain C11 without OS calls, so that the table is tested for every kind of kernel, which no single
 * machine offers. The notify classes are the kernel's REG_NOTIFY_CLASS numbers; the driver checks
 * at build time that they agree with its headers.
 *
 * On a kernel without post-notifications (REGMON_NOTIFY_PRE_ONLY, XP x86): a pre set-value is
 * logged as a success; a pre delete-key is queued for a check that logs it once the key is gone.
 * With post-notifications that carry only the status (REGMON_NOTIFY_POST_STATUS_ONLY, 2003 and XP
 * x64): both pres are remembered by thread and key object, and the post logs what was remembered.
 * With post-notifications that carry the pre's information (REGMON_NOTIFY_POST_WITH_PRE_INFO, 6.0
 * and later): a pre set-value is ignored and its post logs from the pre information; a pre
 * delete-key is remembered in the call context, and its post logs it from there.
 *
 * Every other notification, and every one on a kernel of unknown kind, is ignored. */
#ifndef ORVANE_DRIVER_NOTIFY_ACTION_H
#define ORVANE_DRIVER_NOTIFY_ACTION_H

#ifdef __cplusplus
extern "C" {
#endif

#define NOTIFY_CLASS_PRE_DELETE_KEY 0
#define NOTIFY_CLASS_PRE_SET_VALUE_KEY 1
#define NOTIFY_CLASS_POST_DELETE_KEY 15
#define NOTIFY_CLASS_POST_SET_VALUE_KEY 16

typedef enum NotifyAction {
    NOTIFY_IGNORE = 0,
    /* Log the write now with a success status: the kernel reports no outcome. The library reads
     * every logged value back, and a write that failed left no value to read, unless one was
     * there before. */
    NOTIFY_LOG_AS_SUCCESS,
    /* Keep the deleted key's name; the line is logged only once the key is seen to be gone. */
    NOTIFY_QUEUE_DELETION_CHECK,
    /* Keep the operation's data for the post-notification of the same thread and key object. */
    NOTIFY_REMEMBER_BY_THREAD,
    /* Log what the pre-notification of this thread and key object kept, with the post's status. */
    NOTIFY_LOG_REMEMBERED_BY_THREAD,
    /* Keep the operation's data in the notification's call context, which the post hands back. */
    NOTIFY_REMEMBER_IN_CALL_CONTEXT,
    /* Log what the call context holds, with the post's status. */
    NOTIFY_LOG_FROM_CALL_CONTEXT,
    /* Log the write from the post's copy of the pre-notification's information, with its status. */
    NOTIFY_LOG_FROM_PRE_INFORMATION
} NotifyAction;

/* The action for notify class `notifyClass` on a kernel of kind `kernel` (REGMON_NOTIFY_*). */
NotifyAction NotifyActionFor(int notifyClass, unsigned kernel);

/* Nonzero for the actions that begin an operation's record, which the callback takes only while
 * capture is on. The others finish what a pre-notification began (and release what it kept), so they
 * run whatever the capture's state. */
int NotifyActionStartsRecord(NotifyAction action);

#ifdef __cplusplus
}
#endif

#endif
