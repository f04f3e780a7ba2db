// Walking a block of log records as the registry-monitor driver returns them (see
// driver/RegmonProtocol.h for the framing). Pure: no system calls.
#pragma once

#include "driver/RegmonProtocol.h"
#include "registry/RawLineList.h"

#include <cstddef>

// Appends the text of every whole record in `block` to `lines`, in order, and answers how many.
// Records start only below `reported` and below `capacity` (the buffer's size), whatever the
// driver reported. A record whose text has no NUL before that limit is not taken, and ends the
// walk: nothing behind it can be located. The block is copied once; the lines are views into the
// copy.
size_t AppendLogRecords(const char* block, size_t reported, size_t capacity, RawLineList& lines);
