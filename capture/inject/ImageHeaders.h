// The headers of a process's main image as an import injection needs them: its bitness, its size, and
// where the data directories are (the import entry is rewritten in place).
#pragma once

#include "capture/inject/InjectionStep.h"

#include "common/Win32.h"

#include <cstdint>

namespace capture {

struct RemoteImage {
    uintptr_t base = 0;
    WORD machine = 0;
    DWORD sizeOfImage = 0;
    bool pe32Plus = false;
    uintptr_t directories = 0; // the remote address of the optional header's DataDirectory[0]
    DWORD directoryCount = 0;  // as many as the header holds, at most IMAGE_NUMBEROF_DIRECTORY_ENTRIES
    IMAGE_DATA_DIRECTORY imports{};
    IMAGE_DATA_DIRECTORY comDescriptor{};
};

// Reads the DOS and NT headers of the image at `base`, PE32 or PE32+ whatever the caller's bitness: an
// IL-only image keeps its PE32 headers in a 64-bit process. NotAnImage when they are not those of an
// image with room for an import entry.
InjectionResult ReadImageHeaders(HANDLE process, uintptr_t base, RemoteImage& image);

// ManagedImage when the image is IL-only .NET: the loader hands such an image to the runtime and never
// walks its import table.
InjectionResult RefuseIlOnly(HANDLE process, const RemoteImage& image);

// OtherBitness unless the image's machine and header format are the caller's own.
InjectionResult RefuseOtherMachine(const RemoteImage& image);

} // namespace capture
