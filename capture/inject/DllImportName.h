// The name an import entry gives the loader for a DLL: a full path, in ASCII, since the loader reads an
// import entry's name as a narrow string.
#pragma once

#include "capture/inject/InjectionStep.h"

#include <string>

namespace capture {

// Whether there is a file, not a folder, at `path`.
bool IsFile(const std::wstring& path);

// The full path of `dllPath` when it is ASCII, else its short (8.3) form when that is. DllMissing when
// there is no file at the path, DllPathUnusable when neither form is ASCII.
InjectionResult ImportNameForDll(const std::wstring& dllPath, std::string& name);

// The choice itself, between an existing file's full path and its short form (empty when it has
// none): DllPathUnusable when neither is ASCII.
InjectionResult ChooseImportName(const std::wstring& fullPath, const std::wstring& shortPath,
                                 std::string& name);

} // namespace capture
