#include "registry/LogParser.h"

#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "registry/FoldedKeyName.h"
#include "stand-ins/brannock/IMendwellInc.h"
#include "stand-ins/tavish/ITavishInc.h"

#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <new>
#include <unordered_set>

namespace {

// Base64 of the data goes into 5 bytes per data byte, and the encoder counts in int.
constexpr DWORD kLargestValue = INT_MAX / 5;

// Most values fit here, so they are read with one query instead of a size query and a read.
constexpr DWORD kFirstReadSize = 4096;

bool IsAnsiLeadByte(unsigned char byte) {
    return ::IsDBCSLeadByteEx(CP_ACP, byte) != FALSE;
}

// The keys of one read-back pass, each opened once however many of its values the log names. A key
// that cannot be opened is remembered as such. Registry names fold letter case; the log's paths are
// in the ANSI code page.
class KeyCache {
public:
    HKEY Open(HKEY root, const std::string& subKey) {
        std::string folded = registry_names::FoldedKeyName(subKey, IsAnsiLeadByte);
        auto found = keys_.find({root, folded});
        if (found != keys_.end())
            return found->second.get();
        HKEY opened = nullptr;
        // Logged names are physical ("Software\Wow6432Node\X" for a 32-bit program's key on 64-bit
        // Windows): opened in the 64-bit view, each names the key it was written to, whatever this
        // process's bitness. A 32-bit system has one view and ignores the flag.
        if (::RegOpenKeyExA(root, subKey.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &opened) !=
            ERROR_SUCCESS)
            opened = nullptr;
        return keys_.emplace(std::make_pair(root, std::move(folded)), UniqueKey(opened)).first->second.get();
    }

private:
    std::map<std::pair<HKEY, std::string>, UniqueKey> keys_;
};

// The value's type and bytes; false when it cannot be read or is too large to encode.
bool ReadValueData(HKEY key, const std::string& valueName, DWORD& type, std::unique_ptr<char[]>& data,
                   DWORD& size) {
    char first[kFirstReadSize];
    size = sizeof first;
    LONG result =
        ::RegQueryValueExA(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(first), &size);
    if (result == ERROR_SUCCESS) {
        // The size answered is trusted no further than the buffer it describes.
        if (size > sizeof first)
            return false;
        data.reset(new (std::nothrow) char[size_t(size) + 1]);
        if (!data)
            return false;
        std::copy(first, first + size, data.get());
        return true;
    }
    if (result != ERROR_MORE_DATA || size > kLargestValue)
        return false;
    // A value too large for the memory left is skipped like an unreadable one.
    DWORD capacity = size;
    data.reset(new (std::nothrow) char[size_t(capacity) + 1]);
    if (!data)
        return false;
    size = capacity;
    result = ::RegQueryValueExA(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.get()),
                                &size);
    return result == ERROR_SUCCESS && size <= capacity;
}

bool ReadRecordFromKey(HKEY key, const std::string& path, const std::string& valueName,
                       IConfInfoInc::_ConfInfo& record) {
    DWORD type = 0, size = 0;
    std::unique_ptr<char[]> data;
    if (!ReadValueData(key, valueName, type, data, size))
        return false;
    const size_t textSize = size_t(size) * 5;
    std::unique_ptr<char[]> text(size == 0 ? nullptr : new (std::nothrow) char[textSize]);
    if (size != 0 && !text)
        return false;
    const int written = size == 0 ? 0 : ITavishInc::Base64Encode(data.get(), int(size), text.get());
    IConfInfoInc::_ConfInfo made;
    made.kind = "register";
    made.path = path;
    if (written > 0)
        made.data.assign(text.get(), std::min(size_t(written), textSize));
    made.valueType = type;
    record = std::move(made);
    return true;
}

bool ReadRecord(KeyCache& keys, const std::string& path, IConfInfoInc::_ConfInfo& record) {
    std::string subKey, valueName;
    const HKEY root = IMendwellInc::SplitKey(path, subKey, valueName);
    if (root == nullptr)
        return false;
    const HKEY key = keys.Open(root, subKey);
    return key != nullptr && ReadRecordFromKey(key, path, valueName, record);
}

} // namespace

bool ReadValueRecord(const std::string& path, IConfInfoInc::_ConfInfo& record) {
    KeyCache keys;
    return ReadRecord(keys, path, record);
}

void ReadBackValues(const std::list<_RegLogEntry>& entries, std::set<IConfInfoInc::_ConfInfo>& changes) {
    KeyCache keys;
    std::unordered_set<std::string_view> read;
    for (const _RegLogEntry& entry : entries) {
        if (entry.operation != "SetValue" || entry.result != "SUCCESS")
            continue;
        if (!read.insert(entry.path).second)
            continue;
        IConfInfoInc::_ConfInfo record;
        if (ReadRecord(keys, entry.path, record))
            changes.insert(std::move(record));
    }
}
