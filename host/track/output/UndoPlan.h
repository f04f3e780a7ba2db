// The undo plan of a tracked run: what `orvane-track --undo` does to put back what the setup
// changed, made from the result alone. Values and files the setup changed get their old state back,
// what it deleted is made again, what it added is deleted; each item names what it must still find
// (the state the setup left) before it acts, so nothing that changed again since is touched. What
// cannot be put back (a value whose old data is unknown, a file whose old content was not kept) is
// named with the reason and left alone; values the setup left as they were get a comment.
#pragma once

#include "host/track/result/TrackResult.h"
#include "host/track/result/UndoItems.h"

#include <map>
#include <string>
#include <vector>

namespace track {

// One line of a plan: an item, or a comment when `item` is absent (`comment` holds its text).
struct UndoPlanLine {
    bool isItem = false;
    UndoItem item;
    std::string comment;
};

// The lines, in the order the undo must take them: changed and removed files restored, added files
// deleted, created folders removed (deepest first), changed values restored, new values deleted,
// created keys deleted (deepest first), deleted keys made again (shallowest first) and their values.
// `addedFiles` holds the facts of the added files when the plan is made (UTF-8 path -> facts; a file
// missing from it gets a comment). A kept copy below `planFolder` is named relative to it.
std::vector<UndoPlanLine> BuildUndoPlan(const TrackResult& result,
                                        const std::map<std::string, FileFacts>& addedFiles,
                                        const std::string& planFolder);

// The plan's text: header, a few comment lines about the run and the format, the lines, the end
// line. UTF-8 with CR LF line ends.
std::string FormatUndoPlan(const TrackResult& result, const std::vector<UndoPlanLine>& lines);

} // namespace track
