// Shared pieces of the delivery tests: a change handler that records every call with the thread it
// ran on, and running code on another thread with a deadline.
#pragma once

#include "watcher/DelayedDirectoryChangeHandler.h"

#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace delivery_tests {

class RecordingHandler : public CDirectoryChangeHandler {
public:
    struct Call {
        std::string text;
        DWORD threadId;
    };

    explicit RecordingHandler(bool* destroyed = nullptr) : destroyed_(destroyed) {}
    ~RecordingHandler() override {
        if (destroyed_ != nullptr)
            *destroyed_ = true;
    }

    void On_FileAdded(const std::string& path) override { Record("added " + path); }
    void On_FileRemoved(const std::string& path) override { Record("removed " + path); }
    void On_FileNameChanged(const std::string& oldPath, const std::string& newPath) override {
        Record("renamed " + oldPath + " -> " + newPath);
    }
    void On_FileModified(const std::string& path) override { Record("modified " + path); }
    void On_ReadDirectoryChangesError(DWORD error, const std::string& directory) override {
        Record("error " + std::to_string(error) + " " + directory);
    }
    void On_WatchStarted(DWORD error, const std::string& directory) override {
        Record("started " + std::to_string(error) + " " + directory);
    }
    void On_WatchStopped(const std::string& directory) override { Record("stopped " + directory); }
    bool On_FilterNotification(DWORD action, const char* path, const char* newPath) override {
        std::lock_guard<std::mutex> hold(mutex_);
        hookCalls_.push_back(std::to_string(action) + " " + path +
                             (newPath != nullptr ? std::string(" ") + newPath : ""));
        return hookAnswer_;
    }

    // Called after a call is recorded; may throw to stand for a failing handler.
    std::function<void(const std::string&)> afterCall;

    void SetHookAnswer(bool answer) { hookAnswer_ = answer; }
    std::vector<std::string> Texts() const {
        std::lock_guard<std::mutex> hold(mutex_);
        std::vector<std::string> texts;
        for (const Call& call : calls_)
            texts.push_back(call.text);
        return texts;
    }
    std::vector<Call> Calls() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return calls_;
    }
    std::vector<std::string> HookCalls() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return hookCalls_;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return calls_.size();
    }
    LONG RefCount() const { return refCount_; }

private:
    void Record(const std::string& text) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            calls_.push_back({text, ::GetCurrentThreadId()});
        }
        if (afterCall)
            afterCall(text);
    }

    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::vector<std::string> hookCalls_;
    bool hookAnswer_ = true;
    bool* destroyed_;
};

using testing_support::GuardedBuffer;

// Runs `body` on a new thread; answers whether it finished within `timeoutMs`. When `pump` is set,
// this thread dispatches its messages meanwhile.
bool RunOnThread(const std::function<void()>& body, DWORD timeoutMs = 20000, bool pump = false);

// The shared hidden window and thread are process-wide: each test leaves none behind.
void ExpectNoDeliveryPointsLeft();

} // namespace delivery_tests
