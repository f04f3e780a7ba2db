// The registry items of an undo plan, carried out on the registry. Keys are named by their physical
// path (HKLM\Software\Wow6432Node\... is the 32-bit programs' key) and opened in the 64-bit view,
// so that a name means the same key to a 32-bit and a 64-bit tracker.
#pragma once

#include "host/track/result/UndoItems.h"
#include "host/track/undo/UndoOutcome.h"

namespace track {

// Checks the item against what the registry holds now and acts only when it still holds what the
// setup left. Values are written with their exact type and bytes.
UndoOutcome UndoRegistryItem(const UndoItem& item);

} // namespace track
