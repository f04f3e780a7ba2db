// Under Wine, a subtree watch reports changes only in folders that Wine already knows as watched:
// the watched folder itself, folders created after the watch began, and existing folders that some
// process opened or listed after the watch's first read was issued. Listing every existing
// subfolder once, right after the recorder starts and before the setup runs, makes Wine report
// what Windows reports. On Windows nothing of this runs.
#pragma once

#include "common/Win32.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace track {

// True when this process runs under Wine (its ntdll exports wine_get_version).
bool RunningUnderWine();

struct PrimeLimits {
    size_t maxFolders = 200000;
    DWORD maxMilliseconds = 120000;
};

struct PrimeResult {
    size_t folders = 0; // existing folders listed below the roots, the roots not counted
    double seconds = 0;
    bool complete = true; // false when a limit stopped the walk early
};

// Lists every folder below `roots`, breadth first, skipping reparse points (links could make the
// walk endless). `progress` is called after each folder with the count so far and the elapsed time.
PrimeResult PrimeExistingSubfolders(const std::vector<std::string>& roots, const PrimeLimits& limits,
                                    const std::function<void(size_t, double)>& progress);

// The folders the recorder watches, as the shell names them for this process: the six, and under
// WoW64 the native program-files folder.
std::vector<std::string> WatchedFolders();

} // namespace track
