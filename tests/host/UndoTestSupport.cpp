#include "tests/host/UndoTestSupport.h"

#include "host/track/result/TextEncoding.h"
#include "tests/support/TestSupport.h"

#include "common/UniqueHandle.h"

namespace undo_tests {

std::vector<std::uint8_t> WideBytes(const std::wstring& text, bool terminated) {
    std::vector<std::uint8_t> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    if (terminated)
        bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

bool SetExact(HKEY root, const std::string& subKey, const std::wstring& name, const track::ValueData& data,
              REGSAM view) {
    HKEY raw = nullptr;
    if (::RegCreateKeyExW(root, track::Utf8ToWide(subKey).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                          nullptr, &raw, nullptr) != ERROR_SUCCESS)
        return false;
    UniqueKey key(raw);
    std::vector<BYTE> buffer(data.bytes.begin(), data.bytes.end());
    buffer.insert(buffer.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    return ::RegSetValueExW(key.get(), name.c_str(), 0, data.type, buffer.data(),
                            static_cast<DWORD>(data.bytes.size())) == ERROR_SUCCESS;
}

bool GetExact(HKEY root, const std::string& subKey, const std::wstring& name, track::ValueData& data,
              REGSAM view) {
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(root, track::Utf8ToWide(subKey).c_str(), 0, KEY_QUERY_VALUE | view, &raw) !=
        ERROR_SUCCESS)
        return false;
    UniqueKey key(raw);
    DWORD type = 0, size = 0;
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    data.type = type;
    data.bytes.assign(size, 0);
    return size == 0 || (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, data.bytes.data(),
                                            &size) == ERROR_SUCCESS &&
                         size == data.bytes.size());
}

bool KeyExists(HKEY root, const std::string& subKey, REGSAM view) {
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(root, track::Utf8ToWide(subKey).c_str(), 0, KEY_QUERY_VALUE | view, &raw) !=
        ERROR_SUCCESS)
        return false;
    UniqueKey key(raw);
    return true;
}

std::uint64_t Time(const char* text) {
    std::uint64_t time = 0;
    track::ParseFileTime(text, time);
    return time;
}

bool WriteFileWithTime(const std::wstring& path, const std::string& content, std::uint64_t writeTime) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file ||
        !::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
        written != content.size())
        return false;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(writeTime);
    time.dwHighDateTime = static_cast<DWORD>(writeTime >> 32);
    return ::SetFileTime(file.get(), nullptr, nullptr, &time) != FALSE;
}

track::FileFacts FactsOf(const std::wstring& path) {
    track::FileFacts facts;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return facts;
    facts.exists = true;
    facts.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    facts.writeTime =
        (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
    facts.attributes = data.dwFileAttributes;
    return facts;
}

std::string ContentOf(const std::wstring& path) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string content;
    char buffer[4096];
    DWORD got = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        content.append(buffer, got);
    return content;
}

std::string PlanText(const std::vector<track::UndoItem>& items) {
    std::string text = track::UndoPlanHeaderLine() + "\r\n";
    for (const track::UndoItem& item : items)
        text += track::FormatUndoItem(item) + "\r\n";
    return text + track::UndoPlanEndLine(items.size()) + "\r\n";
}

host_tests::ProcessResult RunUndo(const std::string& planPath) {
    return host_tests::RunProcess(
        test_support::QuoteArgument(host_tests::BinFolder() + "\\orvane-track.exe") + " --undo " +
            test_support::QuoteArgument(planPath),
        120000);
}

} // namespace undo_tests
