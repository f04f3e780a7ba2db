// The records of old state as the capture writes them and the tracker reads them back: every field
// survives the round trip, and the reader takes nothing it cannot vouch for (a torn tail, a damaged
// header, bytes that were never a record).
#include "capture/OldState.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using capture::DecodeOldStates;
using capture::EncodeOldState;
using capture::OldPresence;
using capture::OldStateKind;
using capture::OldStateRecord;

OldStateRecord Sample(OldStateKind kind, uint64_t sequence) {
    OldStateRecord record;
    record.kind = kind;
    record.presence = OldPresence::Present;
    record.sequence = sequence;
    record.processId = 4242;
    record.type = 7;
    record.size = 0x1122334455667788ull;
    record.time = 0x0102030405060708ull;
    record.key = L"HKLM\\SOFTWARE\\Wow6432Node\\Vendor \x4e2d";
    record.name = L"Name\twith a tab";
    record.reason = L"why";
    record.data = {0, 1, 2, 0xFF, 0x80};
    return record;
}

std::vector<uint8_t> Encoded(const std::vector<OldStateRecord>& records) {
    std::vector<uint8_t> bytes;
    for (const OldStateRecord& record : records) {
        const std::vector<uint8_t> one = EncodeOldState(record);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return bytes;
}

void ExpectSame(const OldStateRecord& got, const OldStateRecord& want) {
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_EQ(got.presence, want.presence);
    EXPECT_EQ(got.sequence, want.sequence);
    EXPECT_EQ(got.processId, want.processId);
    EXPECT_EQ(got.type, want.type);
    EXPECT_EQ(got.size, want.size);
    EXPECT_EQ(got.time, want.time);
    EXPECT_TRUE(got.key == want.key);
    EXPECT_TRUE(got.name == want.name);
    EXPECT_TRUE(got.reason == want.reason);
    EXPECT_EQ(got.data, want.data);
}

TEST(OldStateRecords, EveryKindComesBackAsItWasWritten) {
    std::vector<OldStateRecord> written;
    for (uint32_t kind = 1; kind <= static_cast<uint32_t>(OldStateKind::File); ++kind)
        written.push_back(Sample(static_cast<OldStateKind>(kind), 1000 + kind));
    written[1].presence = OldPresence::Absent;
    written[1].data.clear();
    written[2].key.clear(); // empty texts and no data
    written[2].name.clear();
    written[2].reason.clear();
    written[2].data.clear();
    written[3].presence = OldPresence::TooLarge;
    written[4].presence = OldPresence::Unknown;
    written[4].data.assign(capture::kMaxKeptValueBytes, 0x5A); // the largest data a record holds
    const std::vector<uint8_t> bytes = Encoded(written);

    std::vector<OldStateRecord> read;
    EXPECT_EQ(DecodeOldStates(bytes.data(), bytes.size(), read), 0u);
    ASSERT_EQ(read.size(), written.size());
    for (size_t i = 0; i < read.size(); ++i)
        ExpectSame(read[i], written[i]);
}

TEST(OldStateRecords, ATornTailIsPassedOverWhereverTheWriteStopped) {
    const std::vector<OldStateRecord> written = {Sample(OldStateKind::Value, 1),
                                                 Sample(OldStateKind::DeletedValue, 2)};
    const std::vector<uint8_t> bytes = Encoded(written);
    const size_t firstLength = EncodeOldState(written[0]).size();
    for (size_t cut = firstLength; cut < bytes.size(); ++cut) {
        std::vector<OldStateRecord> read;
        ASSERT_EQ(DecodeOldStates(bytes.data(), cut, read), cut - firstLength) << cut;
        ASSERT_EQ(read.size(), 1u) << cut;
        ExpectSame(read[0], written[0]);
    }
    std::vector<OldStateRecord> none;
    EXPECT_EQ(DecodeOldStates(bytes.data(), 0, none), 0u);
    EXPECT_EQ(DecodeOldStates(bytes.data(), 10, none), 10u);
    EXPECT_TRUE(none.empty());
}

TEST(OldStateRecords, TheReaderStopsAtTheFirstRecordItCannotVouchFor) {
    const std::vector<OldStateRecord> written = {
        Sample(OldStateKind::Value, 1), Sample(OldStateKind::Value, 2), Sample(OldStateKind::Value, 3)};
    const std::vector<uint8_t> bytes = Encoded(written);
    const size_t length = EncodeOldState(written[0]).size();
    // Any changed byte of the second record's header: the magic, a length, the sequence, the check.
    for (size_t at = length; at < length + 48; ++at) {
        std::vector<uint8_t> damaged = bytes;
        damaged[at] ^= 0x40;
        std::vector<OldStateRecord> read;
        EXPECT_EQ(DecodeOldStates(damaged.data(), damaged.size(), read), bytes.size() - length) << at;
        EXPECT_EQ(read.size(), 1u) << at;
    }
    // Bytes that were never records.
    const std::vector<uint8_t> noise(4096, 0xA5);
    std::vector<OldStateRecord> read;
    EXPECT_EQ(DecodeOldStates(noise.data(), noise.size(), read), noise.size());
    EXPECT_TRUE(read.empty());
}

TEST(OldStateRecords, WhatNoRecordHoldsIsLeftOutWholeOrCut) {
    OldStateRecord record = Sample(OldStateKind::Value, 5);
    record.data.assign(capture::kMaxKeptValueBytes + 1, 1); // the writer keeps such a value as TooLarge
    record.key.assign(40000, L'k');                         // past the longest text a record holds
    const std::vector<uint8_t> bytes = EncodeOldState(record);
    std::vector<OldStateRecord> read;
    EXPECT_EQ(DecodeOldStates(bytes.data(), bytes.size(), read), 0u);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_TRUE(read[0].data.empty());
    EXPECT_EQ(read[0].key, std::wstring(32768, L'k'));
    EXPECT_TRUE(read[0].name == record.name);
}

} // namespace
