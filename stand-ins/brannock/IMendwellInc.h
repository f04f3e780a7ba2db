// Stand-in for the outside library Brannock.dll: splits a registry path of the monitor's log.
#pragma once

#include "common/Win32.h"

#include <string>

#if defined(BRANNOCK_BUILDING)
#define BRANNOCK_API __declspec(dllexport)
#else
#define BRANNOCK_API __declspec(dllimport)
#endif

struct IMendwellInc {
    // Splits "ROOT\sub\key\value" into the predefined key ROOT names, the sub-key path below it
    // ("sub\key"; empty when the value lies right below the root) and the value name (after the
    // last backslash; empty for a path that ends in one, which names the key's default value).
    // Roots: HKLM, HKCU, HKCR, HKEY_USERS, HKEY_CURRENT_CONFIG, HKEY_LOCAL_MACHINE,
    // HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, in any letter case, as registry names are.
    // Answers null, with both strings empty, for an unknown root or a path with no value part.
    static BRANNOCK_API HKEY SplitKey(const std::string& fullPath, std::string& subKey,
                                      std::string& valueName);
};
