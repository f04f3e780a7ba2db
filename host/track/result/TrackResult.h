// What one tracked run produced, copied out of the library's result sets so that the reports are
// built without the library (and tested without it).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace track {

struct EliminatedFile {
    std::string path;
    std::string reason;
};

// One captured registry value, as the library records it: the path names the root ("HKLM",
// "HKCU", "HKCR", "HKEY_USERS", "HKEY_CURRENT_CONFIG"), the key and, after the last backslash,
// the value; the data is the Base64 text of the value's bytes.
struct RegistryValue {
    std::string path;
    std::uint32_t type = 0;
    std::string base64;
};

// A captured value the tracker judges noise, and why.
struct EliminatedValue {
    RegistryValue value;
    std::string reason;
};

// A process of the setup's tree whose registry writes were not all captured, and why. UTF-8.
struct CaptureGap {
    std::string process; // image name
    unsigned long processId = 0;
    std::string reason;
};

struct TrackResult {
    std::string setupCommand;
    std::uint32_t setupExitCode = 0;
    double seconds = 0;             // how long the setup ran, to the end of its last process
    std::vector<std::string> files; // added files the library keeps, in the library's order
    std::vector<EliminatedFile> eliminated;
    std::vector<RegistryValue> registry;
    std::vector<EliminatedValue> eliminatedRegistry;
    std::vector<CaptureGap> captureGaps;
    // Values (UTF-8 paths) the setup wrote that the library cannot record: their key or name has
    // characters the ANSI code page cannot hold.
    std::vector<std::string> unrecordedValues;
    // The true name (UTF-8) of each recorded path whose ANSI form lost characters the ANSI code
    // page cannot hold; paths that converted whole are not listed.
    std::map<std::string, std::string> realNames;
    // Folders (UTF-8) that hold a recorded file and did not exist when tracking began; filled only
    // when an output needs them.
    std::vector<std::string> createdFolders;
    // The plain-ASCII 8.3 form of each file and created folder (UTF-8 name -> short path) whose
    // name goes beyond ASCII, for the uninstall script; filled only when that script is asked for.
    std::map<std::string, std::string> shortNames;
};

} // namespace track
