// The pairing rule of one walk, free of Win32 so that the native fuzz lane runs the engine's own
// rule: every record is handed on in order, an old name is paired with the record after it, and an
// old name that ends the buffer is carried to the buffer start to meet its partner in the next read.
//
// `Records` walks one buffer: Action() of the current record, Next() to step (false at the end),
// CarryCurrentToStart() returning the bytes kept. `Handler` takes Name(records) of the current
// record, Single(action, name) for an added, removed or modified one, Renamed(oldName, newName).
#pragma once

#include <cstdint>
#include <new>

namespace record_pairing {

constexpr uint32_t kAdded = 1;
constexpr uint32_t kModified = 3;
constexpr uint32_t kRenamedOldName = 4;

// Returns the bytes carried to the buffer start (0 when the buffer ended on a paired record).
template <class Records, class Handler>
uint32_t PairRecords(Records& records, Handler& handler) {
    uint32_t keepBytes = 0;
    do {
        try {
            const uint32_t action = records.Action();
            if (action == kRenamedOldName) {
                auto oldName = handler.Name(records);
                if (records.Next())
                    handler.Renamed(oldName, handler.Name(records));
                else
                    keepBytes = records.CarryCurrentToStart();
            } else if (action >= kAdded && action <= kModified) {
                handler.Single(action, handler.Name(records));
            }
            // A lone new name, and actions this engine does not know, are skipped.
        } catch (const std::bad_alloc&) {
            // Out of memory for one path: that notification is lost, the walk goes on.
        }
    } while (records.Next());
    return keepBytes;
}

} // namespace record_pairing
