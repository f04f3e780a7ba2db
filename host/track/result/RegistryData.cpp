#include "host/track/result/RegistryData.h"

#include "host/track/result/Base64.h"

#include "common/Win32.h"

#include <cstdio>

namespace track {

namespace {

constexpr size_t kHexBytesShown = 32;

struct TypeName {
    std::uint32_t type;
    const char* name;
};

const TypeName kTypeNames[] = {
    {REG_NONE, "REG_NONE"},
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_RESOURCE_LIST, "REG_RESOURCE_LIST"},
    {REG_FULL_RESOURCE_DESCRIPTOR, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {REG_RESOURCE_REQUIREMENTS_LIST, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_QWORD, "REG_QWORD"},
};

std::string QuotedText(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string DescribeNumber(std::uint32_t type, std::uint64_t value) {
    char text[64];
    if (type == REG_QWORD)
        std::snprintf(text, sizeof text, "%llu (0x%016llx)", static_cast<unsigned long long>(value),
                      static_cast<unsigned long long>(value));
    else
        std::snprintf(text, sizeof text, "%llu (0x%08llx)", static_cast<unsigned long long>(value),
                      static_cast<unsigned long long>(value));
    return text;
}

std::string DescribeBytes(const std::vector<std::uint8_t>& bytes) {
    const std::string count = std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte" : " bytes");
    if (bytes.empty())
        return "(" + count + ")";
    if (bytes.size() > kHexBytesShown)
        return HexBytes(bytes, kHexBytesShown) + " ... (" + count + ")";
    return HexBytes(bytes) + " (" + count + ")";
}

} // namespace

std::string RegistryTypeName(std::uint32_t type) {
    for (const TypeName& entry : kTypeNames) {
        if (entry.type == type)
            return entry.name;
    }
    return "type " + std::to_string(type);
}

std::vector<std::string> SplitMultiString(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::string> strings;
    std::string current;
    for (std::uint8_t byte : bytes) {
        if (byte == 0) {
            strings.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(byte);
        }
    }
    if (!current.empty())
        strings.push_back(current); // data that lacks its closing NUL
    while (!strings.empty() && strings.back().empty())
        strings.pop_back();
    return strings;
}

std::string StringData(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (byte == 0)
            break;
        text += static_cast<char>(byte);
    }
    return text;
}

bool NumberData(std::uint32_t type, const std::vector<std::uint8_t>& bytes, std::uint64_t& value) {
    const size_t expected = type == REG_QWORD ? 8 : 4;
    if ((type != REG_DWORD && type != REG_DWORD_BIG_ENDIAN && type != REG_QWORD) || bytes.size() != expected)
        return false;
    value = 0;
    for (size_t i = 0; i < expected; ++i) {
        const size_t index = type == REG_DWORD_BIG_ENDIAN ? i : expected - 1 - i;
        value = (value << 8) | bytes[index];
    }
    return true;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes, size_t limit) {
    std::string text;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        if (!text.empty())
            text += ' ';
        text += pair;
    }
    return text;
}

std::string DescribeRegistryData(std::uint32_t type, const std::string& base64) {
    const auto decoded = DecodeBase64(base64);
    if (!decoded)
        return "(data is not valid Base64: " + QuotedText(base64) + ")";
    const std::vector<std::uint8_t>& bytes = *decoded;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return QuotedText(StringData(bytes));
    case REG_MULTI_SZ: {
        const std::vector<std::string> strings = SplitMultiString(bytes);
        if (strings.empty())
            return "(empty list)";
        std::string text;
        for (const std::string& s : strings)
            text += (text.empty() ? "" : ", ") + QuotedText(s);
        return text;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
    case REG_QWORD: {
        std::uint64_t value = 0;
        if (NumberData(type, bytes, value))
            return DescribeNumber(type, value);
        return DescribeBytes(bytes) + ", not the size of a number";
    }
    default:
        return DescribeBytes(bytes);
    }
}

} // namespace track
