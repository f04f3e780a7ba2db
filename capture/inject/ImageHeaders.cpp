#include "capture/inject/ImageHeaders.h"

#include "capture/inject/RemoteMemory.h"

#include <algorithm>
#include <cstddef>

namespace capture {
namespace {

#if defined(_WIN64)
constexpr WORD kCallerMachine = IMAGE_FILE_MACHINE_AMD64;
constexpr bool kCallerPe32Plus = true;
#else
constexpr WORD kCallerMachine = IMAGE_FILE_MACHINE_I386;
constexpr bool kCallerPe32Plus = false;
#endif

// Far beyond any linker's choice; a larger offset is taken for a damaged header.
constexpr LONG kMaxNtHeadersOffset = 0x10000;

// What PE32 and PE32+ headers share: the signature, the file header and the optional header's magic.
struct NtHeadersStart {
    DWORD signature;
    IMAGE_FILE_HEADER file;
    WORD magic;
};

constexpr size_t kOptionalHeaderOffset = offsetof(IMAGE_NT_HEADERS32, OptionalHeader);
static_assert(kOptionalHeaderOffset == offsetof(IMAGE_NT_HEADERS64, OptionalHeader),
              "both header formats place the optional header alike");

template <typename OptionalHeader>
InjectionResult ReadOptionalHeader(HANDLE process, uintptr_t at, WORD declaredSize, RemoteImage& image) {
    constexpr size_t kFixedPart = offsetof(OptionalHeader, DataDirectory);
    if (declaredSize < kFixedPart)
        return InjectionResult::NotAnImage;
    OptionalHeader optional{};
    if (!ReadRemote(process, at, optional))
        return InjectionResult::ProcessUnreadable;
    const DWORD fitting = static_cast<DWORD>((declaredSize - kFixedPart) / sizeof(IMAGE_DATA_DIRECTORY));
    image.directoryCount = std::min(
        {optional.NumberOfRvaAndSizes, fitting, static_cast<DWORD>(IMAGE_NUMBEROF_DIRECTORY_ENTRIES)});
    if (image.directoryCount <= IMAGE_DIRECTORY_ENTRY_IMPORT || optional.SizeOfImage == 0)
        return InjectionResult::NotAnImage;
    image.sizeOfImage = optional.SizeOfImage;
    image.directories = at + kFixedPart;
    image.imports = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (image.directoryCount > IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR)
        image.comDescriptor = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR];
    return kStepDone;
}

} // namespace

InjectionResult ReadImageHeaders(HANDLE process, uintptr_t base, RemoteImage& image) {
    IMAGE_DOS_HEADER dos{};
    if (!ReadRemote(process, base, dos))
        return InjectionResult::ProcessUnreadable;
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < static_cast<LONG>(sizeof dos) ||
        dos.e_lfanew > kMaxNtHeadersOffset)
        return InjectionResult::NotAnImage;
    const uintptr_t ntHeaders = base + static_cast<uintptr_t>(dos.e_lfanew);
    NtHeadersStart start{};
    if (!ReadRemote(process, ntHeaders, start))
        return InjectionResult::ProcessUnreadable;
    if (start.signature != IMAGE_NT_SIGNATURE)
        return InjectionResult::NotAnImage;
    image.base = base;
    image.machine = start.file.Machine;
    const uintptr_t optional = ntHeaders + kOptionalHeaderOffset;
    const WORD declaredSize = start.file.SizeOfOptionalHeader;
    if (start.magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        image.pe32Plus = true;
        return ReadOptionalHeader<IMAGE_OPTIONAL_HEADER64>(process, optional, declaredSize, image);
    }
    if (start.magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC)
        return ReadOptionalHeader<IMAGE_OPTIONAL_HEADER32>(process, optional, declaredSize, image);
    return InjectionResult::NotAnImage;
}

InjectionResult RefuseIlOnly(HANDLE process, const RemoteImage& image) {
    if (image.comDescriptor.VirtualAddress == 0)
        return kStepDone;
    IMAGE_COR20_HEADER runtimeHeader{};
    if (!ReadRemote(process, image.base + image.comDescriptor.VirtualAddress, runtimeHeader))
        return InjectionResult::NotAnImage;
    return (runtimeHeader.Flags & COMIMAGE_FLAGS_ILONLY) != 0 ? InjectionResult::ManagedImage : kStepDone;
}

InjectionResult RefuseOtherMachine(const RemoteImage& image) {
    return image.machine == kCallerMachine && image.pe32Plus == kCallerPe32Plus
               ? kStepDone
               : InjectionResult::OtherBitness;
}

} // namespace capture
