// The synthetic setup the capture benchmark runs, untracked and under orvane-track:
//   orvane-capture-bench-setup VALUES FILES FOLDER KEY [OVERWRITTEN]
// writes VALUES registry values below HKCU\Software\KEY (a DWORD and a string in turn, in keys of
// 1,000 values each) and FILES small files in subfolders of FOLDER (100 to a subfolder), creating
// FOLDER; then overwrites OVERWRITTEN files of FOLDER\existing, which must be there.
//   orvane-capture-bench-setup --existing VALUES OVERWRITTEN FOLDER KEY
// makes what such a run then finds: the first VALUES of its values, with other data, and the
// OVERWRITTEN files of FOLDER\existing.
// It exits with 0 when every write succeeded, 1 otherwise, 2 for a bad command line.
#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kValuesPerKey = 1000;
constexpr int kFilesPerFolder = 100;

// The data of value `i`: `salt` makes the data an earlier run left differ from the setup's.
bool WriteValues(int count, const std::string& key, int salt = 0) {
    UniqueKey open;
    for (int i = 0; i < count; ++i) {
        if (i % kValuesPerKey == 0) {
            HKEY raw = nullptr;
            const std::string subKey = "Software\\" + key + "\\Key" + std::to_string(i / kValuesPerKey);
            if (::RegCreateKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                  &raw, nullptr) != ERROR_SUCCESS)
                return false;
            open.reset(raw);
        }
        const std::string name = "Value" + std::to_string(i);
        const std::string text = salt == 0 ? name : name + "-before";
        LONG result;
        if (i % 2 == 0) {
            const DWORD data = static_cast<DWORD>(i + salt);
            result = ::RegSetValueExA(open.get(), name.c_str(), 0, REG_DWORD,
                                      reinterpret_cast<const BYTE*>(&data), sizeof data);
        } else {
            result = ::RegSetValueExA(open.get(), name.c_str(), 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(text.c_str()),
                                      static_cast<DWORD>(text.size() + 1));
        }
        if (result != ERROR_SUCCESS)
            return false;
    }
    return true;
}

bool WriteFiles(int count, const std::string& folder) {
    if (!::CreateDirectoryA(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    const char payload[] = "orvane capture benchmark payload\r\n";
    for (int i = 0; i < count; ++i) {
        const std::string subfolder = folder + "\\part" + std::to_string(i / kFilesPerFolder);
        if (i % kFilesPerFolder == 0 && !::CreateDirectoryA(subfolder.c_str(), nullptr))
            return false;
        const std::string path = subfolder + "\\file" + std::to_string(i) + ".dat";
        UniqueFile file(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), payload, sizeof payload - 1, &written, nullptr))
            return false;
    }
    return true;
}

std::string ExistingFile(const std::string& folder, int i) {
    return folder + "\\existing\\shared" + std::to_string(i) + ".dat";
}

// Writes the `count` files of FOLDER\existing with `payload`: CREATE_ALWAYS, as a setup replaces a file.
bool WriteExistingFiles(int count, const std::string& folder, const std::string& payload) {
    if (count > 0 && !::CreateDirectoryA((folder + "\\existing").c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    for (int i = 0; i < count; ++i) {
        UniqueFile file(::CreateFileA(ExistingFile(folder, i).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file ||
            !::WriteFile(file.get(), payload.data(), static_cast<DWORD>(payload.size()), &written, nullptr))
            return false;
    }
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: orvane-capture-bench-setup VALUES FILES FOLDER KEY [OVERWRITTEN]\n"
                         "       orvane-capture-bench-setup --existing VALUES OVERWRITTEN FOLDER KEY\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::string(argv[1]) == "--existing") {
        const int values = std::atoi(argv[2]), files = std::atoi(argv[3]);
        if (values < 0 || files < 0)
            return Usage();
        if (!::CreateDirectoryA(argv[4], nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            return 1;
        return WriteValues(values, argv[5], 1) && WriteExistingFiles(files, argv[4], std::string(4096, 'o'))
                   ? 0
                   : 1;
    }
    if (argc != 5 && argc != 6)
        return Usage();
    const int values = std::atoi(argv[1]), files = std::atoi(argv[2]);
    const int overwritten = argc == 6 ? std::atoi(argv[5]) : 0;
    if (values < 0 || files < 0 || overwritten < 0)
        return Usage();
    if (!WriteValues(values, argv[4]) || !WriteFiles(files, argv[3]) ||
        !WriteExistingFiles(overwritten, argv[3], std::string(4096, 'n'))) {
        std::fprintf(stderr, "orvane-capture-bench-setup: a write failed (error %lu)\n",
                     static_cast<unsigned long>(::GetLastError()));
        return 1;
    }
    return 0;
}
