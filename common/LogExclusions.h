// What the library's reader of the registry monitor's log leaves out: lines of a few system programs
// and of file-system pseudo-processes, the noise of a log of the whole system, and values whose path
// begins with HKCU\CLSID. The library applies it; the tracker explains the library's answer from the
// same table, and the capture warns where a process of the setup's tree would be logged under one of
// these names, so the three cannot drift apart.
#pragma once

#include <string_view>

namespace log_exclusions {

// Compared with the whole process field, exactly and with letter case.
inline constexpr std::string_view kProcesses[] = {
    "System", "svchost.exe", "rundll32.exe", "explorer.exe", "IEXPLORE.EXE", "csrss.exe", "winlogon.exe"};
inline constexpr std::string_view kProcessPrefixes[] = {"IRP_MJ_", "FASTIO_"};
inline constexpr std::string_view kProcessFragments[] = {
    "pagefile.sys", "$Mft",  "$MftMirr", "$LogFile", "$Volume", "$AttrDef", "$Root",
    "$Bitmap",      "$Boot", "$BadClus", "$Secure",  "$UpCase", "$Extend"};
// A plain, case-sensitive test of the path's first characters.
inline constexpr std::string_view kPathPrefix = "HKCU\\CLSID";

inline bool IsExcludedProcess(std::string_view process) {
    for (std::string_view name : kProcesses) {
        if (process == name)
            return true;
    }
    for (std::string_view prefix : kProcessPrefixes) {
        if (process.substr(0, prefix.size()) == prefix)
            return true;
    }
    for (std::string_view fragment : kProcessFragments) {
        if (process.find(fragment) != std::string_view::npos)
            return true;
    }
    return false;
}

} // namespace log_exclusions
