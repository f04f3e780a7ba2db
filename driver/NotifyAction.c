#include "driver/NotifyAction.h"

#include "driver/RegmonProtocol.h"

typedef struct {
    NotifyAction preSetValue;
    NotifyAction postSetValue;
    NotifyAction preDeleteKey;
    NotifyAction postDeleteKey;
} KernelActions;

static const KernelActions kPreOnly = {NOTIFY_LOG_AS_SUCCESS, NOTIFY_IGNORE, NOTIFY_QUEUE_DELETION_CHECK,
                                       NOTIFY_IGNORE};
static const KernelActions kPostStatusOnly = {NOTIFY_REMEMBER_BY_THREAD, NOTIFY_LOG_REMEMBERED_BY_THREAD,
                                              NOTIFY_REMEMBER_BY_THREAD, NOTIFY_LOG_REMEMBERED_BY_THREAD};
static const KernelActions kPostWithPreInfo = {NOTIFY_IGNORE, NOTIFY_LOG_FROM_PRE_INFORMATION,
                                               NOTIFY_REMEMBER_IN_CALL_CONTEXT, NOTIFY_LOG_FROM_CALL_CONTEXT};

static const KernelActions* ActionsOf(unsigned kernel) {
    switch (kernel) {
    case REGMON_NOTIFY_PRE_ONLY:
        return &kPreOnly;
    case REGMON_NOTIFY_POST_STATUS_ONLY:
        return &kPostStatusOnly;
    case REGMON_NOTIFY_POST_WITH_PRE_INFO:
        return &kPostWithPreInfo;
    default:
        return 0;
    }
}

NotifyAction NotifyActionFor(int notifyClass, unsigned kernel) {
    const KernelActions* actions = ActionsOf(kernel);
    if (actions == 0)
        return NOTIFY_IGNORE;
    switch (notifyClass) {
    case NOTIFY_CLASS_PRE_SET_VALUE_KEY:
        return actions->preSetValue;
    case NOTIFY_CLASS_POST_SET_VALUE_KEY:
        return actions->postSetValue;
    case NOTIFY_CLASS_PRE_DELETE_KEY:
        return actions->preDeleteKey;
    case NOTIFY_CLASS_POST_DELETE_KEY:
        return actions->postDeleteKey;
    default:
        return NOTIFY_IGNORE;
    }
}

int NotifyActionStartsRecord(NotifyAction action) {
    switch (action) {
    case NOTIFY_LOG_AS_SUCCESS:
    case NOTIFY_QUEUE_DELETION_CHECK:
    case NOTIFY_REMEMBER_BY_THREAD:
    case NOTIFY_REMEMBER_IN_CALL_CONTEXT:
    case NOTIFY_LOG_FROM_PRE_INFORMATION:
        return 1;
    default:
        return 0;
    }
}
