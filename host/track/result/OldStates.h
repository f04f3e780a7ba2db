// What the items a setup changed held before it, gathered from the capture's records of old state
// (capture/OldState.h) of every process of the setup's tree. An item may have a record from each
// process that changed it; the one with the lowest sequence was taken first, before any process of
// the setup had changed the item, and so holds its state from before the setup. Records arrive in
// any order. Built without the system: the tracker reads the store, this only sorts its records.
//
// Registry keys are named as the registry monitor's log names them ("HKLM\Software\X"), files by
// their DOS paths. Both compare without regard to letter case, as the registry and the file system
// compare them.
#pragma once

#include "capture/OldState.h"
#include "host/track/result/TrackResult.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace track {

struct OldValue {
    std::wstring key;
    std::wstring name;
    OldData before;
    std::uint32_t processId = 0; // of the process whose call kept it
};

struct OldKey {
    std::wstring key;
    bool existed = false; // false: the setup created it (its first record is a creation)
};

struct OldFile {
    std::wstring path;
    Before state = Before::Unknown;
    FileFacts facts;       // `exists` when it existed (Present or TooLarge)
    std::wstring keptName; // the kept copy's name below the store's files folder; empty when none
    std::string reason;    // UTF-8: why its old content is unknown or not kept
};

class OldStates {
public:
    // Takes one record. A record that names nothing usable (a key or path with a NUL in it, an
    // empty key) is passed over and counted.
    void Add(const capture::OldStateRecord& record);
    void Add(const std::vector<capture::OldStateRecord>& records);

    const OldValue* FindValue(const std::wstring& key, const std::wstring& name) const;
    const OldFile* FindFile(const std::wstring& path) const;

    // Each item once, in the order of its first record: the order the setup first changed them.
    std::vector<OldValue> Values() const;
    std::vector<OldKey> Keys() const;
    std::vector<OldFile> Files() const;

    // Deleted trees part of which could not be kept, one UTF-8 line each, in the order recorded.
    const std::vector<std::string>& gaps() const { return gaps_; }
    size_t passedOver() const { return passedOver_; }
    bool empty() const { return values_.empty() && keys_.empty() && files_.empty() && gaps_.empty(); }

private:
    template <typename Item>
    struct First {
        std::uint64_t sequence = 0;
        Item item;
    };
    template <typename Item, typename Key>
    static void KeepFirst(std::map<Key, First<Item>>& items, const Key& key, std::uint64_t sequence,
                          Item item);
    template <typename Item, typename Key>
    static std::vector<Item> InOrder(const std::map<Key, First<Item>>& items);

    void AddValue(const capture::OldStateRecord& record);
    void AddKey(const capture::OldStateRecord& record);
    void AddFile(const capture::OldStateRecord& record);
    void AddGap(const capture::OldStateRecord& record);

    std::map<std::pair<std::wstring, std::wstring>, First<OldValue>> values_; // upper-cased key, name
    std::map<std::wstring, First<OldKey>> keys_;                              // upper-cased key
    std::map<std::wstring, First<OldFile>> files_;                            // upper-cased path
    std::vector<std::string> gaps_;
    size_t passedOver_ = 0;
};

} // namespace track
