// Stand-in for the outside library Brannock.dll: splits a registry path of the monitor's log.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

#if defined(BRANNOCK_BUILDING)
#define BRANNOCK_API __declspec(dllexport)
#else
#define BRANNOCK_API __declspec(dllimport)
#endif

struct IMendwellInc {
    // Splits "ROOT\sub\key\value" into the predefined key ROOT names, the sub-key path below it
    // ("sub\key"; empty when the value lies right below the root) and the value name (empty for a
    // path that ends in a backslash, which names the key's default value). Value names may hold
    // backslashes: the boundary is the longest key prefix that exists and holds the rest as a value,
    // else the last backslash. Two-byte characters of the ANSI code page are never cut.
    // Roots: HKLM, HKCU, HKCR, HKEY_USERS, HKEY_CURRENT_CONFIG, HKEY_LOCAL_MACHINE,
    // HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, in any letter case, as registry names are.
    // Answers null, with both strings empty, for an unknown root or a path with no value part.
    static BRANNOCK_API HKEY SplitKey(const std::string& fullPath, std::string& subKey,
                                      std::string& valueName);
};
