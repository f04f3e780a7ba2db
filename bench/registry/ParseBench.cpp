// ParseLog's passes beside the literal algorithm they must agree with:
//  1. passes 1 and 2 on 1,000,000 log lines holding 10,000 kept "DeleteKey" entries: the literal
//     split-and-test of every line and deletions x entries prefix scan, against the library's
//     copy-free split and sorted prefix search; both must leave the same entries.
//  2. pass 3 on 1,000 and on 100,000 lines naming the same 1,000 values, against the literal
//     read-back of every line; both must give the same records.
#include "registry/LogParser.h"

#include "bench/BenchTiming.h"
#include "common/UniqueHandle.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kLines = 1000000;
constexpr int kDeletions = 10000;

std::string Line(const char* process, const char* operation, const std::string& path,
                 const char* result = "SUCCESS") {
    return std::string(process) + "\t" + operation + "\t" + path + "\t" + result + "\tType: REG_SZ";
}

std::string KeyPath(std::mt19937& random, int depth) {
    std::string path = "HKLM\\Software\\Vendor" + std::to_string(random() % 1000);
    if (depth >= 2)
        path += "\\Product" + std::to_string(random() % 100);
    if (depth >= 3)
        path += "\\Key" + std::to_string(random() % 10);
    return path;
}

// Mostly kept writes, some lines every filter drops, and deletions of keys at three depths,
// spread through the log.
std::list<std::string> SyntheticLog() {
    std::mt19937 random(2024);
    std::list<std::string> lines;
    for (int i = 0; i < kLines; ++i) {
        if (i % (kLines / kDeletions) == 50) {
            lines.push_back(Line("setup.exe", "DeleteKey", KeyPath(random, 2 + int(random() % 2))));
            continue;
        }
        const std::string value = KeyPath(random, 3) + "\\Value" + std::to_string(random() % 10);
        switch (random() % 25) {
        case 0:
            lines.push_back(Line("explorer.exe", "SetValue", value));
            break;
        case 1:
            lines.push_back(Line("setup.exe", "SetValue", value, "ACCESS DENIED"));
            break;
        case 2:
            lines.push_back(Line("setup.exe", "CreateKey", value));
            break;
        default:
            lines.push_back(Line("setup.exe", "SetValue", value));
        }
    }
    return lines;
}

// Pass 1 exactly as defined: split every line into a vector of strings and test the fields.
void KeepLiterally(const std::list<std::string>& rawLines, std::list<_RegLogEntry>& entries) {
    static const char* const names[] = {"System",       "svchost.exe", "rundll32.exe", "explorer.exe",
                                        "IEXPLORE.EXE", "csrss.exe",   "winlogon.exe"};
    static const char* const fragments[] = {"pagefile.sys", "$Mft",    "$MftMirr", "$LogFile", "$Volume",
                                            "$AttrDef",     "$Root",   "$Bitmap",  "$Boot",    "$BadClus",
                                            "$Secure",      "$UpCase", "$Extend"};
    for (const std::string& line : rawLines) {
        std::vector<std::string> fields;
        SplitString(line, "\t", fields);
        if (fields.size() != 5)
            continue;
        _RegLogEntry entry{fields[0], fields[1], fields[2], fields[3], fields[4]};
        bool drop = false;
        for (const char* name : names)
            drop = drop || entry.process == name;
        drop = drop || entry.process.rfind("IRP_MJ_", 0) == 0 || entry.process.rfind("FASTIO_", 0) == 0;
        for (const char* fragment : fragments)
            drop = drop || entry.process.find(fragment) != std::string::npos;
        drop = drop || entry.path.rfind("HKCU\\CLSID", 0) == 0 || entry.result != "SUCCESS";
        if (drop)
            continue;
        if (entry.operation.rfind("SetValue", 0) == 0 || entry.operation.rfind("DeleteKey", 0) == 0)
            entries.push_back(entry);
    }
}

// The prefix test of pass 2, inline and from the prefix's last character back: the synthetic paths
// share a long start ("HKLM\Software\Vendor"), so they differ soonest near the prefix's end.
bool BeginsWith(std::string_view path, std::string_view prefix) {
    if (path.size() < prefix.size())
        return false;
    for (size_t i = prefix.size(); i > 0; --i) {
        if (path[i - 1] != prefix[i - 1])
            return false;
    }
    return true;
}

// Pass 2 as defined, every deletion scanning every entry from the first, over a dense copy of the
// paths (one block of text) and of the "DeleteKey" marks: the same tests in the same order as on the
// list, with fewer cache misses and a cheap prefix test, which make the reference faster, not slower.
void CancelLiterally(std::list<_RegLogEntry>& entries) {
    std::string text;
    for (const _RegLogEntry& entry : entries)
        text += entry.path;
    struct Row {
        std::string_view path;
        bool deleteKey;
    };
    std::vector<Row> rows;
    rows.reserve(entries.size());
    size_t at = 0;
    for (const _RegLogEntry& entry : entries) {
        rows.push_back(
            Row{std::string_view(text).substr(at, entry.path.size()), entry.operation == "DeleteKey"});
        at += entry.path.size();
    }
    for (size_t deleted = 0; deleted < rows.size(); ++deleted) {
        if (!rows[deleted].deleteKey)
            continue;
        const std::string_view prefix = rows[deleted].path;
        for (Row& row : rows) {
            if (BeginsWith(row.path, prefix))
                row.deleteKey = true;
        }
    }
    auto row = rows.begin();
    for (_RegLogEntry& entry : entries) {
        if (row->deleteKey && entry.operation != "DeleteKey")
            entry.operation = "DeleteKey";
        ++row;
    }
}

// Pass 3 exactly as defined: every surviving line is read back.
void ReadBackLiterally(const std::list<_RegLogEntry>& entries, std::set<IConfInfoInc::_ConfInfo>& changes) {
    for (const _RegLogEntry& entry : entries) {
        if (entry.operation != "SetValue" || entry.result != "SUCCESS")
            continue;
        IConfInfoInc::_ConfInfo record;
        if (ReadValueRecord(entry.path, record))
            changes.insert(record);
    }
}

bool SameEntries(const std::list<_RegLogEntry>& left, const std::list<_RegLogEntry>& right) {
    if (left.size() != right.size())
        return false;
    auto r = right.begin();
    for (const _RegLogEntry& l : left) {
        if (l.process != r->process || l.operation != r->operation || l.path != r->path ||
            l.result != r->result || l.detail != r->detail)
            return false;
        ++r;
    }
    return true;
}

bool SameRecords(const std::set<IConfInfoInc::_ConfInfo>& left,
                 const std::set<IConfInfoInc::_ConfInfo>& right) {
    if (left.size() != right.size())
        return false;
    auto r = right.begin();
    for (const IConfInfoInc::_ConfInfo& l : left) {
        if (l.kind != r->kind || l.path != r->path || l.data != r->data || l.valueType != r->valueType)
            return false;
        ++r;
    }
    return true;
}

int BenchPassesOneAndTwo() {
    // The reference reads the lines as strings in a list; the library as the monitor holds them.
    const std::list<std::string> log = SyntheticLog();
    RawLineList rawLines;
    for (const std::string& line : log)
        rawLines.Append(line);
    std::list<_RegLogEntry> fast, literal;
    double fastKeep = 0, fastCancel = 0, literalKeep = 0, literalCancel = 0;
    // The library's passes: best of three rounds, each from an empty entry list.
    fastKeep = fastCancel = 1e9;
    for (int round = 0; round < 3; ++round) {
        fast.clear();
        fastKeep = std::min(fastKeep, SecondsFor([&] { KeepLogLines(rawLines, fast); }));
        fastCancel = std::min(fastCancel, SecondsFor([&] { CancelDeletedKeys(fast); }));
    }
    literalKeep = SecondsFor([&] { KeepLiterally(log, literal); });
    size_t deletions = 0;
    for (const _RegLogEntry& entry : literal)
        deletions += entry.operation == "DeleteKey" ? 1 : 0;
    std::printf("passes 1-2: %d lines, %zu entries kept, %zu of them \"DeleteKey\"\n", kLines, literal.size(),
                deletions);
    std::fflush(stdout);
    literalCancel = SecondsFor([&] { CancelLiterally(literal); });
    size_t cancelled = 0;
    for (const _RegLogEntry& entry : fast)
        cancelled += entry.operation == "DeleteKey" ? 1 : 0;
    const bool same = SameEntries(fast, literal);
    const double fastTotal = fastKeep + fastCancel, literalTotal = literalKeep + literalCancel;
    std::printf("  %-28s %10s %10s %10s\n", "", "pass 1", "pass 2", "1 + 2");
    std::printf("  %-28s %9.3fs %9.3fs %9.3fs\n", "literal (reference)", literalKeep, literalCancel,
                literalTotal);
    std::printf("  %-28s %9.3fs %9.3fs %9.3fs\n", "library", fastKeep, fastCancel, fastTotal);
    std::printf("  speed-up: passes 1-2 %.0fx, pass 2 alone %.0fx  (target >= 50x)\n",
                literalTotal / fastTotal, literalCancel / fastCancel);
    std::printf("  entries after pass 2: %zu marked \"DeleteKey\"; same as reference: %s\n", cancelled,
                same ? "yes" : "NO");
    return same ? 0 : 1;
}

constexpr int kDistinctValues = 1000;
const char kBenchKey[] = "Software\\OrvaneBench";

std::string ValuePath(int i) {
    return "HKCU\\Software\\OrvaneBench\\Key" + std::to_string(i % 50) + "\\Value" + std::to_string(i);
}

void CreateValues() {
    for (int i = 0; i < kDistinctValues; ++i) {
        HKEY key = nullptr;
        const std::string subKey = std::string(kBenchKey) + "\\Key" + std::to_string(i % 50);
        ::RegCreateKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr);
        UniqueKey owner(key);
        const std::string data = "data of value " + std::to_string(i);
        const std::string name = "Value" + std::to_string(i);
        ::RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                         DWORD(data.size() + 1));
    }
}

std::list<_RegLogEntry> Writes(int lines) {
    std::list<_RegLogEntry> entries;
    for (int i = 0; i < lines; ++i)
        entries.push_back(
            _RegLogEntry{"setup.exe", "SetValue", ValuePath(i % kDistinctValues), "SUCCESS", "d"});
    return entries;
}

int BenchPassThree() {
    CreateValues();
    const std::list<_RegLogEntry> small = Writes(kDistinctValues), large = Writes(100 * kDistinctValues);
    std::set<IConfInfoInc::_ConfInfo> smallSet, largeSet, literalSet;
    // Best of a few rounds, each into an empty set: the library's runs are short.
    double smallTime = 1e9, largeTime = 1e9;
    for (int round = 0; round < 5; ++round) {
        smallSet.clear();
        largeSet.clear();
        smallTime = std::min(smallTime, SecondsFor([&] { ReadBackValues(small, smallSet); }));
        largeTime = std::min(largeTime, SecondsFor([&] { ReadBackValues(large, largeSet); }));
    }
    const double literalTime = SecondsFor([&] { ReadBackLiterally(large, literalSet); });
    ::RegDeleteTreeA(HKEY_CURRENT_USER, kBenchKey);
    ::RegDeleteKeyA(HKEY_CURRENT_USER, kBenchKey);
    const bool same = SameRecords(largeSet, literalSet) && SameRecords(smallSet, largeSet);
    std::printf("pass 3: %d distinct values (library: best of 5 rounds)\n", kDistinctValues);
    std::printf("  library,   %7d lines: %8.3fs  (%zu records)\n", kDistinctValues, smallTime,
                smallSet.size());
    std::printf("  library,   %7d lines: %8.3fs  (%zu records)  ratio %.2f  (target: about 1)\n",
                100 * kDistinctValues, largeTime, largeSet.size(), largeTime / smallTime);
    std::printf("  literal,   %7d lines: %8.3fs  (%zu records)\n", 100 * kDistinctValues, literalTime,
                literalSet.size());
    std::printf("  same records as reference: %s\n", same ? "yes" : "NO");
    return same ? 0 : 1;
}

} // namespace

int main() {
    const int three = BenchPassThree();
    const int oneTwo = BenchPassesOneAndTwo();
    return three | oneTwo;
}
