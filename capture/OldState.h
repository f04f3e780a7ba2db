// The old state of what a setup changes, kept by the capture in each process of the setup's tree at
// the moment of the change, for the tracker's reports and undo. The tracker makes one store folder
// for a tracked run and names it in the environment; each captured process appends its records to a
// file of its own there ("old-<pid>-<n>.rec") and copies the old content of files it is about to
// change into the store's "files" folder, or, for small files, into the record.
//
// An item (a value, a key, a file) is recorded once per process, at that process's first change to
// it. Several processes may change the same item: each record carries a sequence number taken after
// the old state was read and before the change was made, so the record with the lowest number holds
// the state from before the setup. No record for an item means its old state is unknown, never that
// it was new.
//
// Records are written whole with one write each; a writer killed in the middle leaves a torn tail,
// which the reader passes over. The writers are guests in programs the tracker does not trust: the
// reader takes nothing without checking it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace capture {

constexpr const wchar_t* kStoreVariable = L"ORVANE_CAPTURE_STORE";
// The watched folders, as DOS paths separated by '|': files below them have their old content kept.
constexpr const wchar_t* kWatchedFoldersVariable = L"ORVANE_CAPTURE_FOLDERS";
// The largest file (bytes, decimal) whose old content is kept.
constexpr const wchar_t* kFileCapVariable = L"ORVANE_CAPTURE_FILE_CAP";
constexpr const wchar_t* kStoreFilesFolder = L"files";

// The largest value data a record holds; a larger value's old data is kept as TooLarge.
constexpr uint32_t kMaxKeptValueBytes = 16u * 1024 * 1024;

enum class OldStateKind : uint32_t {
    // A value about to be written or deleted: `key`, `name`; `presence` says whether it existed,
    // and if so `type` and `data` hold it.
    Value = 1,
    // A key the change created (NtCreateKey answered "created"): `key`. It did not exist before.
    KeyCreated = 2,
    // A key about to be deleted, or a key below it: `key`. It existed.
    DeletedKey = 3,
    // A value below a key about to be deleted: `key`, `name`, `type`, `data`.
    DeletedValue = 4,
    // Part of a deleted tree could not be kept: `key` is the tree's top, `reason` says what.
    DeletedTreeIncomplete = 5,
    // A file about to be changed: `key` is its DOS path; `presence` whether it existed; `name` the
    // kept copy's name below the store's "files" folder (empty when not kept), or kCopyInRecord;
    // `type` its attributes; `size`; `time` its last write time (FILETIME); `reason` why not kept.
    File = 6,
};

// A File record's `name` when the copy travels in the record itself: `data` holds the file's whole
// old content. A small file costs its process a copy file of its own otherwise; the tracker writes
// these out into the store's "files" folder once the setup has ended. No file can have this name.
constexpr const wchar_t* kCopyInRecord = L"*";

enum class OldPresence : uint32_t {
    Absent = 0,
    Present = 1,
    Unknown = 2,  // could not be read: `reason` says why
    TooLarge = 3, // existed, but past the bound of what is kept
};

struct OldStateRecord {
    OldStateKind kind = OldStateKind::Value;
    OldPresence presence = OldPresence::Unknown;
    uint64_t sequence = 0;
    uint32_t processId = 0;
    uint32_t type = 0;
    uint64_t size = 0; // files: the old size; values: the data's length
    uint64_t time = 0;
    std::wstring key;
    std::wstring name;
    std::wstring reason;
    std::vector<uint8_t> data;
};

// The record as it goes into a store file.
std::vector<uint8_t> EncodeOldState(const OldStateRecord& record);

// Decodes the records of one store file in order. Stops at the first record that is torn or cannot
// be right; answers how many bytes were passed over from there.
size_t DecodeOldStates(const uint8_t* bytes, size_t length, std::vector<OldStateRecord>& records);

} // namespace capture
