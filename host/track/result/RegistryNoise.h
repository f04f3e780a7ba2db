// Registry values a setup's processes write that do not belong to the product: caches and state the
// system's own libraries keep while any program runs (the shell's folder cache, view state, random
// seeds), and Windows Installer's bookkeeping of what it installed. The capture sees every write of
// the setup's processes, these included; the report lists them apart, as it lists noise files.
#pragma once

#include <string>

namespace track {

// Why the value at `path` (as the library records it: "HKLM\...", "HKCU\...", "HKEY_USERS\<sid>\...")
// is noise, or empty when it belongs to the setup. Letter case does not matter; a 32-bit program's
// physical "Wow6432Node" key counts as the key it stands for.
std::string RegistryNoiseReason(const std::string& path);

} // namespace track
