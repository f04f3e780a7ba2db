// The items of an undo plan and the plan's text. A plan says, item by item, how to put back what a
// tracked setup changed, and what each item must still hold for the undo to touch it: whatever
// changed again after the setup is left alone. The text is UTF-8, one item per line, fields
// separated by tabs, so that a person can read and check it before it runs:
//
//   orvane-undo-plan<TAB>1
//   # comment
//   restore-value<TAB>HKCU\Software\X<TAB>Name<TAB>now=REG_SZ:6e6577<TAB>old=REG_SZ:6f6c64
//   end<TAB>1
//
// Text fields (paths, names, reasons) are written as they are, but for '%', control characters and
// DEL, which become %XX. Data is "TYPE:HEX"; file facts are "SIZE,TIME" or "SIZE,TIME,ATTRIBUTES",
// the time in UTC to the 100 ns of a FILETIME ("2024-05-01T12:34:56.1234567Z"). The closing "end"
// line counts the items, so that a plan cut short is known as such.
#pragma once

#include "host/track/result/TrackResult.h"

#include <cstdint>
#include <string>
#include <vector>

namespace track {

constexpr const char* kUndoPlanMagic = "orvane-undo-plan";
constexpr unsigned kUndoPlanVersion = 1;

enum class UndoAction {
    DeleteValue,     // a value the setup made: deleted while it holds `now`
    RestoreValue,    // a value the setup changed: `old` written back while it holds `now`
    RecreateValue,   // a value the setup deleted: `old` written while it is absent
    DeleteKey,       // a key the setup made: deleted once it has no values and no subkeys
    RecreateKey,     // a key the setup deleted: made again while it is absent
    DeleteAddedFile, // a file the setup added: deleted while it has `nowFile`'s size and write time
    RestoreFile,     // a file the setup changed: `kept` copied back while it has `nowFile`'s facts
    RecreateFile,    // a file the setup removed: `kept` copied back while it is absent
    DeleteFolder,    // a folder the setup made: removed once empty
    DeleteService,   // a service the setup made (`path` its key): forgotten by the service manager once
                     // the undo removed its key whole
    StopService,     // a service the setup made (`path` its key): stopped where it runs, before its
                     // files are removed
    Leave,           // something the undo cannot put back: `reason` says why
};

struct ValueData {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> bytes;

    bool operator==(const ValueData& other) const { return type == other.type && bytes == other.bytes; }
};

struct UndoItem {
    UndoAction action = UndoAction::Leave;
    std::string path; // UTF-8: the key, file or folder; for Leave, what is left ("value HKCU\X\Y")
    std::string name; // a value's name; empty for a key's default value
    ValueData now;    // what the setup left
    ValueData old;    // what was there before
    FileFacts nowFile;
    FileFacts oldFile;
    std::string kept; // the kept copy of a file: absolute, or relative to the plan's folder
    std::string reason;
};

// One item as its plan line, without the line end.
std::string FormatUndoItem(const UndoItem& item);

// A comment line ("# ..."); line breaks in `utf8` become spaces.
std::string FormatUndoComment(const std::string& utf8);

// The plan's first and last lines, without line ends.
std::string UndoPlanHeaderLine();
std::string UndoPlanEndLine(size_t itemCount);

// The service whose key `path` is (HKLM\System\CurrentControlSet\Services\NAME, or a
// ControlSetNNN in place of CurrentControlSet); false for any other path.
bool ServiceOfKey(const std::string& path, std::string& service);

// What the item acts on, for people: "value HKCU\Software\X\Name", "key HKCU\Software\X",
// "file C:\a.txt", "folder C:\b"; the default value is named "(default)".
std::string UndoTarget(const UndoItem& item);

// What the item will do, for people: "delete value HKCU\...", "leave alone value HKCU\... (why)".
std::string DescribeUndoItem(const UndoItem& item);

// The root of a registry path ("HKLM", "HKEY_CURRENT_USER", ...) and the key below it; false for
// a root this plan does not know. The root is returned in the plan's short form ("HKLM", "HKCU",
// "HKCR", "HKU", "HKCC").
bool SplitRegistryPath(const std::string& path, std::string& root, std::string& subKey);

// A FILETIME as the plan writes it, and back; false for text that is not exactly that form.
std::string FormatFileTime(std::uint64_t fileTime);
bool ParseFileTime(const std::string& text, std::uint64_t& fileTime);

// Whether `path` is absolute ("C:\..." or "\\server\..."): a relative kept copy is below the plan.
bool IsAbsolutePath(const std::string& path);

struct ParsedUndoPlan {
    std::vector<UndoItem> items;
    // "line N: why" for each line that cannot be used (at most kMaxListedPlanErrors, then one line
    // counting the rest). A plan with any is not used at all.
    std::vector<std::string> errors;
};

constexpr size_t kMaxListedPlanErrors = 20;

// Reads a whole plan: every line is checked before any item is handed out.
ParsedUndoPlan ParseUndoPlan(const std::string& text);

} // namespace track
