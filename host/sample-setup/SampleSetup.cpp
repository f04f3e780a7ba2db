#include "host/sample-setup/SampleSetup.h"

#include "common/KnownFolder.h"
#include "common/UniqueHandle.h"

#include <shlwapi.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace sample {

namespace {

const char kFolderName[] = "Orvane Sample";
const char kShortcutName[] = "Orvane Sample.url";
const char kKeyBelowRoot[] = "Software\\OrvaneSample";
const char kTemporaryKey[] = "Pending";

// What differs between the two versions the sample can install.
struct Edition {
    const char* version;
    DWORD build;
    std::string catalog;
    const char* extraDataFile; // below data\, beside the catalog
    std::string extraData;
    std::string features; // REG_MULTI_SZ, NULs included
};

Edition TheEdition(bool secondVersion) {
    if (!secondVersion)
        return {"1.0.0",
                1042,
                std::string("ORVCAT\x01\x00\x02\x00", 10),
                "templates.dat",
                "letter\r\ninvoice\r\n",
                std::string("core\0help\0samples\0", 19)};
    return {"2.0.0",
            2001,
            std::string("ORVCAT\x02\x00\x04\x00\x10\x20\x30\x40", 14),
            "themes.dat",
            "light\r\ndark\r\n",
            std::string("core\0help\0samples\0export\0", 26)};
}

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string KnownFolder(int csidl) {
    std::string path = KnownFolderPathAnsi(csidl);
    if (path.empty())
        throw Failure("the system names no such folder");
    return path;
}

void WriteWholeFile(const std::string& path, const std::string& contents) {
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file ||
        !::WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr))
        throw Failure("cannot write " + path + " (error " + std::to_string(::GetLastError()) + ")");
}

void MakeFolder(const std::string& path) {
    if (!::CreateDirectoryA(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        throw Failure("cannot create " + path + " (error " + std::to_string(::GetLastError()) + ")");
}

// One key of the sample, opened for writing, named in failures by its full path.
class SampleKey {
public:
    SampleKey(HKEY root, const std::string& rootName, const std::string& subKey)
        : path_(rootName + "\\" + subKey) {
        HKEY key = nullptr;
        const LONG result =
            ::RegCreateKeyExA(root, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (result != ERROR_SUCCESS)
            throw Failure("cannot create the key " + path_ + " (error " + std::to_string(result) + ")");
        key_.reset(key);
    }

    void Set(const std::string& name, DWORD type, const void* data, size_t size) {
        const LONG result = ::RegSetValueExA(key_.get(), name.c_str(), 0, type,
                                             static_cast<const BYTE*>(data), static_cast<DWORD>(size));
        if (result != ERROR_SUCCESS)
            throw Failure("cannot set " + path_ + "\\" + name + " (error " + std::to_string(result) + ")");
    }
    void SetString(const std::string& name, DWORD type, const std::string& text) {
        Set(name, type, text.c_str(), text.size() + 1);
    }
    void SetDword(const std::string& name, DWORD value) { Set(name, REG_DWORD, &value, sizeof value); }
    void SetQword(const std::string& name, std::uint64_t value) {
        Set(name, REG_QWORD, &value, sizeof value);
    }
    void SetBinary(const std::string& name, const std::vector<unsigned char>& bytes) {
        Set(name, REG_BINARY, bytes.data(), bytes.size());
    }

private:
    std::string path_;
    UniqueKey key_;
};

// Deletes a key with everything below it; a missing key is no failure. SHDeleteKeyA rather than
// RegDeleteTreeA, which Windows XP lacks.
void DeleteKey(HKEY root, const std::string& rootName, const std::string& subKey) {
    const LONG result = static_cast<LONG>(::SHDeleteKeyA(root, subKey.c_str()));
    if (result == ERROR_FILE_NOT_FOUND)
        return;
    if (result != ERROR_SUCCESS)
        throw Failure("cannot delete the key " + rootName + "\\" + subKey + " (error " +
                      std::to_string(result) + ")");
}

void InstallFiles(const std::string& app, const Edition& edition) {
    MakeFolder(app);
    MakeFolder(app + "\\data");
    WriteWholeFile(app + "\\license.txt", "Orvane Sample is free to use for any purpose.\r\n");
    WriteWholeFile(app + "\\settings.ini", "[General]\r\nLanguage=en-GB\r\nShowTips=1\r\n");
    WriteWholeFile(app + "\\data\\catalog.dat", edition.catalog);
    WriteWholeFile(app + "\\data\\" + edition.extraDataFile, edition.extraData);
    // Shell view settings, as setups often leave them: the tracker lists these as noise.
    WriteWholeFile(app + "\\desktop.ini", "[.ShellClassInfo]\r\nIconResource=license.txt,0\r\n");
    // A scratch file that the setup cleans up, and a file written under a provisional name.
    WriteWholeFile(app + "\\setup.tmp", "unpacking\r\n");
    WriteWholeFile(app + "\\readme.new", std::string("Orvane Sample ") + edition.version + "\r\n");
    if (!::MoveFileExA((app + "\\readme.new").c_str(), (app + "\\readme.txt").c_str(),
                       MOVEFILE_REPLACE_EXISTING))
        throw Failure("cannot rename readme.new (error " + std::to_string(::GetLastError()) + ")");
    if (!::DeleteFileA((app + "\\setup.tmp").c_str()))
        throw Failure("cannot delete setup.tmp (error " + std::to_string(::GetLastError()) + ")");
    WriteWholeFile(DesktopShortcut(), "[InternetShortcut]\r\nURL=file:///" + app + "\\readme.txt\r\n");
}

void InstallRegistry(const std::string& app, const Edition& edition) {
    {
        SampleKey machine(HKEY_LOCAL_MACHINE, "HKLM", kKeyBelowRoot);
        machine.SetString("InstallDir", REG_SZ, app);
        machine.SetString("Version", REG_SZ, "0.9.0"); // replaced below: only the final data counts
        machine.SetString("Version", REG_SZ, edition.version);
        machine.SetDword("Build", edition.build);
        machine.SetQword("DataSize", 5368709120ULL);
        machine.SetString("LogFile", REG_EXPAND_SZ, "%TEMP%\\orvane-sample.log");
        machine.Set("Features", REG_MULTI_SZ, edition.features.data(), edition.features.size());
        if (edition.build >= 2000)
            machine.SetString("UpdateChannel", REG_SZ, "stable");
        machine.SetBinary("Signature", {0x4f, 0x52, 0x56, 0x53, 0x01, 0x00, 0xff, 0x10});

        // Bookkeeping the setup needs only while it runs.
        SampleKey pending(HKEY_LOCAL_MACHINE, "HKLM", std::string(kKeyBelowRoot) + "\\" + kTemporaryKey);
        pending.SetDword("Step", 3);
        pending.SetString("Source", REG_SZ, app);
    }
    DeleteKey(HKEY_LOCAL_MACHINE, "HKLM", std::string(kKeyBelowRoot) + "\\" + kTemporaryKey);

    SampleKey user(HKEY_CURRENT_USER, "HKCU", kKeyBelowRoot);
    user.SetString("Language", REG_SZ, "en-GB");
    user.SetDword("ShowTips", 1);
    user.SetBinary("WindowPlacement", {0x0a, 0x00, 0x14, 0x00, 0x80, 0x02, 0xe0, 0x01});
}

void RemoveFile(const std::string& path) {
    if (!::DeleteFileA(path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND &&
        ::GetLastError() != ERROR_PATH_NOT_FOUND)
        throw Failure("cannot delete " + path + " (error " + std::to_string(::GetLastError()) + ")");
}

void RemoveFolder(const std::string& path) {
    if (!::RemoveDirectoryA(path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND &&
        ::GetLastError() != ERROR_PATH_NOT_FOUND)
        throw Failure("cannot remove " + path + " (error " + std::to_string(::GetLastError()) + ")");
}

int Report(const char* action, const std::string& message) {
    std::fprintf(stderr, "orvane-sample-setup: %s failed: %s\n", action, message.c_str());
    return 1;
}

} // namespace

std::string ApplicationFolder() {
    return KnownFolder(CSIDL_PROGRAM_FILES) + "\\" + kFolderName;
}

std::string DesktopShortcut() {
    return KnownFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + "\\" + kShortcutName;
}

int Install(bool secondVersion) {
    try {
        const std::string app = ApplicationFolder();
        const Edition edition = TheEdition(secondVersion);
        InstallFiles(app, edition);
        InstallRegistry(app, edition);
        std::printf("orvane-sample-setup: installed Orvane Sample %s in %s\n", edition.version, app.c_str());
        return 0;
    } catch (const std::exception& e) {
        return Report("install", e.what());
    }
}

int Uninstall() {
    try {
        const std::string app = ApplicationFolder();
        for (const char* name : {"license.txt", "settings.ini", "readme.txt", "readme.new", "desktop.ini",
                                 "setup.tmp", "data\\catalog.dat", "data\\templates.dat", "data\\themes.dat"})
            RemoveFile(app + "\\" + name);
        RemoveFolder(app + "\\data");
        RemoveFolder(app);
        RemoveFile(DesktopShortcut());
        DeleteKey(HKEY_LOCAL_MACHINE, "HKLM", kKeyBelowRoot);
        DeleteKey(HKEY_CURRENT_USER, "HKCU", kKeyBelowRoot);
        std::printf("orvane-sample-setup: removed Orvane Sample\n");
        return 0;
    } catch (const std::exception& e) {
        return Report("uninstall", e.what());
    }
}

} // namespace sample
