// The walk over one read's FILE_NOTIFY_INFORMATION records: the byte-level steps live in
// NotifyRecordWalk, this file turns the current record's name into a narrow path.
#include "watcher/DirectoryChanges.h"
#include "watcher/NotifyRecordWalk.h"

#include <cstdlib>
#include <cstring>

namespace {

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

uint32_t OffsetOf(const BYTE* start, const BYTE* record) {
    return uint32_t(record - start);
}

} // namespace

CFileNotifyInformation::CFileNotifyInformation(BYTE* buffer, DWORD size, DebugNameWriter* debugNames)
    : bufferStart_(buffer), bufferSize_(buffer != nullptr ? size : 0),
      current_(notify_walk::HasFirstRecord(buffer, size) ? buffer : nullptr), debugNames_(debugNames) {}

BOOL CFileNotifyInformation::MoveToNextRecord() {
    if (current_ == nullptr)
        return FALSE;
    uint32_t offset = OffsetOf(bufferStart_, current_);
    if (!notify_walk::StepToNextRecord(bufferStart_, bufferSize_, offset))
        return FALSE;
    current_ = bufferStart_ + offset;
    return TRUE;
}

DWORD CFileNotifyInformation::GetCurrentAction() const {
    return current_ != nullptr ? notify_walk::RecordAction(bufferStart_, OffsetOf(bufferStart_, current_))
                               : 0;
}

std::string CFileNotifyInformation::GetCurrentFileName() const {
    if (current_ == nullptr)
        return std::string();
    WCHAR wide[notify_walk::kMaxNameUnits + 1] = {};
    const DWORD nameBytes =
        notify_walk::AvailableNameBytes(bufferStart_, bufferSize_, OffsetOf(bufferStart_, current_));
    std::memcpy(wide, current_ + notify_walk::kFileNameField, nameBytes);
    if (debugNames_ != nullptr)
        debugNames_->Write(wide);
    else
        ::OutputDebugStringW(wide);
    // Room for the widest code pages (four bytes per unit) rather than the two a DBCS page needs.
    char narrow[4 * (notify_walk::kMaxNameUnits + 1)];
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
// to a few hundred bytes whatever the record claims.
BOOL CFileNotifyInformation::CopyCurrentRecordToBeginningOfBuffer(DWORD& keepBytes) {
    if (current_ == nullptr)
        return FALSE;
    keepBytes = notify_walk::CarryRecordToStart(bufferStart_, bufferSize_, OffsetOf(bufferStart_, current_));
    current_ = bufferStart_;
    return TRUE;
}

DWORD PrepareNextRead(BYTE* buffer, DWORD bufferSize, DWORD keepBytes) {
    return notify_walk::LinkCarriedRecord(buffer, bufferSize, keepBytes);
}
