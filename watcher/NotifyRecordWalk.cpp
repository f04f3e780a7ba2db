// Records are read field by field with memcpy: the system pads them to DWORD boundaries on Windows
// but not under every implementation, and a corrupt NextEntryOffset may point anywhere. Every access
// is checked against the valid size.
#include "watcher/NotifyRecordWalk.h"

#include <algorithm>
#include <cstring>

namespace notify_walk {

namespace {

constexpr uint32_t kNextEntryOffsetField = 0;
constexpr uint32_t kActionField = 4;
constexpr uint32_t kFileNameLengthField = 8;

uint32_t ReadField(const uint8_t* record, uint32_t offset) {
    uint32_t value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

void WriteField(uint8_t* record, uint32_t offset, uint32_t value) {
    std::memcpy(record + offset, &value, sizeof value);
}

} // namespace

bool HasFirstRecord(const uint8_t* buffer, uint32_t size) {
    return buffer != nullptr && size >= kFileNameField;
}

// Offsets only grow, so the walk always ends.
bool StepToNextRecord(const uint8_t* buffer, uint32_t size, uint32_t& current) {
    const uint32_t step = ReadField(buffer + current, kNextEntryOffsetField);
    if (step == 0)
        return false;
    const uint64_t candidate = uint64_t(current) + step;
    if (candidate + kFileNameField > size)
        return false;
    current = uint32_t(candidate);
    return true;
}

uint32_t RecordAction(const uint8_t* buffer, uint32_t current) {
    return ReadField(buffer + current, kActionField);
}

uint32_t AvailableNameBytes(const uint8_t* buffer, uint32_t size, uint32_t current) {
    const uint32_t room = size - current - kFileNameField;
    const uint32_t wholeUnits =
        std::min(ReadField(buffer + current, kFileNameLengthField), room) & ~uint32_t(1);
    return std::min(wholeUnits, kMaxNameBytes);
}

// keepBytes is the system structure's header size plus the name, or what is left of the valid bytes
// when the last record ends sooner (records are not always padded).
uint32_t CarryRecordToStart(uint8_t* buffer, uint32_t size, uint32_t current) {
    const uint32_t nameBytes = AvailableNameBytes(buffer, size, current);
    const uint32_t keepBytes = std::min(kRecordHeaderLess2 + nameBytes, size - current);
    if (current != 0)
        std::memmove(buffer, buffer + current, keepBytes);
    WriteField(buffer, kNextEntryOffsetField, 0);
    WriteField(buffer, kFileNameLengthField, nameBytes);
    return keepBytes;
}

uint32_t LinkCarriedRecord(uint8_t* buffer, uint32_t bufferSize, uint32_t keepBytes) {
    if (buffer == nullptr || keepBytes < kFileNameField || keepBytes >= bufferSize)
        return 0;
    const uint32_t nextRead = (keepBytes + 3) & ~uint32_t(3);
    if (nextRead >= bufferSize)
        return 0;
    std::memset(buffer + keepBytes, 0, nextRead - keepBytes);
    WriteField(buffer, kNextEntryOffsetField, nextRead);
    return nextRead;
}

} // namespace notify_walk
