// What the tests read inside a deferred-delivery wrapper: the state its filters were built into,
// and the event it owns (the core suite checks that the event is closed with the wrapper).
#pragma once

#include "watcher/DelayedDirectoryChangeHandler.h"

#include <cstddef>

class DelayedHandlerTestPeer {
public:
    using Wrapper = CDelayedDirectoryChangeHandler;
    static DWORD FilterFlags(const Wrapper& wrapper) { return wrapper.filterFlags_; }
    static int RelativePathOffset(const Wrapper& wrapper) { return wrapper.relativePathOffset_; }
    static size_t IncludeCount(const Wrapper& wrapper) { return wrapper.includePatterns_.size(); }
    static size_t ExcludeCount(const Wrapper& wrapper) { return wrapper.excludePatterns_.size(); }
    static bool HasIncludeList(const Wrapper& wrapper) { return wrapper.hasIncludeList_; }
    static bool HasExcludeList(const Wrapper& wrapper) { return wrapper.hasExcludeList_; }
    static HANDLE StopDeliveredEvent(const Wrapper& wrapper) { return wrapper.stopDelivered_.get(); }
};
