#include "host/track/output/AddedFiles.h"

#include "host/track/output/Reports.h"
#include "host/track/result/TextEncoding.h"

#include "common/Win32.h"
#include "common/Wow64.h"

namespace track {

namespace {

FileFacts FactsNow(const std::wstring& path) {
    FileFacts facts;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    // A setup of the other bitness wrote into the native folders that the recorded names name.
    const Wow64RedirectionOff nativeNames;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return facts;
    facts.exists = true;
    facts.size = (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    facts.writeTime =
        (std::uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    facts.attributes = data.dwFileAttributes;
    return facts;
}

} // namespace

std::vector<FileFacts> AddedFileFacts(const TrackResult& result) {
    std::vector<FileFacts> facts;
    facts.reserve(result.files.size());
    for (const std::string& path : result.files)
        facts.push_back(FactsNow(Utf8ToWide(Utf8Path(result, path))));
    return facts;
}

} // namespace track
