#include "driver/RegistryCallback.h"

#include "driver/CaptureLine.h"
#include "driver/NotifyAction.h"
#include "driver/RecordLogging.h"

_Static_assert(RegNtPreDeleteKey == NOTIFY_CLASS_PRE_DELETE_KEY, "notify class numbers");
_Static_assert(RegNtPreSetValueKey == NOTIFY_CLASS_PRE_SET_VALUE_KEY, "notify class numbers");
_Static_assert(RegNtPostDeleteKey == NOTIFY_CLASS_POST_DELETE_KEY, "notify class numbers");
_Static_assert(RegNtPostSetValueKey == NOTIFY_CLASS_POST_SET_VALUE_KEY, "notify class numbers");

#define STATUS_ALTITUDE_TAKEN ((NTSTATUS)0xC01C0011L) /* STATUS_FLT_INSTANCE_ALTITUDE_COLLISION */

typedef NTSTATUS(NTAPI* REGISTER_CALLBACK_EX)(PEX_CALLBACK_FUNCTION function, PCUNICODE_STRING altitude,
                                              PVOID driver, PVOID context, PLARGE_INTEGER cookie,
                                              PVOID reserved);

/* Activity monitors' range; the next ones are tried should another driver hold one. */
static const WCHAR* const kAltitudes[] = {L"385100", L"385110", L"385120", L"385130"};

/* A routine the running kernel may lack, by name; null when it does. Object and function pointers
 * do not convert in ISO C: the address is copied. */
static void FindRoutine(const WCHAR* name, void* functionPointer, size_t size) {
    UNICODE_STRING text;
    PVOID address;
    RtlInitUnicodeString(&text, name);
    address = MmGetSystemRoutineAddress(&text);
    RtlCopyMemory(functionPointer, &address, size);
}

void RegsysDetectKernel(REGSYS_LOG* log) {
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    log->notifications = REGMON_NOTIFY_UNKNOWN;
    if (NT_SUCCESS(RtlGetVersion(&version))) {
        if (version.dwMajorVersion >= 6)
            log->notifications = REGMON_NOTIFY_POST_WITH_PRE_INFO;
        else if (version.dwMajorVersion == 5 && version.dwMinorVersion >= 2)
            log->notifications = REGMON_NOTIFY_POST_STATUS_ONLY;
        else if (version.dwMajorVersion == 5 && version.dwMinorVersion == 1)
            log->notifications = REGMON_NOTIFY_PRE_ONLY;
    }
    FindRoutine(L"CmCallbackGetKeyObjectID", &log->getKeyObjectId, sizeof log->getKeyObjectId);
    FindRoutine(L"SeLocateProcessImageName", &log->locateImageName, sizeof log->locateImageName);
}

/* The operation's record kept until its post (2003): a thread waits for one registry operation at a
 * time, and its post comes on the same thread with the same key object. A record displaced before
 * its post came is counted. */
static void RememberByThread(REGSYS_LOG* log, REGSYS_RECORD* record, PVOID keyObject) {
    void* displaced;
    ExAcquireFastMutex(&log->lock);
    displaced =
        PendingTableRemember(&log->paired, (uintptr_t)PsGetCurrentThreadId(), (uintptr_t)keyObject, record);
    ExReleaseFastMutex(&log->lock);
    if (displaced != NULL) {
        RegsysCount(&log->counts.unpaired);
        RegsysFreeRecord((REGSYS_RECORD*)displaced);
    }
}

static REGSYS_RECORD* ClaimByThread(REGSYS_LOG* log, PVOID keyObject) {
    void* record;
    ExAcquireFastMutex(&log->lock);
    record = PendingTableClaim(&log->paired, (uintptr_t)PsGetCurrentThreadId(), (uintptr_t)keyObject);
    ExReleaseFastMutex(&log->lock);
    return (REGSYS_RECORD*)record;
}

static void QueueDeletionCheck(REGSYS_LOG* log, REGSYS_RECORD* record) {
    int kept;
    ExAcquireFastMutex(&log->lock);
    kept = PendingTableAdd(&log->deletions, 0, 0, record);
    ExReleaseFastMutex(&log->lock);
    if (!kept) {
        RegsysCount(&log->counts.deletionsUnchecked);
        RegsysFreeRecord(record);
    }
}

static void LogAndFree(REGSYS_LOG* log, REGSYS_RECORD* record, NTSTATUS status) {
    if (record == NULL)
        return;
    RegsysLogRecord(log, record, status);
    RegsysFreeRecord(record);
}

/* The record a pre-notification describes: the set-value and delete-key structures both begin
 * with the key object. */
static REGSYS_RECORD* CollectPre(REGSYS_LOG* log, int notifyClass, PVOID information) {
    if (notifyClass == NOTIFY_CLASS_PRE_SET_VALUE_KEY) {
        const REG_SET_VALUE_KEY_INFORMATION* set = (const REG_SET_VALUE_KEY_INFORMATION*)information;
        return RegsysCollectRecord(log, CAPTURE_SET_VALUE, set->Object, set->ValueName, set->Type,
                                   set->DataSize);
    }
    return RegsysCollectRecord(log, CAPTURE_DELETE_KEY,
                               ((const REG_DELETE_KEY_INFORMATION*)information)->Object, NULL, 0, 0);
}

static void Act(REGSYS_LOG* log, NotifyAction action, int notifyClass, PVOID information) {
    REG_POST_OPERATION_INFORMATION* post = (REG_POST_OPERATION_INFORMATION*)information;
    REGSYS_RECORD* record;
    switch (action) {
    case NOTIFY_LOG_AS_SUCCESS:
        LogAndFree(log, CollectPre(log, notifyClass, information), STATUS_SUCCESS);
        break;
    case NOTIFY_QUEUE_DELETION_CHECK:
        if ((record = CollectPre(log, notifyClass, information)) != NULL)
            QueueDeletionCheck(log, record);
        break;
    case NOTIFY_REMEMBER_BY_THREAD:
        if ((record = CollectPre(log, notifyClass, information)) != NULL)
            RememberByThread(log, record, ((const REG_DELETE_KEY_INFORMATION*)information)->Object);
        break;
    case NOTIFY_LOG_REMEMBERED_BY_THREAD:
        LogAndFree(log, ClaimByThread(log, post->Object), post->Status);
        break;
    case NOTIFY_REMEMBER_IN_CALL_CONTEXT:
        ((REG_DELETE_KEY_INFORMATION*)information)->CallContext = CollectPre(log, notifyClass, information);
        break;
    case NOTIFY_LOG_FROM_CALL_CONTEXT:
        LogAndFree(log, (REGSYS_RECORD*)post->CallContext, post->Status);
        break;
    case NOTIFY_LOG_FROM_PRE_INFORMATION:
        if (post->PreInformation != NULL) {
            const REG_SET_VALUE_KEY_INFORMATION* set =
                (const REG_SET_VALUE_KEY_INFORMATION*)post->PreInformation;
            LogAndFree(log,
                       RegsysCollectRecord(log, CAPTURE_SET_VALUE, post->Object, set->ValueName, set->Type,
                                           set->DataSize),
                       post->Status);
        }
        break;
    default:
        break;
    }
}

/* Runs in the thread of the process that made the operation, at PASSIVE_LEVEL or APC_LEVEL; always
 * lets the operation go on. `capturing` is read without the lock: a stale answer at the edges of a
 * capture only begins or skips one record, and the line is stored only if capture is on then.
 * The name and image queries a record needs are documented for PASSIVE_LEVEL only: an operation
 * that comes at APC_LEVEL (a kernel component holding a guarded region) is counted and left out
 * rather than risked. */
static NTSTATUS NTAPI OnRegistryNotification(PVOID context, PVOID argument1, PVOID argument2) {
    REGSYS_LOG* log = (REGSYS_LOG*)context;
    const int notifyClass = (int)(ULONG_PTR)argument1;
    const NotifyAction action = NotifyActionFor(notifyClass, log->notifications);
    if (action == NOTIFY_IGNORE || argument2 == NULL)
        return STATUS_SUCCESS;
    if (NotifyActionStartsRecord(action)) {
        if (!log->capturing)
            return STATUS_SUCCESS;
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
            RegsysCount(&log->counts.nameQueriesFailed);
            return STATUS_SUCCESS;
        }
    }
    Act(log, action, notifyClass, argument2);
    return STATUS_SUCCESS;
}

void RegsysRegisterCallback(REGSYS_LOG* log, PDRIVER_OBJECT driver) {
    REGISTER_CALLBACK_EX registerEx = NULL;
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    size_t i;
    log->callbackActive = FALSE;
    if (log->notifications == REGMON_NOTIFY_UNKNOWN)
        return;
    FindRoutine(L"CmRegisterCallbackEx", &registerEx, sizeof registerEx);
    if (registerEx != NULL) {
        for (i = 0; i < sizeof kAltitudes / sizeof kAltitudes[0]; ++i) {
            UNICODE_STRING altitude;
            RtlInitUnicodeString(&altitude, kAltitudes[i]);
            status = registerEx(OnRegistryNotification, &altitude, driver, log, &log->cookie, NULL);
            if (status != STATUS_ALTITUDE_TAKEN)
                break;
        }
    } else {
        status = CmRegisterCallback(OnRegistryNotification, log, &log->cookie);
    }
    log->callbackActive = NT_SUCCESS(status);
}

void RegsysUnregisterCallback(REGSYS_LOG* log) {
    if (log->callbackActive)
        CmUnRegisterCallback(log->cookie);
}

ULONG RegsysCallerSid(WCHAR* target) {
    PACCESS_TOKEN token = PsReferencePrimaryToken(PsGetCurrentProcess());
    PTOKEN_USER user = NULL;
    UNICODE_STRING text;
    ULONG units = 0;
    if (token == NULL)
        return 0;
    if (NT_SUCCESS(SeQueryInformationToken(token, TokenUser, (PVOID*)&user)) && user != NULL) {
        text.Buffer = target;
        text.Length = 0;
        text.MaximumLength = REGSYS_SID_UNITS * sizeof(WCHAR);
        if (NT_SUCCESS(RtlConvertSidToUnicodeString(&text, user->User.Sid, FALSE)))
            units = text.Length / sizeof(WCHAR);
        ExFreePool(user);
    }
    PsDereferencePrimaryToken(token);
    return units;
}
