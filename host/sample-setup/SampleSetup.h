// What the sample setup installs, and how it takes it away again.
#pragma once

#include <string>

namespace sample {

// The application folder below the program-files folder, and the shortcut on the common desktop.
std::string ApplicationFolder();
std::string DesktopShortcut();

// Both answer 0 on success; on failure they print one line to standard error and answer 1.
int Install();
int Uninstall();

} // namespace sample
