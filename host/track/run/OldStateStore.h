// The store of old state for one tracked run (capture/OldState.h): the folder the capture in each
// of the setup's processes writes its records and kept copies into. It is made, and named in the
// tracker's own environment, before the setup starts, so that every process of the setup's tree
// inherits it. Once the setup has ended the records are read and their files deleted; the copies
// stay while the result names them. A store the tracker made itself in %TEMP% goes with the object,
// everything in it included. Not thread-safe: the session's thread only.
#pragma once

#include "capture/OldState.h"

#include <cstdint>
#include <string>
#include <vector>

namespace track {

struct StoreReading {
    std::vector<capture::OldStateRecord> records; // of every record file, in file-name order
    size_t recordFiles = 0;
    size_t damagedFiles = 0;           // files that end in a torn or damaged record, or cannot be read
    std::uint64_t bytesPassedOver = 0; // from the first such record to the end of its file
};

class OldStateStore {
public:
    OldStateStore() = default;
    ~OldStateStore();
    OldStateStore(const OldStateStore&) = delete;
    OldStateStore& operator=(const OldStateStore&) = delete;

    // Makes the store: `folder` as it is (made when missing, records of an earlier run removed), or,
    // when empty, a fresh folder in %TEMP%. Then names it, the watched folders and the largest file
    // whose content is kept (bytes) in the environment. False when no folder could be made: then
    // `problem` holds the line to say and the environment names no store, so nothing is kept.
    bool Open(const std::wstring& folder, const std::vector<std::wstring>& watchedFolders,
              std::uint64_t fileCapBytes, std::string& problem);

    // Reads every record file and deletes it, writing the copies carried in records out into the
    // store's folder of kept copies, which stays.
    StoreReading Read();

    bool IsOpen() const { return !folder_.empty(); }
    const std::wstring& folder() const { return folder_; }
    // "<store>\files"; empty when the store is not open.
    std::wstring keptFolder() const;

private:
    void Close();

    std::wstring folder_;
    bool temporary_ = false;
};

// The line said on standard error when the store's records were not all whole; empty when they were.
std::string DescribeDamage(const StoreReading& reading);

} // namespace track
