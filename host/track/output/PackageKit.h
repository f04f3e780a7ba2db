// The repackaging kit: every recorded file copied below DIR\files, and DIR\product.wxs, a Windows
// Installer source (WiX 3 schema, buildable with wixl) that installs those files under the standard
// folder of the watched folder each came from, and the recorded registry values.
#pragma once

#include "host/track/result/TrackResult.h"

#include <string>
#include <vector>

namespace track {

// A watched folder and the Windows Installer folder that stands for it.
struct PackageRoot {
    std::string path;        // UTF-8, as the shell names it on this machine
    std::string directoryId; // "ProgramFilesFolder", "WindowsFolder", "StartMenuFolder", "DesktopFolder"
    std::string token;       // the subfolder of DIR\files: "pf", "win", "menu", "desk", ...
};

// The six watched folders of this machine.
std::vector<PackageRoot> MachinePackageRoots();

// The source, for files already copied to files\<token>\<relative path>. A file below none of the
// roots, and a registry value whose type Windows Installer cannot write (REG_QWORD and others), is
// left out with an XML comment saying so. A value the machine had before the setup is never
// overwritten: a changed environment variable (HKCU\Environment, or the system's in HKLM) whose new
// data is the old with ";part" appended or "part;" put first becomes an Environment element that
// adds the same part to the target machine's variable; any other changed value, a deleted or
// unchanged one, and one whose old data is unknown, is left out with a comment saying why.
std::string FormatProductWxs(const TrackResult& result, const std::vector<PackageRoot>& roots);

// DIR/build-msi.sh: builds product.msi with wixl, then gives REG_BINARY and REG_EXPAND_SZ values
// the type marks of Windows Installer's registry notation ("#x", "#%"), which wixl (0.101) leaves
// out of the Registry table, with msibuild from the same tools. wixl cannot compile Environment
// elements: it gets the source without them, and msibuild adds their Environment rows and the
// actions that carry them out.
std::string FormatBuildScript(const TrackResult& result);

// Builds the kit in a temporary folder beside `dir` and renames it into place. `dir` must not
// exist, or be an empty folder. On failure `error` says why and nothing is left.
bool WritePackage(const std::string& dir, const TrackResult& result, std::string& error);

// Refuses a kit folder that cannot be used, before the setup runs.
bool CheckPackageFolder(const std::string& dir, std::string& error);

} // namespace track
