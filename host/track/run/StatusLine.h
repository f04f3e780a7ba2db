// The progress line shown while the setup runs: elapsed time and files seen so far, rewritten in
// place. Written only when standard output is a terminal, so that redirected reports stay clean.
#pragma once

#include "common/Win32.h"

#include <cstddef>
#include <string>

namespace track {

class StatusLine {
public:
    StatusLine();
    ~StatusLine() { Clear(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // Rewrites the line at most every 250 ms.
    void Update(double seconds, size_t files, const char* phase);
    // The same for a line of the caller's own wording.
    void Show(const std::string& text);
    // Removes the line, so that the report starts on a clean line.
    void Clear();

    static bool StandardOutputIsTerminal();

private:
    bool enabled_;
    size_t shownWidth_ = 0;
    ULONGLONG lastUpdate_ = 0;
};

} // namespace track
