// What the filter suite reads inside a deferred-delivery wrapper: the state its filters were
// built into.
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
};
