// The path fragments that mark a file as noise rather than product, each with the reason a person
// reading a report is given for it. The library tests a path against the fragments; the tracker
// explains the library's answer from the same table, so the two cannot drift apart.
#pragma once

struct NoiseFragment {
    // Tested as a plain, case-sensitive substring, anywhere in the path.
    const char* text;
    const char* reason;
};

inline constexpr const char kNoiseBookkeeping[] =
    "installer bookkeeping: the installer's own records, not part of the product";
inline constexpr const char kNoiseShellView[] =
    "shell view file: Windows writes one for any folder it displays";
inline constexpr const char kNoiseSystemManaged[] =
    "system-maintained location: Windows manages what is there, not the setup";

// Installer bookkeeping, shell-generated or system-maintained, tested in this order.
inline constexpr NoiseFragment kNoiseFragments[] = {
    {"\\InstallShield Installation Information\\", kNoiseBookkeeping},
    {"\\desktop.ini", kNoiseShellView},
    {"\\Folder.jpg", kNoiseShellView},
    {"\\Thumbs.db", kNoiseShellView},
    {"\\CatRoot\\", kNoiseSystemManaged},
    {"\\CatRoot2\\", kNoiseSystemManaged},
    {"\\InstallShield\\", kNoiseBookkeeping},
    {"\\Installer\\", kNoiseBookkeeping},
    {"\\windows\\Temp\\", kNoiseSystemManaged},
    {"\\winevt\\", kNoiseSystemManaged},
    {"\\windows\\Prefetch\\", kNoiseSystemManaged},
    {"\\windows\\system32\\restore\\", kNoiseSystemManaged},
    {"\\windows\\system32\\winevt\\Logs\\", kNoiseSystemManaged},
    {"\\windows\\winsxs\\", kNoiseSystemManaged},
};
