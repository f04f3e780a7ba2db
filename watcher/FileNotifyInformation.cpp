// The walk over one read's FILE_NOTIFY_INFORMATION records. Records are read field by field with
// memcpy: the system pads them to DWORD boundaries on Windows but not under every implementation,
// and a corrupt NextEntryOffset may point anywhere. Every access is checked against the valid size.
#include "watcher/DirectoryChanges.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD kNextEntryOffsetField = 0;
constexpr DWORD kActionField = 4;
constexpr DWORD kFileNameLengthField = 8;
constexpr DWORD kFileNameField = 12;
// The header size the system's own structure declares: 12 bytes of fields and a one-unit name.
constexpr DWORD kRecordHeaderLess2 = 14;
constexpr DWORD kMaxNameUnits = 260;
constexpr DWORD kMaxNameBytes = kMaxNameUnits * sizeof(WCHAR);

DWORD ReadField(const BYTE* record, DWORD offset) {
    DWORD value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

void WriteField(BYTE* record, DWORD offset, DWORD value) {
    std::memcpy(record + offset, &value, sizeof value);
}

UINT ChooseConversionCodePage() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (::GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
        version.dwMajorVersion > 4)
        return CP_THREAD_ACP;
    char text[16] = {};
    if (::GetLocaleInfoA(::GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, text, sizeof text) > 0) {
        const unsigned long codePage = std::strtoul(text, nullptr, 10);
        if (codePage != 0)
            return static_cast<UINT>(codePage);
    }
    return ::GetACP();
}

// Chosen once per process, on first use.
UINT ConversionCodePage() {
    static const UINT codePage = ChooseConversionCodePage();
    return codePage;
}

} // namespace

CFileNotifyInformation::CFileNotifyInformation(BYTE* buffer, DWORD size, DebugNameWriter* debugNames)
    : bufferStart_(buffer), bufferSize_(buffer != nullptr ? size : 0),
      current_(buffer != nullptr && size >= kFileNameField ? buffer : nullptr), debugNames_(debugNames) {}

// The candidate must leave room for a whole header inside the valid bytes; offsets only grow, so
// the walk always ends.
BOOL CFileNotifyInformation::MoveToNextRecord() {
    if (current_ == nullptr)
        return FALSE;
    const DWORD step = ReadField(current_, kNextEntryOffsetField);
    if (step == 0)
        return FALSE;
    const ULONGLONG candidate = ULONGLONG(current_ - bufferStart_) + step;
    if (candidate + kFileNameField > bufferSize_)
        return FALSE;
    current_ = bufferStart_ + candidate;
    return TRUE;
}

DWORD CFileNotifyInformation::GetCurrentAction() const {
    return current_ != nullptr ? ReadField(current_, kActionField) : 0;
}

// Name bytes of the current record that lie inside the valid bytes, whole UTF-16 units only.
static DWORD AvailableNameBytes(const BYTE* start, DWORD size, const BYTE* record) {
    const DWORD room = size - DWORD(record - start) - kFileNameField;
    return std::min(ReadField(record, kFileNameLengthField), room) & ~DWORD(1);
}

std::string CFileNotifyInformation::GetCurrentFileName() const {
    if (current_ == nullptr)
        return std::string();
    WCHAR wide[kMaxNameUnits + 1] = {};
    const DWORD nameBytes = std::min(AvailableNameBytes(bufferStart_, bufferSize_, current_), kMaxNameBytes);
    std::memcpy(wide, current_ + kFileNameField, nameBytes);
    if (debugNames_ != nullptr)
        debugNames_->Write(wide);
    else
        ::OutputDebugStringW(wide);
    // Room for the widest code pages (four bytes per unit) rather than the two a DBCS page needs.
    char narrow[4 * (kMaxNameUnits + 1)];
    const int written =
        ::WideCharToMultiByte(ConversionCodePage(), 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
    if (written <= 0)
        return std::string();
    return std::string(narrow, size_t(written) - 1);
}

std::string CFileNotifyInformation::GetCurrentFilePath(const std::string& directory) const {
    std::string path = directory;
    if (!EndsWithBackslash(directory))
        path += '\\';
    path += GetCurrentFileName();
    return path;
}

// A carried name is cut to the 260 units that its conversion keeps anyway, which bounds the carry
// to a few hundred bytes whatever the record claims. keepBytes is the system structure's header
// size plus the name, or what is left of the valid bytes when the last record ends sooner (records
// are not always padded).
BOOL CFileNotifyInformation::CopyCurrentRecordToBeginningOfBuffer(DWORD& keepBytes) {
    if (current_ == nullptr)
        return FALSE;
    const DWORD nameBytes = std::min(AvailableNameBytes(bufferStart_, bufferSize_, current_), kMaxNameBytes);
    const DWORD room = bufferSize_ - DWORD(current_ - bufferStart_);
    keepBytes = std::min(kRecordHeaderLess2 + nameBytes, room);
    if (current_ != bufferStart_) {
        std::memmove(bufferStart_, current_, keepBytes);
        current_ = bufferStart_;
    }
    WriteField(bufferStart_, kNextEntryOffsetField, 0);
    WriteField(bufferStart_, kFileNameLengthField, nameBytes);
    return TRUE;
}

DWORD PrepareNextRead(BYTE* buffer, DWORD bufferSize, DWORD keepBytes) {
    if (buffer == nullptr || keepBytes < kFileNameField || keepBytes >= bufferSize)
        return 0;
    const DWORD nextRead = (keepBytes + 3) & ~DWORD(3);
    if (nextRead >= bufferSize)
        return 0;
    std::memset(buffer + keepBytes, 0, nextRead - keepBytes);
    WriteField(buffer, kNextEntryOffsetField, nextRead);
    return nextRead;
}
