#include "boundary/EmptyRecorder.h"

// The class is header-only; this unit keeps its vtable in the library.
