// Tracks a synthetic setup (5,000 files in 50 new folders, 2,000 registry values announced to the
// driver) and prints how long Stop takes to settle both sets, beside what a snapshot comparison of
// the same folders and registry trees takes for the same result, in the same run.
#include "include/IOrvaneInc.h"

#include "driver/RegmonProtocol.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kFolders = 50;
constexpr int kFilesPerFolder = 100;
constexpr int kValues = 2000;

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
                testing_support::WriteTextFile(files.back(), "payload");
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
        testing_support::RemoveTree(root);
        ::RegDeleteTreeA(HKEY_CURRENT_USER, keyPath.c_str());
    }
};

} // namespace

int main() {
    using testing_support::KnownFolder;
    const std::vector<std::string> folders = {
        KnownFolder(FOLDERID_ProgramFiles),    KnownFolder(FOLDERID_Windows),
        KnownFolder(FOLDERID_CommonStartMenu), KnownFolder(FOLDERID_PublicDesktop),
        KnownFolder(FOLDERID_StartMenu),       KnownFolder(FOLDERID_Desktop)};
    SyntheticSetup setup;
    setup.root = folders[0] + "\\orvane-bench-" + std::to_string(::GetCurrentProcessId());

    const double beforeStart = Now();
    const Snapshot before = Take(folders);
    const double beforeSeconds = Now() - beforeStart;

    IOrvaneInc* recorder = IOrvaneInc::CreateOrvane(IOrvaneInc::OV_RECORDER);
    if (recorder == nullptr)
        return 1;
    recorder->Start();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        setup.Run();
        done = true;
    });
    testing_support::PumpMessagesUntil([&] { return done.load(); }, 600000);
    worker.join();
    testing_support::PumpMessagesUntil(
        [&] { return recorder->GetFileChanges().count(setup.files.back()) != 0; }, 60000);

    const double stopStart = Now();
    recorder->Stop();
    const double stopSeconds = Now() - stopStart;

    size_t filesFound = 0, valuesFound = 0;
    for (const std::string& file : setup.files)
        filesFound += recorder->GetFileChanges().count(file);
    std::set<std::string> recorded;
    for (const auto& record : recorder->GetRegistryChanges())
        recorded.insert(record.path);
    for (const std::string& path : setup.valuePaths)
        valuesFound += recorded.count(path);

    const double afterStart = Now();
    const Snapshot after = Take(folders);
    const auto [snapshotFiles, snapshotValues] = Compare(before, after);
    const double afterSeconds = Now() - afterStart;

    IOrvaneInc::DestroyOrvane(&recorder);
    setup.Undo();

    std::printf("synthetic setup: %d files in %d new folders, %d registry values\n",
                kFolders * kFilesPerFolder, kFolders, kValues);
    std::printf("  tracking  : Stop settled in %8.3f s; files %zu/%zu, values %zu/%zu (lost %zu)\n",
                stopSeconds, filesFound, setup.files.size(), valuesFound, setup.valuePaths.size(),
                (setup.files.size() - filesFound) + (setup.valuePaths.size() - valuesFound));
    std::printf("  snapshot  : after-snapshot + compare %8.3f s (before-snapshot %.3f s); new files %zu, "
                "new or changed values %zu\n",
                afterSeconds, beforeSeconds, snapshotFiles, snapshotValues);
    std::printf("  speed-up  : %.1fx against after-snapshot + compare (target >= 20x), %.1fx against both "
                "snapshots\n",
                afterSeconds / stopSeconds, (afterSeconds + beforeSeconds) / stopSeconds);
    return 0;
}
