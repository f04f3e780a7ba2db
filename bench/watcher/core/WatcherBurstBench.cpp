// A burst of files made in a new subfolder of a watched folder, so that the notification path is the
// bottleneck. Under Wine the burst comes from outside Wine (Linux tools writing into the prefix), not
// from Wine's own file creation; the folder is then on a RAM file system when the machine has one (Wine
// shows the Linux root as Z:): on disk, how fast the burst comes depends on the file system's state
// (inodes of earlier runs' files), from a quarter of a second to ten. On a Windows kernel (the reactos
// lane's bench run) a thread of this program makes the burst. Three observers see the same burst: the
// watcher end to end (worker, wrapper, window, handler, with this thread dispatching messages), and two
// bare loops of ReadDirectoryChangesW on a completion port that only count records, one with the
// watcher's buffer size and one with a single page, to show what a small buffer loses.
//   bench_watcher_burst [FILES]   (20,000 files by default, at most that)
#include "common/Tick.h"
#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "tests/support/TestSupport.h"
#include "tests/support/watcher/RecordingHandler.h"
#include "watcher/DelayedDirectoryChangeHandler.h"
#include "watcher/DirectoryChanges.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kMostFiles = 20000;
// The burst's size, set once from the command line before any observer exists.
int burstFiles = kMostFiles;
constexpr DWORD kQuietMs = 3000;
constexpr DWORD kLimitMs = 180000;
constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;

// What one observer saw of the burst. Written by one thread, read by the main thread.
struct Tally {
    std::vector<std::atomic<bool>> seen = std::vector<std::atomic<bool>>(burstFiles);
    std::atomic<int> records{0};
    std::atomic<int> overflows{0};
    std::atomic<bool> sawSubfolder{false};
    std::atomic<ULONGLONG> lastRecordAt{0};

    // `name` ends in "burst\fNNNNN".
    void Record(const char* name, size_t length) {
        if (length == 5 && std::strncmp(name, "burst", 5) == 0) {
            sawSubfolder = true;
            return;
        }
        const char* slash = std::strrchr(name, '\\');
        if (slash == nullptr || slash[1] != 'f')
            return;
        const int index = std::atoi(slash + 2);
        if (index >= 0 && index < burstFiles && !seen[size_t(index)].exchange(true))
            ++records;
        lastRecordAt = TickCount64();
    }
    int Missing() const {
        int missing = 0;
        for (const auto& one : seen)
            missing += one ? 0 : 1;
        return missing;
    }
};

// The watcher's observer: the kit's handler, keeping nothing, tallies what is added below `prefix`.
class CountingHandler {
public:
    explicit CountingHandler(const std::string& prefix) : handler_(new test_support::RecordingHandler) {
        handler_->StopKeeping();
        const std::string added = "added " + prefix;
        handler_->afterCall = [this, added](const std::string& text) {
            if (text.compare(0, added.size(), added) == 0)
                tally.Record(text.c_str() + added.size(), text.size() - added.size());
        };
    }
    CDirectoryChangeHandler* get() const { return handler_.get(); }
    Tally tally;

private:
    test_support::HandlerPtr handler_;
};

// A bare reader: one directory handle, one port, one thread, counting added records.
class BareReader {
public:
    BareReader(const std::string& folder, DWORD bufferSize) : buffer_(bufferSize / sizeof(DWORD)) {
        directory_.reset(::CreateFileA(folder.c_str(), FILE_LIST_DIRECTORY,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
        port_.reset(::CreateIoCompletionPort(directory_.get(), nullptr, 1, 0));
        ok_ = directory_ && port_ && Issue();
        if (ok_)
            thread_ = std::thread([this] { Run(); });
    }
    ~BareReader() {
        if (thread_.joinable()) {
            ::PostQueuedCompletionStatus(port_.get(), 0, 0, nullptr);
            thread_.join();
        }
        // Closing the directory aborts the pending read, whose completion goes to the port.
        directory_.reset();
        DWORD bytes;
        ULONG_PTR key;
        OVERLAPPED* overlapped;
        ::GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, 5000);
    }
    bool ok() const { return ok_; }
    Tally tally;

private:
    bool Issue() {
        overlapped_ = OVERLAPPED{};
        return ::ReadDirectoryChangesW(directory_.get(), buffer_.data(),
                                       DWORD(buffer_.size() * sizeof(DWORD)), TRUE, kFilter, nullptr,
                                       &overlapped_, nullptr) != FALSE;
    }
    void Run() {
        for (;;) {
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* overlapped = nullptr;
            if (!::GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, INFINITE) || key == 0)
                return;
            if (bytes == 0)
                ++tally.overflows;
            Walk(bytes);
            if (!Issue())
                return;
        }
    }
    void Walk(DWORD bytes) {
        const BYTE* start = reinterpret_cast<const BYTE*>(buffer_.data());
        DWORD offset = 0;
        while (bytes != 0 && offset + 12 <= bytes) {
            const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(start + offset);
            if (record->Action == FILE_ACTION_ADDED) {
                char name[600];
                const int length = ::WideCharToMultiByte(CP_ACP, 0, record->FileName,
                                                         int(record->FileNameLength / sizeof(WCHAR)), name,
                                                         sizeof name - 1, nullptr, nullptr);
                name[length > 0 ? length : 0] = '\0';
                tally.Record(name, std::strlen(name));
            }
            if (record->NextEntryOffset == 0)
                break;
            offset += record->NextEntryOffset;
        }
    }

    std::vector<DWORD> buffer_;
    UniqueFile directory_;
    UniqueHandle port_;
    OVERLAPPED overlapped_{};
    bool ok_ = false;
    std::thread thread_;
};

void PrintRow(const char* what, const Tally& tally, ULONGLONG start) {
    const ULONGLONG last = tally.lastRecordAt;
    const double seconds = last > start ? double(last - start) / 1000.0 : 0.0;
    const double rate = seconds > 0 ? tally.records / seconds : 0.0;
    std::printf("%-34s %8d %8d %10d %10.0f\n", what, tally.records.load(), tally.Missing(),
                tally.overflows.load(), rate);
}

double Rate(const Tally& tally, ULONGLONG start) {
    const ULONGLONG last = tally.lastRecordAt;
    return last > start ? tally.records / (double(last - start) / 1000.0) : 0.0;
}

std::string BenchBaseFolder() {
    const DWORD ramDisk = ::GetFileAttributesA("Z:\\dev\\shm");
    if (ramDisk != INVALID_FILE_ATTRIBUTES && (ramDisk & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return "Z:\\dev\\shm\\orvane-bench";
    return "C:\\orvane-bench";
}

// Makes the burst's files and then the marker from a thread of this program, for a system with no
// Linux side to make them from.
std::thread StartWindowsBurst(const std::string& folder, const std::string& marker) {
    return std::thread([folder, marker] {
        char name[16];
        for (int i = 0; i < burstFiles; ++i) {
            std::snprintf(name, sizeof name, "f%05d", i);
            UniqueFile file(::CreateFileA((folder + "\\burst\\" + name).c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        }
        UniqueFile done(::CreateFileA(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    });
}

// Removes what a Windows burst made, file by file.
void RemoveWindowsBurst(const std::string& folder) {
    char name[16];
    for (int i = 0; i < burstFiles; ++i) {
        std::snprintf(name, sizeof name, "f%05d", i);
        ::DeleteFileA((folder + "\\burst\\" + name).c_str());
    }
    ::RemoveDirectoryA((folder + "\\burst").c_str());
    ::RemoveDirectoryA(folder.c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        burstFiles = std::atoi(argv[1]);
    if (burstFiles < 1 || burstFiles > kMostFiles) {
        std::printf("usage: bench_watcher_burst [FILES], FILES from 1 to %d\n", kMostFiles);
        return 2;
    }
    const std::string base = BenchBaseFolder();
    ::CreateDirectoryA(base.c_str(), nullptr);
    const std::string folder = base + "\\burst-" + std::to_string(::GetCurrentProcessId());
    const std::string marker = folder + ".done";
    if (!::CreateDirectoryA(folder.c_str(), nullptr)) {
        std::printf("cannot create %s\n", folder.c_str());
        return 1;
    }
    // Empty on a Windows kernel: the burst is then this program's own.
    const std::string unixFolder = test_support::UnixPathOf(folder);
    std::thread windowsBurst;

    CountingHandler counting(folder + "\\");
    CountingHandler* handler = &counting;
    int status = 0;
    ULONGLONG start = 0;
    {
        CDirectoryChangeWatcher watcher;
        BareReader bare(folder, kNotificationBufferSize);
        BareReader page(folder, 4096);
        if (watcher.WatchDirectory(folder, kFilter, handler->get(), TRUE) != 0 || !bare.ok() || !page.ok()) {
            std::printf("cannot watch %s\n", folder.c_str());
            return 1;
        }
        // Subtree watching covers subfolders made after the watch began, once Wine has seen them.
        ::CreateDirectoryA((folder + "\\burst").c_str(), nullptr);
        test_support::PumpMessagesUntil(
            [&] { return handler->tally.sawSubfolder && bare.tally.sawSubfolder && page.tally.sawSubfolder; },
            20000);

        start = TickCount64();
        const std::string script = "cd '" + unixFolder + "/burst' && seq -f 'f%05g' 0 " +
                                   std::to_string(burstFiles - 1) + " | xargs touch && touch '" + unixFolder +
                                   ".done'";
        if (unixFolder.empty())
            windowsBurst = StartWindowsBurst(folder, marker);
        if (unixFolder.empty() ? !windowsBurst.joinable() : !test_support::StartUnixShell(script)) {
            std::printf("cannot start the burst\n");
            status = 1;
        } else {
            test_support::PumpMessagesUntil([&] { return test_support::FileExists(marker); }, kLimitMs);
            const ULONGLONG created = TickCount64();
            // Done when every observer has everything, or nothing new came for a while.
            ULONGLONG lastProgress = TickCount64();
            int lastTotal = -1;
            test_support::PumpMessagesUntil(
                [&] {
                    const int total = handler->tally.records + bare.tally.records + page.tally.records;
                    if (total != lastTotal) {
                        lastTotal = total;
                        lastProgress = TickCount64();
                    }
                    return total == 3 * burstFiles || TickCount64() - lastProgress > kQuietMs;
                },
                kLimitMs);
            std::printf("burst: %d files made %s in a new subfolder in %llu ms\n\n", burstFiles,
                        unixFolder.empty() ? "by a thread of the bench" : "from outside Wine",
                        created - start);
            std::printf("%-34s %8s %8s %10s %10s\n", "observer", "seen", "missing", "overflows", "files/s");
            PrintRow("watcher, 64 KiB, end to end", handler->tally, start);
            PrintRow("bare loop, 64 KiB (baseline)", bare.tally, start);
            PrintRow("bare loop, 4096 B", page.tally, start);
            std::printf("  (the watcher's overflows: %ld empty completions)\n", watcher.GetOverflowCount());
            const double ratio =
                Rate(bare.tally, start) > 0 ? Rate(handler->tally, start) / Rate(bare.tally, start) : 0;
            std::printf("\nend-to-end rate / bare rate: %.2f (target >= 0.80)\n", ratio);
            std::printf("files missing end to end:   %d (target 0)\n", handler->tally.Missing());
            std::printf("lost by a 4096-byte buffer: %d\n", page.tally.Missing());
        }
        // The names go to the debugger output on a thread of their own; the end of the watch waits
        // until all of them are out.
        const ULONGLONG unwatchStart = TickCount64();
        watcher.UnwatchAllDirectories();
        std::printf("unwatch, with every name written to the debugger output: %llu ms\n",
                    TickCount64() - unwatchStart);
    }
    if (windowsBurst.joinable())
        windowsBurst.join();
    ::DeleteFileA(marker.c_str());
    // Twenty thousand files go faster from the Linux side too.
    if (unixFolder.empty())
        RemoveWindowsBurst(folder);
    else if (test_support::StartUnixShell("rm -rf '" + unixFolder + "'"))
        test_support::PumpMessagesUntil([&] { return !test_support::FileExists(folder); }, 60000);
    ::RemoveDirectoryA(base.c_str());
    return status;
}
