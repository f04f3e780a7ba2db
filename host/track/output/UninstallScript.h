// The undo script: a .cmd that undoes what a tracked run recorded by running
// `orvane-track --undo` on the run's undo plan, which is written beside it. The script lists what
// the plan does in rem lines, so a person can read it before running it.
#pragma once

#include "host/track/output/UndoPlan.h"
#include "host/track/result/TrackResult.h"

#include <string>
#include <vector>

namespace track {

// One name in a cmd script, as a double-quoted argument that cmd passes through untouched:
// spaces, &, ^, parentheses and ! are plain text inside quotes (delayed expansion is off), and %
// is doubled. A name holding a double quote cannot be written; the answer is then empty.
std::string QuoteForCmd(const std::string& utf8);

// The plan beside a script: "C:\x\undo.cmd" -> "C:\x\undo-undo-plan.txt".
std::string UndoPlanPathFor(const std::string& scriptPath);

// The script, in UTF-8 with CR LF line ends: rem lines naming each item of the plan, then
// `"TRACKER" --undo "PLAN"`, whose exit code it passes on (0 all done, 2 some left alone, 1 the plan
// cannot be used). Without the tracker at `trackerPath` it says so and exits 1. Both paths are
// absolute, UTF-8, as cmd should read them (see RunningProgramPath).
std::string FormatUninstallScript(const std::vector<UndoPlanLine>& plan, const std::string& trackerPath,
                                  const std::string& planPath);

// The full path of the running program: UTF-8, or its 8.3 form where the path goes beyond ASCII
// and has one, since cmd reads a script in the console's code page.
std::string RunningProgramPath();

// Makes the plan of `result`, reading the facts of the added files now, writes it beside
// `scriptPath` (whole or absent) and answers the script that runs it with `trackerPath`. On failure
// `error` says why.
bool WriteUndoPlanBeside(const std::string& scriptPath, const TrackResult& result,
                         const std::string& trackerPath, std::string& script, std::string& error);

} // namespace track
