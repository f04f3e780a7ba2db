// The file and folder items of an undo plan, carried out on the file system. Paths name files as
// they are on disk: under WoW64 a 64-bit setup's "system32" file is in the native system folder.
#pragma once

#include "host/track/result/UndoItems.h"
#include "host/track/undo/UndoOutcome.h"

#include <string>

namespace track {

// Checks the item against the file as it is now and acts only when it is as the setup left it. A
// kept copy named relative is looked for below `planFolder` (UTF-8).
UndoOutcome UndoFileItem(const UndoItem& item, const std::string& planFolder);

} // namespace track
