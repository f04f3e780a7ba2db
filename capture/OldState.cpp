#include "capture/OldState.h"

#include <cstring>

namespace capture {

namespace {

constexpr uint32_t kRecordMagic = 0x444C4F4Fu; // "OOLD"
constexpr uint32_t kLongestText = 32768;       // UTF-16 units; registry and file names are shorter

struct RecordHeader {
    uint32_t magic;
    uint32_t kind;
    uint64_t sequence;
    uint32_t processId;
    uint32_t presence;
    uint32_t type;
    uint32_t keyUnits;
    uint32_t nameUnits;
    uint32_t reasonUnits;
    uint32_t dataBytes;
    uint32_t check; // the fields above, folded, so that a torn or foreign header is not taken
    uint64_t size;
    uint64_t time;
};
static_assert(sizeof(RecordHeader) == 64, "the header has one layout on both architectures");

uint32_t Fold(const RecordHeader& header) {
    return header.magic ^ header.kind ^ static_cast<uint32_t>(header.sequence) ^
           static_cast<uint32_t>(header.sequence >> 32) ^ header.processId ^ (header.presence << 8) ^
           header.type ^ (header.keyUnits << 1) ^ (header.nameUnits << 2) ^ (header.reasonUnits << 3) ^
           (header.dataBytes << 4) ^ 0x5A5A5A5Au;
}

void AppendText(std::vector<uint8_t>& out, const std::wstring& text) {
    for (const wchar_t unit : text) {
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
        out.push_back(static_cast<uint8_t>((unit >> 8) & 0xFF));
    }
}

std::wstring TextAt(const uint8_t* bytes, uint32_t units) {
    std::wstring text(units, L'\0');
    for (uint32_t i = 0; i < units; ++i)
        text[i] = static_cast<wchar_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return text;
}

bool KnownKind(uint32_t kind) {
    return kind >= static_cast<uint32_t>(OldStateKind::Value) &&
           kind <= static_cast<uint32_t>(OldStateKind::File);
}

uint32_t Units(const std::wstring& text) {
    return static_cast<uint32_t>(text.size() < kLongestText ? text.size() : kLongestText);
}

} // namespace

std::vector<uint8_t> EncodeOldState(const OldStateRecord& record) {
    RecordHeader header{};
    header.magic = kRecordMagic;
    header.kind = static_cast<uint32_t>(record.kind);
    header.sequence = record.sequence;
    header.processId = record.processId;
    header.presence = static_cast<uint32_t>(record.presence);
    header.type = record.type;
    header.keyUnits = Units(record.key);
    header.nameUnits = Units(record.name);
    header.reasonUnits = Units(record.reason);
    header.dataBytes =
        static_cast<uint32_t>(record.data.size() <= kMaxKeptValueBytes ? record.data.size() : 0);
    header.size = record.size;
    header.time = record.time;
    header.check = Fold(header);
    std::vector<uint8_t> out(sizeof header);
    std::memcpy(out.data(), &header, sizeof header);
    out.reserve(sizeof header + 2 * (header.keyUnits + header.nameUnits + header.reasonUnits) +
                header.dataBytes);
    AppendText(out, record.key.substr(0, header.keyUnits));
    AppendText(out, record.name.substr(0, header.nameUnits));
    AppendText(out, record.reason.substr(0, header.reasonUnits));
    out.insert(out.end(), record.data.begin(), record.data.begin() + header.dataBytes);
    return out;
}

size_t DecodeOldStates(const uint8_t* bytes, size_t length, std::vector<OldStateRecord>& records) {
    size_t at = 0;
    while (length - at >= sizeof(RecordHeader)) {
        RecordHeader header;
        std::memcpy(&header, bytes + at, sizeof header);
        if (header.magic != kRecordMagic || header.check != Fold(header) || !KnownKind(header.kind) ||
            header.presence > static_cast<uint32_t>(OldPresence::TooLarge) ||
            header.keyUnits > kLongestText || header.nameUnits > kLongestText ||
            header.reasonUnits > kLongestText || header.dataBytes > kMaxKeptValueBytes)
            break;
        const size_t textBytes = 2 * (size_t(header.keyUnits) + header.nameUnits + header.reasonUnits);
        const size_t total = sizeof header + textBytes + header.dataBytes;
        if (length - at < total)
            break;
        const uint8_t* payload = bytes + at + sizeof header;
        OldStateRecord record;
        record.kind = static_cast<OldStateKind>(header.kind);
        record.presence = static_cast<OldPresence>(header.presence);
        record.sequence = header.sequence;
        record.processId = header.processId;
        record.type = header.type;
        record.size = header.size;
        record.time = header.time;
        record.key = TextAt(payload, header.keyUnits);
        payload += 2 * header.keyUnits;
        record.name = TextAt(payload, header.nameUnits);
        payload += 2 * header.nameUnits;
        record.reason = TextAt(payload, header.reasonUnits);
        payload += 2 * header.reasonUnits;
        record.data.assign(payload, payload + header.dataBytes);
        records.push_back(std::move(record));
        at += total;
    }
    return length - at;
}

} // namespace capture
