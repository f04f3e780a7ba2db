// The old state of a key about to be deleted: a DeletedKey record for it and for every key below it,
// a DeletedValue record for every value in them, read through handles of the capture's own before
// NtDeleteKey runs. Items this process already kept are passed over.
//
// Bounded, so that a host deleting a huge tree is neither stalled nor exhausted by it: past a bound
// the walk keeps nothing more, counts what it leaves out as long as the walk's own bound allows, and
// writes one DeletedTreeIncomplete record for the tree's top that says what was not kept.
#pragma once

#include "capture/module/RegistryOldState.h"

#include <cstdint>
#include <string>

namespace capture {

constexpr uint64_t kTreeItemBound = 65536;               // keys and values kept per tree
constexpr uint64_t kTreeDataBound = 64ull * 1024 * 1024; // value data kept per tree
constexpr unsigned kTreeDepthBound = 512;                // levels below the top
constexpr uint64_t kTreeWalkBound = 4 * kTreeItemBound;  // keys looked at per tree, kept or counted

// `key` is the program's handle, with whatever rights it has; `keyName` its kernel name, `mapped`
// the log's name for it.
void KeepDeletedTree(RegistryRecords& records, HANDLE key, const std::wstring& keyName,
                     const std::wstring& mapped);

} // namespace capture
