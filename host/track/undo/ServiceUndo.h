// A service the setup made, forgotten by the service manager: the undo deletes the service's key
// value by value like any other key, but the manager keeps the services it knows in memory until the
// system restarts. Asked only once the key is gone, that is once every value and subkey the setup
// left was removed and nothing else was there, so that a service changed since is left as it is.
#pragma once

#include "host/track/result/UndoItems.h"
#include "host/track/undo/UndoOutcome.h"

namespace track {

UndoOutcome UndoServiceItem(const UndoItem& item);

// A service the setup made, stopped before the undo removes files: a running service holds its
// program, which could not be deleted. One that is not running is done as it is; one that does not
// stop within a bound is left running and named, and the undo goes on.
UndoOutcome StopServiceItem(const UndoItem& item);

} // namespace track
