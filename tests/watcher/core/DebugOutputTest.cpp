// Every name taken from a change notification goes to the debugger output, in order and none
// missing, though a thread of its own writes it. Observed as a debug-output viewer does: through
// the shared DBWIN_BUFFER and its two events, keeping what this process writes.
#include "tests/watcher/core/CoreTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

using namespace core_tests;
using test_support::PumpMessagesUntil;
using test_support::TempDir;
using test_support::WriteTextFile;

namespace {

class DebuggerOutputListener {
public:
    // A listener that is not answering makes every write wait for it (ten seconds at most).
    explicit DebuggerOutputListener(bool answering = true)
        : answering_(::CreateEventA(nullptr, TRUE, answering, nullptr)),
          bufferReady_(::CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY")),
          dataReady_(::CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY")),
          mapping_(::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize,
                                        "DBWIN_BUFFER")) {
        if (mapping_)
            view_ =
                static_cast<const char*>(::MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, kBufferSize));
        if (answering_ && bufferReady_ && dataReady_ && view_ != nullptr)
            thread_ = std::thread([this] { Run(); });
    }
    ~DebuggerOutputListener() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (view_ != nullptr)
            ::UnmapViewOfFile(view_);
    }
    bool ok() const { return thread_.joinable(); }
    void StartAnswering() { ::SetEvent(answering_.get()); }

    // What this process wrote that starts with `prefix`.
    std::vector<std::string> Lines(const std::string& prefix) const {
        std::lock_guard<std::mutex> hold(mutex_);
        std::vector<std::string> matching;
        for (const std::string& line : lines_) {
            if (line.compare(0, prefix.size(), prefix) == 0)
                matching.push_back(line);
        }
        return matching;
    }

private:
    static constexpr DWORD kBufferSize = 4096;

    void Run() {
        const DWORD self = ::GetCurrentProcessId();
        while (!stop_ && ::WaitForSingleObject(answering_.get(), 100) != WAIT_OBJECT_0) {
        }
        ::SetEvent(bufferReady_.get());
        while (!stop_) {
            if (::WaitForSingleObject(dataReady_.get(), 100) != WAIT_OBJECT_0)
                continue;
            DWORD writer;
            std::memcpy(&writer, view_, sizeof writer);
            if (writer == self) {
                std::lock_guard<std::mutex> hold(mutex_);
                lines_.emplace_back(view_ + sizeof writer, strnlen(view_ + sizeof writer, kBufferSize - 4));
            }
            ::SetEvent(bufferReady_.get());
        }
    }

    UniqueHandle answering_;
    UniqueHandle bufferReady_;
    UniqueHandle dataReady_;
    UniqueHandle mapping_;
    const char* view_ = nullptr;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

TEST(DebugOutput, EveryQueuedNameIsWrittenInOrderAcrossRestarts) {
    DebuggerOutputListener listener;
    ASSERT_TRUE(listener.ok());
    std::vector<std::string> expected;
    // Each name is a round trip through the listener, which under load takes milliseconds: few
    // enough names that Finish's five seconds cover them even then (2,000 did not, once).
    {
        DebugNameWriter writer;
        for (int i = 0; i < 400; ++i) {
            expected.push_back("queued-" + std::to_string(i));
            writer.Write(Wide(expected.back()).c_str());
        }
        writer.Finish();
        EXPECT_EQ(writer.DroppedCount(), 0u) << "Finish ran out of time";
        // A writer that finished starts again on the next name; its destructor writes what is left.
        for (int i = 400; i < 500; ++i) {
            expected.push_back("queued-" + std::to_string(i));
            writer.Write(Wide(expected.back()).c_str());
        }
    }
    ASSERT_TRUE(PumpMessagesUntil([&] { return listener.Lines("queued-").size() >= expected.size(); }));
    EXPECT_EQ(listener.Lines("queued-"), expected);
}

TEST(DebugOutput, AWatchWritesEveryNotifiedNameOnce) {
    DebuggerOutputListener listener;
    ASSERT_TRUE(listener.ok());
    TempDir dir("debug-output");
    HandlerPtr handler = MakeHandler();
    {
        CDirectoryChangeWatcher watcher;
        ASSERT_EQ(0u, watcher.WatchDirectory(dir.path(), kNameChanges, handler.get(), FALSE));
        WriteTextFile(dir / "named-one.txt", "x");
        ASSERT_TRUE(WaitFor(*handler, kFileAdded, dir / "named-one.txt"));
        WriteTextFile(dir / "named-two.txt", "x");
        ASSERT_TRUE(WaitFor(*handler, kFileAdded, dir / "named-two.txt"));
        ASSERT_TRUE(::DeleteFileA((dir / "named-one.txt").c_str()));
        ASSERT_TRUE(WaitFor(*handler, kFileRemoved, dir / "named-one.txt"));
    }
    // The watcher's end waits for its writer, so the names are out; the listener may still be
    // taking the last one.
    const std::vector<std::string> expected{"named-one.txt", "named-two.txt", "named-one.txt"};
    ASSERT_TRUE(PumpMessagesUntil([&] { return listener.Lines("named-").size() >= expected.size(); }));
    EXPECT_EQ(listener.Lines("named-"), expected);
}

// Runs `body` on a thread of its own; whether it ended within `timeoutMs`. If not, `release` is
// called to let it end: the thread is joined either way.
bool EndsWithin(DWORD timeoutMs, const std::function<void()>& body, const std::function<void()>& release) {
    UniqueHandle done(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread thread([&] {
        body();
        ::SetEvent(done.get());
    });
    const bool ended = ::WaitForSingleObject(done.get(), timeoutMs) == WAIT_OBJECT_0;
    if (!ended)
        release();
    thread.join();
    return ended;
}

// A listener that stops answering must not hold back the worker, which writes a name for every
// notification: the names the writer cannot take are dropped, and its end is bounded too. (Each
// write waits up to ten seconds for such a listener.)
TEST(DebugOutput, AListenerThatDoesNotAnswerHoldsBackNeitherWritesNorTheEnd) {
    DebuggerOutputListener listener(false);
    ASSERT_TRUE(listener.ok());
    DebugNameWriter writer(64);
    const auto release = [&] { listener.StartAnswering(); };
    EXPECT_TRUE(EndsWithin(
        20000,
        [&] {
            for (int i = 0; i < 200; ++i)
                writer.Write(Wide("stalled-" + std::to_string(i)).c_str());
        },
        release));
    EXPECT_TRUE(EndsWithin(
        30000, [&] { writer.Finish(); }, release));
    EXPECT_GT(writer.DroppedCount(), 150u);
}

} // namespace
