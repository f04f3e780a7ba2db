// What the undo did with one item of its plan, as the line it prints for it.
#pragma once

#include "host/track/result/UndoItems.h"

#include <string>

namespace track {

// Why an item that changed again since the setup is left alone.
constexpr const char* kNoLongerAsLeft = "it no longer holds what the setup left";

struct UndoOutcome {
    bool done = false;
    std::string line; // UTF-8, without a line end
};

// "restored value HKCU\...", "deleted file C:\...", "re-created key HKCU\...".
inline UndoOutcome Done(const char* verb, const UndoItem& item) {
    return UndoOutcome{true, std::string(verb) + " " + UndoTarget(item)};
}

// "left alone: value HKCU\... (why)".
inline UndoOutcome LeftAlone(const UndoItem& item, const std::string& why) {
    return UndoOutcome{false, "left alone: " + UndoTarget(item) + " (" + why + ")"};
}

inline std::string ErrorText(const char* what, unsigned long code) {
    return std::string(what) + ": error " + std::to_string(code);
}

} // namespace track
