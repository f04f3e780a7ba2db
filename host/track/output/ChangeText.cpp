#include "host/track/output/ChangeText.h"

#include "host/track/result/Base64.h"
#include "host/track/result/RegistryData.h"
#include "host/track/result/TextEncoding.h"

#include "common/Win32.h"

#include <algorithm>
#include <cstdio>

namespace track {

namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;

// The civil date of a day counted from 1970-01-01 (proleptic Gregorian), in whole 400-year eras.
void CivilDate(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    day = static_cast<unsigned>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    month = static_cast<unsigned>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

std::string FormatTime(std::uint64_t fileTime, const char* format) {
    const std::int64_t seconds =
        static_cast<std::int64_t>(fileTime / kTicksPerSecond) - kSecondsFrom1601To1970;
    const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const std::int64_t inDay = seconds - days * 86400;
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilDate(days, year, month, day);
    char text[64];
    std::snprintf(text, sizeof text, format, static_cast<long long>(year), month, day,
                  static_cast<unsigned>(inDay / 3600), static_cast<unsigned>(inDay / 60 % 60),
                  static_cast<unsigned>(inDay % 60));
    return text;
}

bool IsStringType(std::uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

} // namespace

const char* ChangeName(ValueChange change) {
    switch (change) {
    case ValueChange::New:
        return "new";
    case ValueChange::Changed:
        return "changed";
    case ValueChange::Deleted:
        return "deleted";
    case ValueChange::Unchanged:
        return "unchanged";
    default:
        return "old data unknown";
    }
}

std::vector<std::uint8_t> OldDataAsUtf8(const OldData& before) {
    if (!IsStringType(before.type))
        return before.bytes;
    std::wstring wide;
    for (size_t i = 0; i + 1 < before.bytes.size(); i += 2)
        wide.push_back(static_cast<wchar_t>(before.bytes[i] | (before.bytes[i + 1] << 8)));
    const std::string utf8 = WideToUtf8(wide);
    return std::vector<std::uint8_t>(utf8.begin(), utf8.end());
}

std::string DescribeOldData(const OldData& before) {
    return DescribeRegistryData(before.type, EncodeBase64(OldDataAsUtf8(before)));
}

size_t DeletedValues(const TrackResult& result) {
    return static_cast<size_t>(
        std::count_if(result.registry.begin(), result.registry.end(),
                      [](const RegistryValue& value) { return value.change == ValueChange::Deleted; }));
}

std::string IsoTime(std::uint64_t fileTime) {
    return fileTime == 0 ? std::string() : FormatTime(fileTime, "%04lld-%02u-%02uT%02u:%02u:%02uZ");
}

std::string DescribeFacts(const FileFacts& facts) {
    return std::to_string(facts.size) + (facts.size == 1 ? " byte, " : " bytes, ") +
           (facts.writeTime == 0 ? std::string("time unknown")
                                 : FormatTime(facts.writeTime, "%04lld-%02u-%02u %02u:%02u:%02u UTC"));
}

} // namespace track
