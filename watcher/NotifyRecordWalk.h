// The byte-level walk over FILE_NOTIFY_INFORMATION records and the carry of an unpaired old name to
// the buffer start, free of Win32 so that the native fuzz lane builds the same source the engine
// does. Positions are byte offsets from the buffer start; `size` is the number of valid bytes.
#pragma once

#include <cstdint>

namespace notify_walk {

// The header size the system's own structure declares: 12 bytes of fields and a one-unit name.
constexpr uint32_t kRecordHeaderLess2 = 14;
constexpr uint32_t kFileNameField = 12;
constexpr uint32_t kMaxNameUnits = 260;
constexpr uint32_t kMaxNameBytes = kMaxNameUnits * 2;

// Whether a buffer of `size` valid bytes holds a first record at all.
bool HasFirstRecord(const uint8_t* buffer, uint32_t size);

// Steps from the record at `current` to the one its NextEntryOffset names; false, leaving `current`
// alone, when the offset is 0 or the next header would not lie wholly inside the valid bytes.
bool StepToNextRecord(const uint8_t* buffer, uint32_t size, uint32_t& current);

uint32_t RecordAction(const uint8_t* buffer, uint32_t current);

// Name bytes of the record at `current` that lie inside the valid bytes, whole UTF-16 units only,
// at most kMaxNameBytes.
uint32_t AvailableNameBytes(const uint8_t* buffer, uint32_t size, uint32_t current);

// Moves the record at `current` to the buffer start as its last record, with its name cut to what
// AvailableNameBytes gives, and returns the bytes kept.
uint32_t CarryRecordToStart(uint8_t* buffer, uint32_t size, uint32_t current);

// Links a carried record of `keepBytes` bytes to the DWORD-aligned position where the next read's
// records will begin and returns that position (0 when nothing was carried).
uint32_t LinkCarriedRecord(uint8_t* buffer, uint32_t bufferSize, uint32_t keepBytes);

} // namespace notify_walk
