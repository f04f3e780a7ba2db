#include "tests/host/SampleExpectations.h"

#include "tests/host/PeerBuild.h"
#include "tests/host/ReportValues.h"
#include "tests/support/TestSupport.h"

#include "common/Wow64.h"

#include <shlobj.h>

namespace host_tests {

SampleSite OwnSample() {
    return SampleSite{test_support::KnownFolder(CSIDL_PROGRAM_FILES),
                      MachineSoftwareKey("OrvaneSample", OwnBits() == 32), 0};
}

SampleSite NativeSampleUnderWow64() {
    return SampleSite{NativeProgramFilesFolder(), SampleKeyBelowRoot(), KEY_WOW64_64KEY};
}

std::string SampleFolder(const SampleSite& site) {
    return site.programFiles + "\\Orvane Sample";
}

std::vector<ExpectedFile> SampleProductFiles(const SampleSite& site) {
    const std::string app = SampleFolder(site);
    return {
        {app + "\\license.txt", "Orvane Sample is free to use for any purpose.\r\n"},
        {app + "\\settings.ini", "[General]\r\nLanguage=en-GB\r\nShowTips=1\r\n"},
        {app + "\\readme.txt", "Orvane Sample 1.0.0\r\n"},
        {app + "\\data\\catalog.dat", std::string("ORVCAT\x01\x00\x02\x00", 10)},
        {app + "\\data\\templates.dat", "letter\r\ninvoice\r\n"},
        {test_support::KnownFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + "\\Orvane Sample.url",
         "[InternetShortcut]\r\nURL=file:///" + app + "\\readme.txt\r\n"},
    };
}

std::vector<ExpectedFile> SampleNoiseFiles(const SampleSite& site) {
    return {{SampleFolder(site) + "\\desktop.ini", "[.ShellClassInfo]\r\nIconResource=license.txt,0\r\n"}};
}

std::vector<std::string> SampleTransientPaths() {
    return {SampleFolder() + "\\setup.tmp", SampleFolder() + "\\readme.new"};
}

const char* SampleKeyBelowRoot() {
    return "Software\\OrvaneSample";
}

const char* SampleTemporaryKey() {
    return "Software\\OrvaneSample\\Pending";
}

std::vector<ExpectedValue> SampleValues(const SampleSite& site) {
    const std::string key = SampleKeyBelowRoot();
    const std::string app = SampleFolder(site);
    auto machine = [&](const char* name, DWORD type, std::string bytes) {
        return ExpectedValue{"HKLM\\" + site.machineKey + "\\" + name,
                             HKEY_LOCAL_MACHINE,
                             key,
                             name,
                             type,
                             std::move(bytes),
                             site.view};
    };
    auto user = [&](const char* name, DWORD type, std::string bytes) {
        return ExpectedValue{
            "HKCU\\" + key + "\\" + name, HKEY_CURRENT_USER, key, name, type, std::move(bytes), site.view};
    };
    return {
        machine("InstallDir", REG_SZ, app + std::string(1, '\0')),
        machine("Version", REG_SZ, std::string("1.0.0\0", 6)),
        machine("Build", REG_DWORD, std::string("\x12\x04\0\0", 4)),
        machine("DataSize", REG_QWORD, std::string("\0\0\0\x40\x01\0\0\0", 8)),
        machine("LogFile", REG_EXPAND_SZ, std::string("%TEMP%\\orvane-sample.log\0", 25)),
        machine("Features", REG_MULTI_SZ, std::string("core\0help\0samples\0", 19)),
        machine("Signature", REG_BINARY, std::string("\x4f\x52\x56\x53\x01\x00\xff\x10", 8)),
        user("Language", REG_SZ, std::string("en-GB\0", 6)),
        user("ShowTips", REG_DWORD, std::string("\x01\0\0\0", 4)),
        user("WindowPlacement", REG_BINARY, std::string("\x0a\x00\x14\x00\x80\x02\xe0\x01", 8)),
    };
}

} // namespace host_tests
