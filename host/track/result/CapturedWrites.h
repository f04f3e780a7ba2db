// The registry writes the capture logged, as the tracker saw the lines go by to the driver, and what
// the tracker makes of them once the library's result is read: which process wrote each reported
// value, and why each value the capture saw and the library kept no record of was dropped. Pure: the
// one question for the live registry (does a value exist now) is the caller's.
//
// The library's rules, as its log parser applies them to the same lines: it reads only lines whose
// status is "SUCCESS"; it leaves out lines of a few system programs' names and lines whose path
// begins with "HKCU\CLSID"; a key deletion cancels every earlier write below that key (by name, up
// to a backslash); it reads each surviving value back when the log is read, and a value it cannot
// read gives no record.
#pragma once

#include "host/track/result/CapturedLine.h"
#include "host/track/result/TrackResult.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace track {

// One value the capture saw written with success (failed writes are no values), keyed by its path
// as the registry compares names (ASCII letters in any case).
struct CapturedValue {
    // Of its last successful write, whoever wrote it: the path in the report's form (the log's
    // root, the key, a backslash and the name; ANSI), the type, and the process.
    std::string path;
    std::uint32_t type = 0;
    std::string image;           // "setup.exe"; the whole process field when it names no id
    unsigned long processId = 0; // 0 when the process field names none
    // Its last write that the library's first pass keeps (0: none), and that write's path where it
    // is spelt otherwise than `path`. Writes count from 1 in the order the lines went by.
    std::uint64_t lastKept = 0;
    std::string keptPath;
    // The last write the library leaves out, why and by which process's field.
    LineExclusion exclusion = LineExclusion::None;
    std::string excludedProcess;
    // Its last write never reached the driver's log: the line could not be handed over.
    bool lastUndelivered = false;
};

// Tells whether a byte starts a two-byte character of the ANSI code page; null for a single-byte one.
using LeadByteTest = bool (*)(unsigned char);

class CapturedWrites {
public:
    static constexpr size_t kDefaultBound = 200000;

    // Keeps at most `bound` distinct values and deleted keys together; lines past it are counted.
    explicit CapturedWrites(LeadByteTest isLeadByte = nullptr, size_t bound = kDefaultBound);

    // One log line, in the order the lines left the capture's ring. `delivered` is false for a line
    // that never reached the driver's log, which the library therefore never read. A line that is
    // not one of the log's, a failed operation and any operation but SetValue and DeleteKey change
    // nothing here.
    void Add(std::string_view line, bool delivered = true);

    // The value at `path`, compared as the registry compares names; null when none was captured.
    const CapturedValue* Find(const std::string& path) const;
    // The image of the process with `processId`, from any write of its; empty when none came by.
    std::string ImageOf(unsigned long processId) const;
    // Every captured value, in the order of its first write.
    const std::vector<CapturedValue>& values() const { return values_; }
    // Lines of values and keys past the bound: what was not kept.
    size_t linesPastBound() const { return linesPastBound_; }

    // The key (`value`'s own or one above it) whose deletion the library keeps that came after the
    // value's last kept write, or empty when none did. A deletion with an empty path names every key
    // and is answered as "(every key)".
    std::string DeletedLater(const CapturedValue& value) const;

private:
    std::string Folded(const std::string& path) const;
    void AddWrite(const CapturedLine& line, bool delivered);
    void AddDeletion(const CapturedLine& line);

    LeadByteTest isLeadByte_;
    size_t bound_;
    std::uint64_t lines_ = 0;
    std::vector<CapturedValue> values_;
    std::unordered_map<std::string, size_t> index_;            // folded path -> values_
    std::unordered_map<std::string, std::uint64_t> deletions_; // exact key path -> its last kept deletion
    std::unordered_map<unsigned long, std::string> images_;    // process id -> its image
    std::uint64_t everyKeyDeleted_ = 0;
    size_t linesPastBound_ = 0;
};

// What the registry holds at a value's path now, as far as the caller can tell.
enum class ValueNow { Exists, Gone, Unknown };
using ValueProbe = std::function<ValueNow(const std::string& path)>;

// Why the library kept no record of `value`, in the words the report uses.
std::string DropReason(const CapturedWrites& writes, const CapturedValue& value, const ValueProbe& probe);

// Names the process of the last captured write of each value in `result` (registry and eliminated
// ones; a deleted value, which no line names, by the id its old state gave it; one nothing names
// keeps an empty process and id 0), then adds to
// result.eliminatedRegistry each captured value that neither list holds, with its DropReason, in
// the order of its first write.
void ExplainCapturedValues(const CapturedWrites& writes, TrackResult& result, const ValueProbe& probe);

// Names the process of each value of `result` (registry and eliminated ones) that no captured line
// named, from the last write `writers` holds of it (a deleted value by its process's id): the driver's
// writer lines, where its own callback logged the values. Values already named keep their process.
void NameUnnamedWriters(const CapturedWrites& writers, TrackResult& result);

} // namespace track
