#include "capture/inject/ImportInjection.h"

#include "capture/inject/DllImportName.h"
#include "capture/inject/ImageHeaders.h"
#include "capture/inject/ImportBlock.h"
#include "capture/inject/ImportDescriptors.h"
#include "capture/inject/MainImage.h"
#include "capture/inject/NearImageAllocation.h"
#include "capture/inject/RemoteMemory.h"

#include <algorithm>
#include <string>
#include <vector>

namespace capture {
namespace {

// Both or neither run under WoW64 exactly when both have the same bitness; on 32-bit Windows neither does.
InjectionResult RefuseOtherBitness(HANDLE process) {
    BOOL callerWow64 = FALSE;
    BOOL processWow64 = FALSE;
    if (!::IsWow64Process(::GetCurrentProcess(), &callerWow64) || !::IsWow64Process(process, &processWow64))
        return InjectionResult::ProcessUnreadable;
    return callerWow64 == processWow64 ? kStepDone : InjectionResult::OtherBitness;
}

// The span of the image's own address tables, from the first to the end of the last, for an image
// whose headers name none (NSIS's installers, for one); empty when the headers name one. Without that
// entry the NT loader finds the tables to unprotect through the section that holds the import table,
// and once the import entry points above the image, into no section, it refuses to start the process
// ("Unable to unprotect IAT", STATUS_INVALID_IMAGE_FORMAT).
InjectionResult OwnAddressTables(HANDLE process, const RemoteImage& image,
                                 const std::vector<IMAGE_IMPORT_DESCRIPTOR>& originals,
                                 IMAGE_DATA_DIRECTORY& tables) {
    tables = IMAGE_DATA_DIRECTORY{0, 0};
    if (image.directoryCount <= IMAGE_DIRECTORY_ENTRY_IAT)
        return kStepDone;
    IMAGE_DATA_DIRECTORY named{};
    if (!ReadRemote(process, image.directories + IMAGE_DIRECTORY_ENTRY_IAT * sizeof(IMAGE_DATA_DIRECTORY),
                    named))
        return InjectionResult::ProcessUnreadable;
    if (named.VirtualAddress != 0)
        return kStepDone;
    const DWORD entrySize = image.pe32Plus ? 8 : 4;
    DWORD first = image.sizeOfImage, end = 0;
    for (const IMAGE_IMPORT_DESCRIPTOR& descriptor : originals) {
        DWORD at = descriptor.FirstThunk;
        for (;;) {
            ULONGLONG entry = 0;
            if (at > image.sizeOfImage - entrySize ||
                !ReadRemote(process, image.base + at, &entry, entrySize))
                return InjectionResult::NotAnImage;
            at += entrySize;
            if (entry == 0)
                break;
        }
        first = std::min(first, descriptor.FirstThunk);
        end = std::max(end, at);
    }
    if (end > first)
        tables = IMAGE_DATA_DIRECTORY{first, end - first};
    return kStepDone;
}

// Points the import entry at the new table, empties the bound-import entry and, where the image names
// none, names its own address tables (OwnAddressTables), in one write: with bound imports left in
// place the loader would take the image's own address tables as already filled in and could pass
// over the new first entry.
InjectionResult PointImportsAt(HANDLE process, const RemoteImage& image, DWORD rva, DWORD size,
                               const IMAGE_DATA_DIRECTORY& tables) {
    const DWORD lastNeeded =
        tables.Size != 0 ? IMAGE_DIRECTORY_ENTRY_IAT : IMAGE_DIRECTORY_ENTRY_BOUND_IMPORT;
    const DWORD last = std::min<DWORD>(image.directoryCount - 1, lastNeeded);
    IMAGE_DATA_DIRECTORY entries[IMAGE_DIRECTORY_ENTRY_IAT + 1] = {};
    const size_t count = last - IMAGE_DIRECTORY_ENTRY_IMPORT + 1;
    const size_t bytes = count * sizeof(IMAGE_DATA_DIRECTORY);
    const uintptr_t at = image.directories + IMAGE_DIRECTORY_ENTRY_IMPORT * sizeof(IMAGE_DATA_DIRECTORY);
    if (!ReadRemote(process, at, entries, bytes))
        return InjectionResult::ProcessUnreadable;
    entries[0] = IMAGE_DATA_DIRECTORY{rva, size};
    if (last >= IMAGE_DIRECTORY_ENTRY_BOUND_IMPORT)
        entries[IMAGE_DIRECTORY_ENTRY_BOUND_IMPORT - IMAGE_DIRECTORY_ENTRY_IMPORT] =
            IMAGE_DATA_DIRECTORY{0, 0};
    if (last == IMAGE_DIRECTORY_ENTRY_IAT && tables.Size != 0)
        entries[IMAGE_DIRECTORY_ENTRY_IAT - IMAGE_DIRECTORY_ENTRY_IMPORT] = tables;
    const RemoteProtection writable(process, at, bytes, PAGE_READWRITE);
    if (!writable.changed() || !WriteRemote(process, at, entries, bytes))
        return InjectionResult::WriteRefused;
    return kStepDone;
}

InjectionResult WriteImports(HANDLE process, const RemoteImage& image,
                             const std::vector<IMAGE_IMPORT_DESCRIPTOR>& originals,
                             const std::string& dllName) {
    IMAGE_DATA_DIRECTORY tables{};
    InjectionResult result = OwnAddressTables(process, image, originals, tables);
    if (result != kStepDone)
        return result;
    const ImportBlockLayout layout = LayOutImportBlock(originals.size(), dllName.size(), image.pe32Plus);
    UniqueRemoteMemory block;
    result = AllocateWithinReachOfImage(process, image, layout.size, block);
    if (result != kStepDone)
        return result;
    const uintptr_t address = reinterpret_cast<uintptr_t>(block.get().address);
    // Modulo 4 GB: a block below a 32-bit image is reached the way its loader adds, wrapping around.
    const DWORD rva = static_cast<DWORD>(address - image.base);
    const std::vector<BYTE> bytes = BuildImportBlock(layout, originals, dllName, image.pe32Plus, rva);
    if (!WriteRemote(process, address, bytes.data(), bytes.size()))
        return InjectionResult::WriteRefused;
    result = PointImportsAt(process, image, rva, static_cast<DWORD>(layout.descriptorsSize), tables);
    if (result == kStepDone)
        block.release(); // the process's loader reads it when the process starts
    return result;
}

InjectionResult ReadInjectableImage(HANDLE process, RemoteImage& image) {
    InjectionResult result = RefuseOtherBitness(process);
    uintptr_t base = 0;
    if (result == kStepDone)
        result = FindMainImage(process, base);
    if (result == kStepDone)
        result = ReadImageHeaders(process, base, image);
    if (result == kStepDone)
        result = RefuseIlOnly(process, image);
    if (result == kStepDone)
        result = RefuseOtherMachine(image);
    return result;
}

} // namespace

const char* DescribeInjectionResult(InjectionResult result) {
    switch (result) {
    case InjectionResult::Injected:
        return "injected";
    case InjectionResult::DllMissing:
        return "the DLL is missing";
    case InjectionResult::DllPathUnusable:
        return "the DLL's path has no ASCII form an import entry could name";
    case InjectionResult::ProcessUnreadable:
        return "the process cannot be read";
    case InjectionResult::OtherBitness:
        return "the process is of the other bitness";
    case InjectionResult::NotAnImage:
        return "the process's main image has no valid headers";
    case InjectionResult::ManagedImage:
        return "the process is an IL-only .NET program";
    case InjectionResult::NoMemoryNearImage:
        return "no free memory within reach of the process's image";
    case InjectionResult::WriteRefused:
        return "the process's memory could not be written";
    case InjectionResult::AlreadyInjected:
        return "the DLL is already the process's first import";
    case InjectionResult::ProcessStarted:
        return "the process has already started";
    }
    return "unknown injection result";
}

InjectionResult InjectIntoSuspended(HANDLE process, const std::wstring& dllPath) {
    std::string dllName;
    InjectionResult result = ImportNameForDll(dllPath, dllName);
    RemoteImage image;
    if (result == kStepDone)
        result = ReadInjectableImage(process, image);
    std::vector<IMAGE_IMPORT_DESCRIPTOR> originals;
    if (result == kStepDone)
        result = ReadImportDescriptors(process, image, originals);
    if (result != kStepDone)
        return result;
    if (!originals.empty() && ImportNames(process, image, originals.front(), dllName))
        return InjectionResult::AlreadyInjected;
    return WriteImports(process, image, originals, dllName);
}

} // namespace capture
