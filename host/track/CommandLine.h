// Rebuilding a command line from separate arguments, so that the child's own parser (the C
// run-time's, or CommandLineToArgvW) hands it exactly those arguments again.
#pragma once

#include <string>
#include <vector>

namespace track {

// One argument, quoted only when it needs to be: backslashes are doubled only where they come
// before a quote character, as the Windows argument rules require.
std::string QuoteArgument(const std::string& argument);

std::string BuildCommandLine(const std::vector<std::string>& arguments);

} // namespace track
