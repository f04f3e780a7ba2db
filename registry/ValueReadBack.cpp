#include "registry/LogParser.h"

#include "common/UniqueHandle.h"
#include "common/Win32.h"
#include "stand-ins/brannock/IMendwellInc.h"
#include "stand-ins/tavish/ITavishInc.h"

#include <algorithm>
#include <climits>
#include <new>
#include <memory>
#include <unordered_set>

namespace {

// Base64 of the data goes into 5 bytes per data byte, and the encoder counts in int.
constexpr DWORD kLargestValue = INT_MAX / 5;

} // namespace

bool ReadValueRecord(const std::string& path, IConfInfoInc::_ConfInfo& record) {
    std::string subKey, valueName;
    const HKEY root = IMendwellInc::SplitKey(path, subKey, valueName);
    if (root == nullptr)
        return false;
    HKEY opened = nullptr;
    if (::RegOpenKeyExA(root, subKey.c_str(), 0, KEY_ALL_ACCESS, &opened) != ERROR_SUCCESS)
        return false;
    UniqueKey key(opened);
    DWORD type = 0, size = 0;
    if (::RegQueryValueExA(key.get(), valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        size > kLargestValue)
        return false;
    // A value too large for the memory left is skipped like an unreadable one.
    const size_t textSize = size_t(size) * 5;
    std::unique_ptr<char[]> data(new (std::nothrow) char[size_t(size) + 1]);
    std::unique_ptr<char[]> text(size == 0 ? nullptr : new (std::nothrow) char[textSize]);
    if (!data || (size != 0 && !text))
        return false;
    DWORD read = size;
    if (::RegQueryValueExA(key.get(), valueName.c_str(), nullptr, nullptr,
                           reinterpret_cast<BYTE*>(data.get()), &read) != ERROR_SUCCESS ||
        read > size)
        return false;
    const int written = read == 0 ? 0 : ITavishInc::Base64Encode(data.get(), int(read), text.get());
    IConfInfoInc::_ConfInfo made;
    made.kind = "register";
    made.path = path;
    if (written > 0)
        made.data.assign(text.get(), std::min(size_t(written), textSize));
    made.valueType = type;
    record = std::move(made);
    return true;
}

void ReadBackValues(const std::list<_RegLogEntry>& entries, std::set<IConfInfoInc::_ConfInfo>& changes) {
    std::unordered_set<std::string_view> read;
    for (const _RegLogEntry& entry : entries) {
        if (entry.operation != "SetValue" || entry.result != "SUCCESS")
            continue;
        if (!read.insert(entry.path).second)
            continue;
        IConfInfoInc::_ConfInfo record;
        if (ReadValueRecord(entry.path, record))
            changes.insert(std::move(record));
    }
}
