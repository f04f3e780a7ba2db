// The import table an injection writes beside the image: a descriptor for the injected DLL first, the
// image's own descriptors after it unchanged, the terminator; then the DLL's name, and its lookup and
// address tables, each naming ordinal 1 and ending in a zero entry.
#pragma once

#include "common/Win32.h"

#include <cstddef>
#include <string>
#include <vector>

namespace capture {

constexpr WORD kInjectedOrdinal = 1;

struct ImportBlockLayout {
    size_t descriptorsSize; // the new descriptor array, terminator included: the import entry's size
    size_t nameOffset;
    size_t lookupOffset;  // the import lookup table, which the loader reads
    size_t addressOffset; // the import address table, which the loader fills in
    size_t size;
};

ImportBlockLayout LayOutImportBlock(size_t originalCount, size_t nameLength, bool pe32Plus);

// The block's bytes for a block placed at `blockRva` from the image base.
std::vector<BYTE> BuildImportBlock(const ImportBlockLayout& layout,
                                   const std::vector<IMAGE_IMPORT_DESCRIPTOR>& originals,
                                   const std::string& dllName, bool pe32Plus, DWORD blockRva);

} // namespace capture
