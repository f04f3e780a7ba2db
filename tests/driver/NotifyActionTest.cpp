// The callback's table from notification to action, for each kind of kernel: what a set value and a
// key deletion become, that every pre step has its post step and no kernel logs an operation twice,
// and that everything else, and every notification on a kernel of unknown kind, is ignored.
#include "driver/NotifyAction.h"

#include "driver/RegmonProtocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Row {
    NotifyAction preSetValue, postSetValue, preDeleteKey, postDeleteKey;
};

Row RowOf(unsigned kernel) {
    return Row{NotifyActionFor(NOTIFY_CLASS_PRE_SET_VALUE_KEY, kernel),
               NotifyActionFor(NOTIFY_CLASS_POST_SET_VALUE_KEY, kernel),
               NotifyActionFor(NOTIFY_CLASS_PRE_DELETE_KEY, kernel),
               NotifyActionFor(NOTIFY_CLASS_POST_DELETE_KEY, kernel)};
}

const std::vector<unsigned> kKnownKernels = {REGMON_NOTIFY_PRE_ONLY, REGMON_NOTIFY_POST_STATUS_ONLY,
                                             REGMON_NOTIFY_POST_WITH_PRE_INFO};

TEST(NotifyActionFor, KernelWithoutPostsLogsWritesAtOnceAndChecksDeletionsLater) {
    const Row row = RowOf(REGMON_NOTIFY_PRE_ONLY);
    EXPECT_EQ(row.preSetValue, NOTIFY_LOG_AS_SUCCESS);
    EXPECT_EQ(row.preDeleteKey, NOTIFY_QUEUE_DELETION_CHECK) << "a failed deletion must not cancel values";
    EXPECT_EQ(row.postSetValue, NOTIFY_IGNORE);
    EXPECT_EQ(row.postDeleteKey, NOTIFY_IGNORE);
}

TEST(NotifyActionFor, KernelWithStatusOnlyPostsPairsByThread) {
    const Row row = RowOf(REGMON_NOTIFY_POST_STATUS_ONLY);
    EXPECT_EQ(row.preSetValue, NOTIFY_REMEMBER_BY_THREAD);
    EXPECT_EQ(row.postSetValue, NOTIFY_LOG_REMEMBERED_BY_THREAD);
    EXPECT_EQ(row.preDeleteKey, NOTIFY_REMEMBER_BY_THREAD) << "the name exists only before the deletion";
    EXPECT_EQ(row.postDeleteKey, NOTIFY_LOG_REMEMBERED_BY_THREAD);
}

TEST(NotifyActionFor, KernelWithPreInformationLogsAtThePost) {
    const Row row = RowOf(REGMON_NOTIFY_POST_WITH_PRE_INFO);
    EXPECT_EQ(row.preSetValue, NOTIFY_IGNORE);
    EXPECT_EQ(row.postSetValue, NOTIFY_LOG_FROM_PRE_INFORMATION);
    EXPECT_EQ(row.preDeleteKey, NOTIFY_REMEMBER_IN_CALL_CONTEXT);
    EXPECT_EQ(row.postDeleteKey, NOTIFY_LOG_FROM_CALL_CONTEXT);
}

// Whatever the kernel, each operation is logged by exactly one step, and a step that keeps data
// is followed by the step that logs it.
TEST(NotifyActionFor, EachOperationIsLoggedOnceOnEveryKnownKernel) {
    const auto logs = [](NotifyAction action) {
        return action == NOTIFY_LOG_AS_SUCCESS || action == NOTIFY_QUEUE_DELETION_CHECK ||
               action == NOTIFY_LOG_REMEMBERED_BY_THREAD || action == NOTIFY_LOG_FROM_CALL_CONTEXT ||
               action == NOTIFY_LOG_FROM_PRE_INFORMATION;
    };
    const auto finishes = [](NotifyAction pre, NotifyAction post) {
        if (pre == NOTIFY_REMEMBER_BY_THREAD)
            return post == NOTIFY_LOG_REMEMBERED_BY_THREAD;
        if (pre == NOTIFY_REMEMBER_IN_CALL_CONTEXT)
            return post == NOTIFY_LOG_FROM_CALL_CONTEXT;
        return true;
    };
    for (unsigned kernel : kKnownKernels) {
        const Row row = RowOf(kernel);
        EXPECT_EQ(int(logs(row.preSetValue)) + int(logs(row.postSetValue)), 1) << kernel;
        EXPECT_EQ(int(logs(row.preDeleteKey)) + int(logs(row.postDeleteKey)), 1) << kernel;
        EXPECT_TRUE(finishes(row.preSetValue, row.postSetValue)) << kernel;
        EXPECT_TRUE(finishes(row.preDeleteKey, row.postDeleteKey)) << kernel;
    }
}

TEST(NotifyActionFor, OtherNotificationsAndUnknownKernelsAreIgnored) {
    // Delete value, create key, open key, query value, rename, close, and numbers no kernel uses.
    for (int notifyClass : {2, 3, 4, 7, 10, 14, 17, 18, 20, 27, 28, 40, 51, 52, -1, 1000, 0x7FFFFFFF}) {
        for (unsigned kernel : kKnownKernels)
            EXPECT_EQ(NotifyActionFor(notifyClass, kernel), NOTIFY_IGNORE) << notifyClass << " " << kernel;
    }
    for (unsigned kernel : {REGMON_NOTIFY_UNKNOWN, 4u, 0xFFFFFFFFu}) {
        for (int notifyClass : {NOTIFY_CLASS_PRE_SET_VALUE_KEY, NOTIFY_CLASS_POST_SET_VALUE_KEY,
                                NOTIFY_CLASS_PRE_DELETE_KEY, NOTIFY_CLASS_POST_DELETE_KEY})
            EXPECT_EQ(NotifyActionFor(notifyClass, kernel), NOTIFY_IGNORE) << notifyClass << " " << kernel;
    }
}

// Steps that finish an operation run whatever the capture's state, so that what their pre kept is
// released; the others begin only while capture is on.
TEST(NotifyActionStartsRecord, OnlyStepsThatKeepNothingFromBeforeStart) {
    EXPECT_TRUE(NotifyActionStartsRecord(NOTIFY_LOG_AS_SUCCESS));
    EXPECT_TRUE(NotifyActionStartsRecord(NOTIFY_QUEUE_DELETION_CHECK));
    EXPECT_TRUE(NotifyActionStartsRecord(NOTIFY_REMEMBER_BY_THREAD));
    EXPECT_TRUE(NotifyActionStartsRecord(NOTIFY_REMEMBER_IN_CALL_CONTEXT));
    EXPECT_TRUE(NotifyActionStartsRecord(NOTIFY_LOG_FROM_PRE_INFORMATION));
    EXPECT_FALSE(NotifyActionStartsRecord(NOTIFY_LOG_REMEMBERED_BY_THREAD));
    EXPECT_FALSE(NotifyActionStartsRecord(NOTIFY_LOG_FROM_CALL_CONTEXT));
    EXPECT_FALSE(NotifyActionStartsRecord(NOTIFY_IGNORE));
}

} // namespace
