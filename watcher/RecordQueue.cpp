#include "watcher/RecordQueue.h"

#include <new>

bool RecordQueue::EnsureWake(Target target) {
    if (wakeQueued_ && wakeTarget_ == target)
        return true;
    if (!postWake_(target))
        return false;
    wakeQueued_ = true;
    wakeTarget_ = target;
    return true;
}

bool RecordQueue::Push(CDirChangeNotification* record, Target target) {
    try {
        records_.push_back(record);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (EnsureWake(target))
        return true;
    records_.pop_back();
    return false;
}

void RecordQueue::WakeArrived(Target target) {
    if (wakeTarget_ == target)
        wakeQueued_ = false;
}

CDirChangeNotification* RecordQueue::TakeNext(Target target) {
    if (records_.empty())
        return nullptr;
    CDirChangeNotification* record = records_.front();
    records_.pop_front();
    // A failed wake here leaves the rest to the loop that is taking them now, or to the next push.
    if (!records_.empty())
        EnsureWake(target);
    return record;
}

void RecordQueue::Retarget(Target target) {
    if (!records_.empty())
        EnsureWake(target);
}
