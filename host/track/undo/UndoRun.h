// `orvane-track --undo PLAN`: reads an undo plan, checks all of it, then undoes item by item.
#pragma once

#include <functional>
#include <string>

namespace track {

constexpr int kUndoAllDone = 0;       // every item was done
constexpr int kUndoPlanUnusable = 1;  // the plan could not be read or has lines that cannot be used
constexpr int kUndoSomeLeftAlone = 2; // some items were left alone, each with its reason

// The largest plan read (a value's old and new data, in hex, can each take 32 MB).
constexpr unsigned long long kMaxUndoPlanBytes = 256ull << 20;

struct UndoReport {
    std::function<void(const std::string&)> line;    // one UTF-8 line per item, and a summary
    std::function<void(const std::string&)> problem; // a line about a plan that cannot be used
};

// `planPath` in the ANSI code page, as the command line gives it. A plan with any line that cannot
// be used changes nothing: each such line is reported with its number.
int RunUndo(const std::string& planPath, const UndoReport& report);

} // namespace track
