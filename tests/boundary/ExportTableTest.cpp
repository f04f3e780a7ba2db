// Reads the export tables of both architectures' Orvane.dll from their files and finds the three
// exports under their decorated member names: the DLL of this test's own build first, then its
// sibling of the other architecture.
#include "common/UniqueHandle.h"
#include "include/OrvaneExportNames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_dllPaths;

std::vector<unsigned char> ReadWholeFile(const std::string& path) {
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    std::vector<unsigned char> bytes;
    if (!file)
        return bytes;
    LARGE_INTEGER size{};
    ::GetFileSizeEx(file.get(), &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    return bytes;
}

// A minimal PE reader: enough to map RVAs through the section table and list export names.
class PeImage {
public:
    explicit PeImage(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}

    template <typename T>
    bool Read(size_t offset, T& out) const {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T))
            return false;
        std::memcpy(&out, bytes_.data() + offset, sizeof(T));
        return true;
    }

    bool Parse(WORD& machine, std::set<std::string>& exports) const {
        IMAGE_DOS_HEADER dos;
        if (!Read(0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE)
            return false;
        const size_t nt = static_cast<size_t>(dos.e_lfanew);
        DWORD signature = 0;
        IMAGE_FILE_HEADER fileHeader;
        if (!Read(nt, signature) || signature != IMAGE_NT_SIGNATURE || !Read(nt + 4, fileHeader))
            return false;
        machine = fileHeader.Machine;
        const size_t optional = nt + 4 + sizeof(IMAGE_FILE_HEADER);
        WORD magic = 0;
        Read(optional, magic);
        IMAGE_DATA_DIRECTORY exportDirectory{};
        if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
            IMAGE_OPTIONAL_HEADER32 header;
            if (!Read(optional, header))
                return false;
            exportDirectory = header.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        } else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
            IMAGE_OPTIONAL_HEADER64 header;
            if (!Read(optional, header))
                return false;
            exportDirectory = header.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        } else {
            return false;
        }
        sections_ = optional + fileHeader.SizeOfOptionalHeader;
        sectionCount_ = fileHeader.NumberOfSections;

        IMAGE_EXPORT_DIRECTORY directory;
        if (!Read(ToOffset(exportDirectory.VirtualAddress), directory))
            return false;
        for (DWORD i = 0; i < directory.NumberOfNames; ++i) {
            DWORD nameRva = 0;
            if (!Read(ToOffset(directory.AddressOfNames) + i * 4, nameRva))
                return false;
            exports.insert(ReadString(ToOffset(nameRva)));
        }
        return true;
    }

private:
    size_t ToOffset(DWORD rva) const {
        for (WORD i = 0; i < sectionCount_; ++i) {
            IMAGE_SECTION_HEADER section;
            if (!Read(sections_ + i * sizeof section, section))
                break;
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize)
                return rva - section.VirtualAddress + section.PointerToRawData;
        }
        return bytes_.size(); // makes every read fail
    }

    std::string ReadString(size_t offset) const {
        std::string text;
        while (offset < bytes_.size() && bytes_[offset] != 0)
            text.push_back(static_cast<char>(bytes_[offset++]));
        return text;
    }

    std::vector<unsigned char> bytes_;
    mutable size_t sections_ = 0;
    mutable WORD sectionCount_ = 0;
};

const char* const kDecoratedExports[] = {
    orvane_exports::kCreateOrvane,
    orvane_exports::kDestroyOrvane,
    orvane_exports::kIsEliminatePath,
};

#ifdef _WIN64
const WORD kExpectedMachines[] = {IMAGE_FILE_MACHINE_AMD64, IMAGE_FILE_MACHINE_I386};
#else
const WORD kExpectedMachines[] = {IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_AMD64};
#endif

TEST(ExportTables, BothArchitecturesExportTheThreeMembersByDecoratedName) {
    ASSERT_EQ(g_dllPaths.size(), 2u) << "usage: export_table_tests OWN_BUILD_DLL OTHER_ARCHITECTURE_DLL";
    for (size_t i = 0; i < g_dllPaths.size(); ++i) {
        PeImage image(ReadWholeFile(g_dllPaths[i]));
        WORD machine = 0;
        std::set<std::string> exports;
        ASSERT_TRUE(image.Parse(machine, exports)) << g_dllPaths[i];
        EXPECT_EQ(machine, kExpectedMachines[i]) << g_dllPaths[i];
        for (const char* name : kDecoratedExports)
            EXPECT_EQ(exports.count(name), 1u) << name << " missing from " << g_dllPaths[i];
    }
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        g_dllPaths.push_back(argv[i]);
    return RUN_ALL_TESTS();
}
