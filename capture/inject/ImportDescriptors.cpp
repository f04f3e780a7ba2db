#include "capture/inject/ImportDescriptors.h"

#include "capture/inject/RemoteMemory.h"

namespace capture {
namespace {

// Far more DLLs than any image imports; a table that long is taken for one without an end.
constexpr size_t kMaxImportDescriptors = 4096;

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

InjectionResult ReadImportDescriptors(HANDLE process, const RemoteImage& image,
                                      std::vector<IMAGE_IMPORT_DESCRIPTOR>& descriptors) {
    descriptors.clear();
    if (image.imports.VirtualAddress == 0)
        return kStepDone;
    uintptr_t at = image.base + image.imports.VirtualAddress;
    while (descriptors.size() < kMaxImportDescriptors) {
        IMAGE_IMPORT_DESCRIPTOR descriptor{};
        if (!ReadRemote(process, at, descriptor))
            return InjectionResult::NotAnImage;
        if (descriptor.Name == 0 || descriptor.FirstThunk == 0)
            return kStepDone;
        descriptors.push_back(descriptor);
        at += sizeof descriptor;
    }
    return InjectionResult::NotAnImage;
}

bool ImportNames(HANDLE process, const RemoteImage& image, const IMAGE_IMPORT_DESCRIPTOR& descriptor,
                 const std::string& dllName) {
    std::string named(dllName.size() + 1, '\0');
    if (!ReadRemote(process, image.base + descriptor.Name, &named[0], named.size()) || named.back() != '\0')
        return false;
    for (size_t i = 0; i < dllName.size(); ++i) {
        if (AsciiLower(named[i]) != AsciiLower(dllName[i]))
            return false;
    }
    return true;
}

} // namespace capture
