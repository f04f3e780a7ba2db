// Shared pieces of the delivery tests: running code on another thread with a deadline, and the
// check that no delivery point outlives a test.
#pragma once

#include "watcher/DelayedDirectoryChangeHandler.h"

#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"
#include "tests/support/watcher/RecordingHandler.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace delivery_tests {

using test_support::GuardedBuffer;

// Runs `body` on a new thread; answers whether it finished within `timeoutMs`. When `pump` is set,
// this thread dispatches its messages meanwhile.
bool RunOnThread(const std::function<void()>& body, DWORD timeoutMs = 20000, bool pump = false);

// The shared hidden window and thread are process-wide: each test leaves none behind.
void ExpectNoDeliveryPointsLeft();

} // namespace delivery_tests
