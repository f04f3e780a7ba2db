// How each item the setup changed ended up against what it held before: a value new, changed,
// unchanged or deleted, a key created or deleted, a file added, changed or removed. Run once the
// setup's processes have ended and the library has handed out its result. What the items hold now is
// asked through CurrentState, so that this part is tested without a registry or a disk of its own.
#pragma once

#include "host/track/result/OldStates.h"
#include "host/track/result/TrackResult.h"

#include <cstdint>
#include <string>
#include <vector>

namespace track {

struct CurrentValue {
    enum class State {
        Present,
        Absent,     // the value or its key does not exist
        Unreadable, // it could not be read (access, a root the tracker does not know, a bad name)
    };
    State state = State::Unreadable;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> bytes; // as the registry holds them (strings in UTF-16)
};

enum class Presence { Exists, Gone, Unknown };

struct CurrentFile {
    Presence presence = Presence::Unknown;
    FileFacts facts;
};

// The registry and the files as they are now. Keys are named as the log names them ("HKLM\...").
class CurrentState {
public:
    virtual ~CurrentState() = default;
    virtual CurrentValue ReadValue(const std::wstring& key, const std::wstring& name) = 0;
    virtual Presence Key(const std::wstring& key) = 0;
    virtual CurrentFile File(const std::wstring& path) = 0;
    // Whether an existing file the library never named would be noise to it.
    virtual bool IsNoiseFile(const std::wstring& path) = 0;
};

constexpr const char* kWrittenAndDeleted = "written and deleted again";

// Fills `change` and `before` of every value of `result`, appends the values that existed and are
// gone, moves the added files that existed before into `changedFiles`, and fills the other lists of
// old state. `keptFolder` is the store's folder of kept copies (UTF-16; empty when there is none).
void ClassifyChanges(const OldStates& old, const std::wstring& keptFolder, CurrentState& now,
                     TrackResult& result);

// The value's data as the registry holds it, from the library's form: the string types come from
// the library in the ANSI code page.
std::vector<std::uint8_t> RegistryBytesOf(std::uint32_t type, const std::vector<std::uint8_t>& libraryBytes);

} // namespace track
