// Tracks a synthetic setup (5,000 files in 50 new folders, 2,000 registry values announced to the
// driver) and prints how long Stop takes to settle both sets, beside what a snapshot comparison of
// the same folders and registry trees takes for the same result, in the same run. It measures
// twice: on the machine as it is, then with 100,000 files already below the watched folders and
// 20,000 values already in the registry. A snapshot's cost grows with the machine; Stop's should
// grow only with the changes.
#include "include/IOrvaneInc.h"

#include "driver/RegmonProtocol.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <tuple>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kFolders = 50;
constexpr int kFilesPerFolder = 100;
constexpr int kValues = 2000;
constexpr int kBallastFolders = 100;
constexpr int kBallastFilesPerFolder = 1000;
constexpr int kBallastKeys = 20;
constexpr int kBallastValuesPerKey = 1000;

double Now() {
    LARGE_INTEGER counter, frequency;
    ::QueryPerformanceCounter(&counter);
    ::QueryPerformanceFrequency(&frequency);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

// A snapshot: every file below the folders, and every value (with its type and data) below the keys.
struct Snapshot {
    std::set<std::string> files;
    std::map<std::string, std::string> values;
};

void ListFiles(const std::string& folder, std::set<std::string>& files) {
    WIN32_FIND_DATAA entry;
    UniqueFind find(::FindFirstFileA((folder + "\\*").c_str(), &entry));
    if (!find)
        return;
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..")
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                ListFiles(folder + "\\" + name, files);
        } else {
            files.insert(folder + "\\" + name);
        }
    } while (::FindNextFileA(find.get(), &entry));
}

// The 32-bit view (Wow6432Node) links back into the tree: it is left out, as is anything deeper
// than a setup plausibly writes, so that no link cycle can make the listing endless.
void ListValues(HKEY root, const std::string& rootName, const std::string& subKey,
                std::map<std::string, std::string>& values, int depth = 0) {
    HKEY raw = nullptr;
    if (depth > 24 || ::RegOpenKeyExA(root, subKey.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS)
        return;
    UniqueKey key(raw);
    std::vector<char> name(16384);
    std::vector<BYTE> data(1 << 16);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size()), dataLength = static_cast<DWORD>(data.size()),
              type = 0;
        const LONG result =
            ::RegEnumValueA(key.get(), i, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength);
        if (result == ERROR_MORE_DATA)
            continue; // larger than any value a setup of this size writes
        if (result != ERROR_SUCCESS)
            break;
        values[rootName + "\\" + subKey + "\\" + std::string(name.data(), nameLength)] =
            std::to_string(type) + ":" + std::string(reinterpret_cast<char*>(data.data()), dataLength);
    }
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        if (::RegEnumKeyExA(key.get(), i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        const std::string child(name.data(), nameLength);
        if (_stricmp(child.c_str(), "Wow6432Node") != 0)
            ListValues(root, rootName, subKey + "\\" + child, values, depth + 1);
    }
}

Snapshot Take(const std::vector<std::string>& folders) {
    Snapshot snapshot;
    for (const std::string& folder : folders)
        ListFiles(folder, snapshot.files);
    ListValues(HKEY_LOCAL_MACHINE, "HKLM", "Software", snapshot.values);
    ListValues(HKEY_CURRENT_USER, "HKCU", "Software", snapshot.values);
    return snapshot;
}

// What a snapshot comparison reports: files and values that are new or changed.
std::pair<size_t, size_t> Compare(const Snapshot& before, const Snapshot& after) {
    size_t files = 0, values = 0;
    for (const std::string& file : after.files)
        files += before.files.count(file) ? 0 : 1;
    for (const auto& [path, data] : after.values) {
        auto it = before.values.find(path);
        values += (it == before.values.end() || it->second != data) ? 1 : 0;
    }
    return {files, values};
}

struct SyntheticSetup {
    std::string root;
    std::string keyPath = "Software\\orvane-bench-" + std::to_string(::GetCurrentProcessId());
    std::vector<std::string> files;
    std::vector<std::string> valuePaths;

    void Run() {
        ::CreateDirectoryA(root.c_str(), nullptr);
        for (int f = 0; f < kFolders; ++f) {
            const std::string folder = root + "\\folder" + std::to_string(f);
            ::CreateDirectoryA(folder.c_str(), nullptr);
            for (int i = 0; i < kFilesPerFolder; ++i) {
                files.push_back(folder + "\\file" + std::to_string(i) + ".dat");
                test_support::WriteTextFile(files.back(), "payload");
            }
        }
        HKEY raw = nullptr;
        ::RegCreateKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw,
                          nullptr);
        UniqueKey key(raw);
        UniqueFile device(::CreateFileA("\\\\.\\REGMON", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        for (int v = 0; v < kValues; ++v) {
            const std::string name = "Value" + std::to_string(v);
            const DWORD data = static_cast<DWORD>(v);
            ::RegSetValueExA(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                             sizeof data);
            valuePaths.push_back("HKCU\\" + keyPath + "\\" + name);
            const std::string line =
                "bench_tracking.exe\tSetValue\t" + valuePaths.back() + "\tSUCCESS\tbench";
            DWORD returned = 0;
            ::DeviceIoControl(device.get(), IOCTL_APPEND_LOG_LINE, const_cast<char*>(line.data()),
                              static_cast<DWORD>(line.size()), nullptr, 0, &returned, nullptr);
        }
    }

    void Undo() {
        test_support::RemoveTree(root);
        ::RegDeleteTreeA(HKEY_CURRENT_USER, keyPath.c_str());
    }
};

struct Measurement {
    double stopSeconds = 0;
    double snapshotSeconds = 0; // the after-snapshot and the comparison
    double beforeSnapshotSeconds = 0;
    size_t lost = 0;
    size_t snapshotFiles = 0, snapshotValues = 0;
};

// What the machine held before the setup ran: files made from the Linux side (Wine's own file
// creation would take minutes for this many), values written directly.
class Ballast {
public:
    explicit Ballast(const std::string& programFiles)
        : root_(programFiles + "\\orvane-ballast-" + std::to_string(::GetCurrentProcessId())) {}

    bool Lay() {
        ::CreateDirectoryA(root_.c_str(), nullptr);
        const std::string unixRoot = test_support::UnixPathOf(root_);
        if (unixRoot.empty())
            return false;
        const std::string script =
            "cd '" + unixRoot + "' && for d in $(seq 1 " + std::to_string(kBallastFolders) +
            "); do mkdir d$d && (cd d$d && seq -f 'f%04g.dat' 1 " + std::to_string(kBallastFilesPerFolder) +
            " | xargs touch); done && touch laid";
        if (!test_support::StartUnixShell(script))
            return false;
        if (!test_support::PumpMessagesUntil([&] { return test_support::FileExists(root_ + "\\laid"); },
                                             600000))
            return false;
        for (int k = 0; k < kBallastKeys; ++k) {
            HKEY raw = nullptr;
            const std::string key = keyPath_ + "\\key" + std::to_string(k);
            if (::RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &raw, nullptr) != ERROR_SUCCESS)
                return false;
            UniqueKey owner(raw);
            for (int v = 0; v < kBallastValuesPerKey; ++v) {
                const std::string name = "Value" + std::to_string(v);
                ::RegSetValueExA(owner.get(), name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(name.c_str()),
                                 static_cast<DWORD>(name.size() + 1));
            }
        }
        return true;
    }

    ~Ballast() {
        const std::string unixRoot = test_support::UnixPathOf(root_);
        if (!unixRoot.empty())
            test_support::StartUnixShell("rm -rf '" + unixRoot + "'");
        ::RegDeleteTreeA(HKEY_CURRENT_USER, keyPath_.c_str());
    }

private:
    std::string root_;
    std::string keyPath_ = "Software\\orvane-ballast-" + std::to_string(::GetCurrentProcessId());
};

Measurement TrackOnce(const std::vector<std::string>& folders, const std::string& tag) {
    Measurement result;
    SyntheticSetup setup;
    setup.root = folders[0] + "\\orvane-bench-" + tag + "-" + std::to_string(::GetCurrentProcessId());
    setup.keyPath += "-" + tag;

    const double beforeStart = Now();
    const Snapshot before = Take(folders);
    result.beforeSnapshotSeconds = Now() - beforeStart;

    IOrvaneInc* recorder = IOrvaneInc::CreateOrvane(IOrvaneInc::OV_RECORDER);
    if (recorder == nullptr)
        return result;
    recorder->Start();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        setup.Run();
        done = true;
    });
    test_support::PumpMessagesUntil([&] { return done.load(); }, 600000);
    worker.join();
    test_support::PumpMessagesUntil([&] { return recorder->GetFileChanges().count(setup.files.back()) != 0; },
                                    60000);

    const double stopStart = Now();
    recorder->Stop();
    result.stopSeconds = Now() - stopStart;

    size_t filesFound = 0, valuesFound = 0;
    for (const std::string& file : setup.files)
        filesFound += recorder->GetFileChanges().count(file);
    std::set<std::string> recorded;
    for (const auto& record : recorder->GetRegistryChanges())
        recorded.insert(record.path);
    for (const std::string& path : setup.valuePaths)
        valuesFound += recorded.count(path);
    result.lost = (setup.files.size() - filesFound) + (setup.valuePaths.size() - valuesFound);

    const double afterStart = Now();
    const Snapshot after = Take(folders);
    std::tie(result.snapshotFiles, result.snapshotValues) = Compare(before, after);
    result.snapshotSeconds = Now() - afterStart;

    IOrvaneInc::DestroyOrvane(&recorder);
    setup.Undo();
    return result;
}

void Print(const char* label, const Measurement& m) {
    std::printf("%s\n", label);
    std::printf("  tracking  : Stop settled in %8.3f s (lost %zu)\n", m.stopSeconds, m.lost);
    std::printf("  snapshot  : after-snapshot + compare %8.3f s (before-snapshot %.3f s); new files %zu, "
                "new or changed values %zu\n",
                m.snapshotSeconds, m.beforeSnapshotSeconds, m.snapshotFiles, m.snapshotValues);
    std::printf("  speed-up  : %.1fx against after-snapshot + compare (target >= 20x), %.1fx against both "
                "snapshots\n",
                m.snapshotSeconds / m.stopSeconds,
                (m.snapshotSeconds + m.beforeSnapshotSeconds) / m.stopSeconds);
}

} // namespace

int main() {
    using test_support::KnownFolder;
    const std::vector<std::string> folders = {
        KnownFolder(CSIDL_PROGRAM_FILES),    KnownFolder(CSIDL_WINDOWS),
        KnownFolder(CSIDL_COMMON_STARTMENU), KnownFolder(CSIDL_COMMON_DESKTOPDIRECTORY),
        KnownFolder(CSIDL_STARTMENU),        KnownFolder(CSIDL_DESKTOPDIRECTORY)};
    std::printf("synthetic setup: %d files in %d new folders, %d registry values (%d-bit build)\n",
                kFolders * kFilesPerFolder, kFolders, kValues, int(sizeof(void*) * 8));

    const Measurement fresh = TrackOnce(folders, "fresh");
    Print("machine as it is (fresh prefix):", fresh);

    Ballast ballast(folders[0]);
    const double layStart = Now();
    if (!ballast.Lay()) {
        std::printf("could not lay the ballast of pre-existing files and values\n");
        return 1;
    }
    std::printf("ballast: %d files and %d values laid in %.1f s\n", kBallastFolders * kBallastFilesPerFolder,
                kBallastKeys * kBallastValuesPerKey, Now() - layStart);
    const Measurement loaded = TrackOnce(folders, "loaded");
    Print("with the ballast already present:", loaded);

    std::printf("growth with the machine: Stop %.2fx, snapshot comparison %.2fx\n",
                loaded.stopSeconds / fresh.stopSeconds, loaded.snapshotSeconds / fresh.snapshotSeconds);
    return (fresh.lost == 0 && loaded.lost == 0) ? 0 : 1;
}
