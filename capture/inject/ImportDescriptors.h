// The import descriptors of a process's main image, read as the loader reads them.
#pragma once

#include "capture/inject/ImageHeaders.h"

#include <string>
#include <vector>

namespace capture {

// The descriptors up to the first without a name or an address table, where the loader stops too.
// NotAnImage when the table cannot be read or has no end.
InjectionResult ReadImportDescriptors(HANDLE process, const RemoteImage& image,
                                      std::vector<IMAGE_IMPORT_DESCRIPTOR>& descriptors);

// Whether `descriptor` names `dllName` (ASCII; case does not matter, as to the loader).
bool ImportNames(HANDLE process, const RemoteImage& image, const IMAGE_IMPORT_DESCRIPTOR& descriptor,
                 const std::string& dllName);

} // namespace capture
