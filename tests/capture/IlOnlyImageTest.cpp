// An IL-only .NET image is refused: the loader hands it to the runtime without walking its imports. The
// image is a copy of the fixture target whose COM-descriptor entry points at the IL-only runtime header
// the target carries (InjectFixture.h); it is only ever created suspended, never run.
#include "capture/inject/ImportInjection.h"

#include "capture/inject/CaptureInjection.h"

#include "tests/capture/InjectTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using capture::InjectionResult;

std::vector<char> ReadWholeFile(const std::wstring& path) {
    const UniqueFile file(
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size))
        return {};
    std::vector<char> bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
        read != bytes.size())
        return {};
    return bytes;
}

bool WriteWholeFile(const std::wstring& path, const std::vector<char>& bytes) {
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file &&
           ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// The RVA of a file offset, from the section that holds it; 0 when none does.
DWORD RvaOfFileOffset(const std::vector<char>& image, size_t offset) {
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, image.data(), sizeof dos);
    IMAGE_NT_HEADERS nt;
    std::memcpy(&nt, image.data() + dos.e_lfanew, sizeof nt);
    const size_t sections =
        dos.e_lfanew + offsetof(IMAGE_NT_HEADERS, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section;
        std::memcpy(&section, image.data() + sections + i * sizeof section, sizeof section);
        if (offset >= section.PointerToRawData && offset < section.PointerToRawData + section.SizeOfRawData)
            return static_cast<DWORD>(section.VirtualAddress + (offset - section.PointerToRawData));
    }
    return 0;
}

// A copy of `target` whose COM-descriptor entry names the runtime header it carries; false when the
// header or its section cannot be found.
bool WriteIlOnlyCopy(const std::wstring& target, const std::wstring& copy) {
    std::vector<char> image = ReadWholeFile(target);
    const auto* marker = reinterpret_cast<const char*>(&inject_fixture::kIlOnlyRuntimeHeader);
    const auto found =
        std::search(image.begin(), image.end(), marker, marker + sizeof inject_fixture::kIlOnlyRuntimeHeader);
    if (image.size() < sizeof(IMAGE_DOS_HEADER) || found == image.end())
        return false;
    const DWORD rva = RvaOfFileOffset(image, static_cast<size_t>(found - image.begin()));
    if (rva == 0)
        return false;
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, image.data(), sizeof dos);
    const size_t entry = dos.e_lfanew + offsetof(IMAGE_NT_HEADERS, OptionalHeader) +
                         offsetof(IMAGE_OPTIONAL_HEADER, DataDirectory) +
                         IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR * sizeof(IMAGE_DATA_DIRECTORY);
    const IMAGE_DATA_DIRECTORY descriptor{rva, sizeof(IMAGE_COR20_HEADER)};
    std::memcpy(image.data() + entry, &descriptor, sizeof descriptor);
    return WriteWholeFile(copy, image);
}

TEST(IlOnlyImage, IsRefusedAsManaged) {
    test_support::TempDir dir("inject");
    const std::wstring folder = inject_test::Widen(dir.path());
    const std::wstring copy = folder + L"\\inject-fixture-ilonly.exe";
    ASSERT_TRUE(WriteIlOnlyCopy(inject_test::TargetIn(inject_test::BinFolder()), copy));
    inject_test::Child child(copy, L"", true);
    ASSERT_TRUE(child.started()) << "error " << ::GetLastError();
    const std::wstring payload = inject_test::PayloadIn(inject_test::BinFolder());
    const int bits = capture::ProcessBits(child.process());
    if (bits == inject_test::kCallerBits) {
        EXPECT_EQ(InjectionResult::ManagedImage, capture::InjectIntoSuspended(child.process(), payload));
        return;
    }
    // 64-bit Windows runs an IL-only image that does not require 32 bits as a 64-bit process, whatever
    // its header's format: the 64-bit injector program is the one to refuse it.
    ASSERT_EQ(64, bits);
    EXPECT_EQ(InjectionResult::OtherBitness, capture::InjectIntoSuspended(child.process(), payload));
    const std::wstring peer = inject_test::PeerBinFolder();
    if (peer.empty() || !inject_test::IsFile(inject_test::InjectorIn(peer, 64)))
        GTEST_SKIP() << "the 64-bit build's orvane-inject64.exe is not there to be asked";
    ASSERT_TRUE(inject_test::CopyTo(inject_test::InjectorIn(peer, 64), inject_test::InjectorIn(folder, 64)));
    ASSERT_TRUE(inject_test::CopyTo(inject_test::PayloadIn(peer), folder + L"\\orvane-capture64.dll"));
    const capture::CaptureAttempt attempt = capture::CaptureSuspendedProcess(child.process(), folder);
    EXPECT_EQ(capture::CaptureOutcome::Refused, attempt.outcome) << capture::DescribeCaptureAttempt(attempt);
    EXPECT_EQ(InjectionResult::ManagedImage, attempt.injection);
}

} // namespace
