// The records waiting at one delivery point, in posting order, and the wake message that sends the
// delivering thread to take them. A message per record would cost two round trips to the system per
// notification, and on Windows a thread's message queue refuses posts past 10,000 messages, so a
// burst that arrives while the host thread is busy would lose notifications. Here at most one wake
// per delivering thread waits in its message queue, however many records are queued.
//
// Threading: not locked itself. Every call is made with the delivery point's lock held, by the
// posting threads (Push) and by the delivering thread (WakeArrived, TakeNext). The wake is posted
// under that lock; posting never waits for the receiver, so the lock is held only briefly.
#pragma once

#include "common/Win32.h"

#include <deque>

class CDirChangeNotification;

class RecordQueue {
public:
    // A delivering thread's address for wakes: a window handle or a thread id.
    using Target = UINT_PTR;
    // Posts one wake message to the target; TRUE when it was queued.
    using PostWake = BOOL (*)(Target target);

    explicit RecordQueue(PostWake postWake) : postWake_(postWake) {}
    RecordQueue(const RecordQueue&) = delete;
    RecordQueue& operator=(const RecordQueue&) = delete;

    // Appends the record for the target's thread. False when no wake could be posted to it: the
    // record is then not queued and still belongs to the caller.
    bool Push(CDirChangeNotification* record, Target target);

    // The delivering thread has taken a wake of this target off its message queue.
    void WakeArrived(Target target);

    // The oldest record, or null when none waits. While more wait, a wake for them is kept in the
    // target's message queue, so that a delivery which dispatches messages itself (a handler that
    // waits for a watch to stop) still gets the records behind it.
    CDirChangeNotification* TakeNext(Target target);

    // The delivery point moved to a new target (a new window or thread): records still waiting are
    // sent a wake there, since the old target will not take them.
    void Retarget(Target target);

    bool WakePending(Target target) const { return wakeQueued_ && wakeTarget_ == target; }

private:
    bool EnsureWake(Target target);

    std::deque<CDirChangeNotification*> records_;
    PostWake postWake_;
    bool wakeQueued_ = false;
    Target wakeTarget_ = 0;
};
