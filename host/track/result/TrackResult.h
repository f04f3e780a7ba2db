// What one tracked run produced, copied out of the library's result sets so that the reports are
// built without the library (and tested without it).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace track {

struct EliminatedFile {
    std::string path;
    std::string reason;
    bool madeBySetup = false; // no file was there before: the capture saw the setup make it
};

// What an item held before the setup first changed it, as the capture kept it at that moment.
enum class Before {
    Absent,   // it did not exist: the setup made it
    Present,  // it existed, and its old state is kept
    Unknown,  // no process of the setup's tree kept it ("old data unknown"); never guessed
    TooLarge, // it existed, past the bound of what is kept
};

// What a value held before the setup. `bytes` are as the registry holds them: strings in UTF-16,
// unlike a value's data now, which the library hands out in the ANSI code page.
struct OldData {
    Before state = Before::Unknown;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> bytes;
    std::string reason; // UTF-8: why it is unknown or not kept, when it is not Present
};

// The reason of an item that no record of old state speaks for.
constexpr const char* kNoOldStateKept = "no process of the setup kept it";

// How a value ended up, against what it held before the setup.
enum class ValueChange {
    New,        // did not exist before
    Changed,    // existed, and holds other data now
    Deleted,    // existed, and is gone now
    Unchanged,  // existed, and was written again with the same type and data
    OldUnknown, // what it held before is not known
};

// One registry value the setup changed. For a value the library recorded, the path names the root
// ("HKLM", "HKCU", "HKCR", "HKEY_USERS", "HKEY_CURRENT_CONFIG"), the key and, after the last
// backslash, the value, in the ANSI code page as the library gives it; the data is the Base64 text
// of the value's bytes now. A deleted value is not in the library's records: its path comes from the
// capture in the same form, its type and data are its old ones and `base64` is empty.
struct RegistryValue {
    RegistryValue() = default;
    RegistryValue(std::string valuePath, std::uint32_t valueType, std::string data)
        : path(std::move(valuePath)), type(valueType), base64(std::move(data)) {}

    std::string path;
    std::uint32_t type = 0;
    std::string base64;
    ValueChange change = ValueChange::OldUnknown;
    OldData before;
    // The process of the last captured write ("setup.exe", ANSI) and its id; empty and 0 when no
    // captured line names the value (on Windows, the driver's own callback logged it).
    std::string process;
    unsigned long processId = 0;
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

// A file's facts at one moment. `writeTime` is a FILETIME.
struct FileFacts {
    bool exists = false;
    std::uint64_t size = 0;
    std::uint64_t writeTime = 0;
    std::uint32_t attributes = 0;
};

// A file that existed before the setup and that the setup changed or removed. UTF-8 paths.
struct ChangedFile {
    std::string path;
    FileFacts before;
    FileFacts after;     // `exists` false for a removed file
    std::string kept;    // the kept copy of its old content, empty when none was kept
    std::string notKept; // why there is none
};

struct TrackResult {
    std::string setupCommand;
    std::uint32_t setupExitCode = 0;
    double seconds = 0;             // how long the setup ran, to the end of its last process
    std::vector<std::string> files; // added files the library keeps, in the library's order
    std::vector<EliminatedFile> eliminated;
    std::vector<RegistryValue> registry; // the library's values, then the deleted ones
    std::vector<EliminatedValue> eliminatedRegistry;
    // Keys (UTF-8) the setup created that still exist, and keys that existed before and are gone.
    std::vector<std::string> createdKeys;
    std::vector<std::string> deletedKeys;
    // The same for keys the report leaves out as noise (Windows Installer's records, say): only the
    // undo names them, so that it leaves no empty key of the setup's behind.
    std::vector<std::string> createdNoiseKeys;
    std::vector<std::string> deletedNoiseKeys;
    // Deleted trees whose every value could not be kept (UTF-8 lines saying what was not).
    std::vector<std::string> oldStateGaps;
    // Files that existed before: changed (they still exist) and removed. `files` holds only the
    // files the setup added.
    std::vector<ChangedFile> changedFiles;
    std::vector<ChangedFile> removedFiles;
    // The store's folder of kept copies (UTF-8), where each ChangedFile's `kept` lies; empty when
    // no store could be made. A store of the tracker's own making is removed when the run ends.
    std::string keptFolder;
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
