// The change handler every watcher test and benchmark records with. Each call is kept with the
// thread it ran on, both as the engine's record kind and as a line of text; a handler whose watch
// is over can be marked ended, after which any delivery counts as late (that must never happen).
//
// Threading: calls may arrive on any thread; every accessor takes the handler's own lock and
// returns a copy. `afterCall` runs outside that lock, on the delivering thread.
#pragma once

#include "tests/support/TestSupport.h"
#include "watcher/DelayedDirectoryChangeHandler.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

struct Delivery {
    int kind;
    std::string path;
    std::string newPath;
    DWORD code;
    DWORD threadId;
    std::string text;
};

// `Base` is CDirectoryChangeHandler for a real handler, or the deferred-delivery wrapper where a
// test stands in for it; the wrapper's constructor arguments follow the destroyed flag.
template <typename Base>
class BasicRecordingHandler : public Base {
public:
    template <typename... BaseArguments>
    explicit BasicRecordingHandler(bool* destroyed = nullptr, BaseArguments&&... arguments)
        : Base(std::forward<BaseArguments>(arguments)...), destroyed_(destroyed) {}
    ~BasicRecordingHandler() override {
        if (destroyed_ != nullptr)
            *destroyed_ = true;
    }

    void On_FileAdded(const std::string& path) override { Record(kFileAdded, path, "", 0, "added " + path); }
    void On_FileRemoved(const std::string& path) override {
        Record(kFileRemoved, path, "", 0, "removed " + path);
    }
    void On_FileNameChanged(const std::string& oldPath, const std::string& newPath) override {
        Record(kFileRenamed, oldPath, newPath, 0, "renamed " + oldPath + " -> " + newPath);
    }
    void On_FileModified(const std::string& path) override {
        Record(kFileModified, path, "", 0, "modified " + path);
    }
    void On_ReadDirectoryChangesError(DWORD error, const std::string& directory) override {
        Record(kReadDirectoryChangesError, directory, "", error,
               "error " + std::to_string(error) + " " + directory);
    }
    void On_WatchStarted(DWORD error, const std::string& directory) override {
        Record(kWatchStarted, directory, "", error, "started " + std::to_string(error) + " " + directory);
    }
    void On_WatchStopped(const std::string& directory) override {
        Record(kWatchStopped, directory, "", 0, "stopped " + directory);
    }
    // Answers as told by SetHookAnswer, or as the base class would until then.
    bool On_FilterNotification(DWORD action, const char* path, const char* newPath) override {
        std::optional<bool> answer;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            hookCalls_.push_back(std::to_string(action) + " " + path +
                                 (newPath != nullptr ? std::string(" ") + newPath : ""));
            answer = hookAnswer_;
        }
        return answer ? *answer : Base::On_FilterNotification(action, path, newPath);
    }

    // Called after a call is recorded, with its text; may throw to stand for a failing handler.
    std::function<void(const std::string&)> afterCall;

    // A benchmark keeps nothing, so that recording costs it no more than a counter.
    void StopKeeping() { keeping_ = false; }
    void SetHookAnswer(bool answer) {
        std::lock_guard<std::mutex> hold(mutex_);
        hookAnswer_ = answer;
    }
    void MarkEnded() { ended_ = true; }
    void Clear() {
        std::lock_guard<std::mutex> hold(mutex_);
        deliveries_.clear();
    }

    std::vector<Delivery> Calls() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return deliveries_;
    }
    std::vector<Delivery> Deliveries() const { return Calls(); }
    std::vector<std::string> Texts() const {
        std::lock_guard<std::mutex> hold(mutex_);
        std::vector<std::string> texts;
        for (const Delivery& delivery : deliveries_)
            texts.push_back(delivery.text);
        return texts;
    }
    std::vector<std::string> HookCalls() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return hookCalls_;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return deliveries_.size();
    }
    int Count(int kind) const {
        std::lock_guard<std::mutex> hold(mutex_);
        int count = 0;
        for (const Delivery& delivery : deliveries_)
            count += delivery.kind == kind ? 1 : 0;
        return count;
    }
    bool Has(int kind, const std::string& path) const {
        std::lock_guard<std::mutex> hold(mutex_);
        for (const Delivery& delivery : deliveries_) {
            if (delivery.kind == kind && delivery.path == path)
                return true;
        }
        return false;
    }
    // A rename, or (when Wine split it across reads) the removal and the addition.
    bool HasMove(const std::string& from, const std::string& to) const {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            for (const Delivery& delivery : deliveries_) {
                if (delivery.kind == kFileRenamed && delivery.path == from && delivery.newPath == to)
                    return true;
            }
        }
        return Has(kFileRemoved, from) && Has(kFileAdded, to);
    }
    int LateCount() const { return late_; }
    LONG RefCount() const { return this->refCount_; }

private:
    void Record(int kind, const std::string& path, const std::string& newPath, DWORD code, std::string text) {
        if (ended_)
            ++late_;
        if (keeping_) {
            std::lock_guard<std::mutex> hold(mutex_);
            deliveries_.push_back({kind, path, newPath, code, ::GetCurrentThreadId(), text});
        }
        if (afterCall)
            afterCall(text);
    }

    mutable std::mutex mutex_;
    std::vector<Delivery> deliveries_;
    std::vector<std::string> hookCalls_;
    std::optional<bool> hookAnswer_;
    std::atomic<bool> keeping_{true};
    std::atomic<bool> ended_{false};
    std::atomic<int> late_{0};
    bool* destroyed_;
};

using RecordingHandler = BasicRecordingHandler<CDirectoryChangeHandler>;

// Stands in for the deferred-delivery wrapper and records what the buffer walk hands it.
using RecordingWrapper = BasicRecordingHandler<CDelayedDirectoryChangeHandler>;

struct ReleaseHandler {
    void operator()(CDirectoryChangeHandler* handler) const { handler->Release(); }
};
using HandlerPtr = std::unique_ptr<RecordingHandler, ReleaseHandler>;
inline HandlerPtr MakeHandler() {
    return HandlerPtr(new RecordingHandler);
}

// Waits (dispatching this thread's messages) for a delivery; 20 s at most.
inline bool WaitFor(const RecordingHandler& handler, int kind, const std::string& path) {
    return PumpMessagesUntil([&] { return handler.Has(kind, path); });
}
inline bool WaitForCount(const RecordingHandler& handler, int kind, int count) {
    return PumpMessagesUntil([&] { return handler.Count(kind) >= count; });
}

} // namespace test_support
