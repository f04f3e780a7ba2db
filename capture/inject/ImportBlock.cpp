#include "capture/inject/ImportBlock.h"

#include <cstdint>
#include <cstring>

namespace capture {
namespace {

size_t ThunkSize(bool pe32Plus) {
    return pe32Plus ? sizeof(IMAGE_THUNK_DATA64) : sizeof(IMAGE_THUNK_DATA32);
}

size_t AlignUp(size_t value, size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// A thunk that imports by ordinal, in the image's width; little-endian, so the low bytes of the 64-bit
// value are the 32-bit one.
void WriteOrdinalThunk(BYTE* at, bool pe32Plus) {
    const uint64_t thunk =
        pe32Plus ? (IMAGE_ORDINAL_FLAG64 | kInjectedOrdinal) : (IMAGE_ORDINAL_FLAG32 | kInjectedOrdinal);
    std::memcpy(at, &thunk, ThunkSize(pe32Plus));
}

} // namespace

ImportBlockLayout LayOutImportBlock(size_t originalCount, size_t nameLength, bool pe32Plus) {
    ImportBlockLayout layout{};
    layout.descriptorsSize = (originalCount + 2) * sizeof(IMAGE_IMPORT_DESCRIPTOR);
    layout.nameOffset = layout.descriptorsSize;
    const size_t thunkSize = ThunkSize(pe32Plus);
    layout.lookupOffset = AlignUp(layout.nameOffset + nameLength + 1, thunkSize);
    layout.addressOffset = layout.lookupOffset + 2 * thunkSize;
    layout.size = layout.addressOffset + 2 * thunkSize;
    return layout;
}

std::vector<BYTE> BuildImportBlock(const ImportBlockLayout& layout,
                                   const std::vector<IMAGE_IMPORT_DESCRIPTOR>& originals,
                                   const std::string& dllName, bool pe32Plus, DWORD blockRva) {
    std::vector<BYTE> block(layout.size, 0);
    IMAGE_IMPORT_DESCRIPTOR injected{};
    injected.OriginalFirstThunk = blockRva + static_cast<DWORD>(layout.lookupOffset);
    injected.Name = blockRva + static_cast<DWORD>(layout.nameOffset);
    injected.FirstThunk = blockRva + static_cast<DWORD>(layout.addressOffset);
    std::memcpy(block.data(), &injected, sizeof injected);
    if (!originals.empty())
        std::memcpy(block.data() + sizeof injected, originals.data(),
                    originals.size() * sizeof(IMAGE_IMPORT_DESCRIPTOR));
    std::memcpy(block.data() + layout.nameOffset, dllName.c_str(), dllName.size() + 1);
    WriteOrdinalThunk(block.data() + layout.lookupOffset, pe32Plus);
    WriteOrdinalThunk(block.data() + layout.addressOffset, pe32Plus);
    return block;
}

} // namespace capture
