// What the sample setup installs, and how it takes it away again.
#pragma once

#include <string>

namespace sample {

// The application folder below the program-files folder, and the shortcut on the common desktop.
std::string ApplicationFolder();
std::string DesktopShortcut();

// Both answer 0 on success; on failure they print one line to standard error and answer 1.
// `secondVersion` installs 2.0.0, which differs from 1.0.0 as a new release would: a larger
// catalog, a themes file instead of the templates, a new value, a new feature, other version data.
int Install(bool secondVersion = false);
int Uninstall();

} // namespace sample
