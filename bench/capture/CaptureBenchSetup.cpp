// The synthetic setup the capture benchmark runs, untracked and under orvane-track:
//   orvane-capture-bench-setup VALUES FILES FOLDER KEY
// writes VALUES registry values below HKCU\Software\KEY (a DWORD and a string in turn, in keys of
// 1,000 values each) and FILES small files in subfolders of FOLDER (100 to a subfolder), creating
// FOLDER. It exits with 0 when every write succeeded, 1 otherwise, 2 for a bad command line.
#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kValuesPerKey = 1000;
constexpr int kFilesPerFolder = 100;

bool WriteValues(int count, const std::string& key) {
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
        LONG result;
        if (i % 2 == 0) {
            const DWORD data = static_cast<DWORD>(i);
            result = ::RegSetValueExA(open.get(), name.c_str(), 0, REG_DWORD,
                                      reinterpret_cast<const BYTE*>(&data), sizeof data);
        } else {
            result = ::RegSetValueExA(open.get(), name.c_str(), 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(name.c_str()),
                                      static_cast<DWORD>(name.size() + 1));
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

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: orvane-capture-bench-setup VALUES FILES FOLDER KEY\n");
        return 2;
    }
    const int values = std::atoi(argv[1]), files = std::atoi(argv[2]);
    if (values < 0 || files < 0)
        return 2;
    if (!WriteValues(values, argv[4]) || !WriteFiles(files, argv[3])) {
        std::fprintf(stderr, "orvane-capture-bench-setup: a write failed (error %lu)\n",
                     static_cast<unsigned long>(::GetLastError()));
        return 1;
    }
    return 0;
}
