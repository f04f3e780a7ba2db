// Random driver logs over a small alphabet of processes, operations, paths and results through
// SplitString and the first two parse passes, against literal transcriptions of their algorithms:
// the same fields, the same kept entries in the same order, the same cancelled writes.
#include "registry/LogParser.h"
#include "tests/fuzz/FuzzRunner.h"

#include <list>
#include <random>
#include <string>
#include <vector>

namespace {

template <size_t N>
std::string Pick(std::mt19937& random, const char* const (&pool)[N]) {
    return pool[random() % N];
}

// Start at 0; take each piece up to the next delimiter, stopping when the position reaches the end;
// then the rest, if any.
void LiteralSplitString(const std::string& text, const std::string& delimiter,
                        std::vector<std::string>& fields) {
    size_t position = 0;
    for (;;) {
        const size_t found = text.find(delimiter, position);
        if (found != std::string::npos) {
            fields.push_back(text.substr(position, found - position));
            position = found + delimiter.size();
            if (position >= text.size())
                return;
            continue;
        }
        if (position < text.size())
            fields.push_back(text.substr(position));
        return;
    }
}

bool LiteralBeginsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool LiteralKeeps(const _RegLogEntry& entry) {
    const char* const names[] = {"System",       "svchost.exe", "rundll32.exe", "explorer.exe",
                                 "IEXPLORE.EXE", "csrss.exe",   "winlogon.exe"};
    const char* const fragments[] = {"pagefile.sys", "$Mft",    "$MftMirr", "$LogFile", "$Volume",
                                     "$AttrDef",     "$Root",   "$Bitmap",  "$Boot",    "$BadClus",
                                     "$Secure",      "$UpCase", "$Extend"};
    for (const char* name : names) {
        if (entry.process == name)
            return false;
    }
    if (LiteralBeginsWith(entry.process, "IRP_MJ_") || LiteralBeginsWith(entry.process, "FASTIO_"))
        return false;
    for (const char* fragment : fragments) {
        if (entry.process.find(fragment) != std::string::npos)
            return false;
    }
    if (LiteralBeginsWith(entry.path, "HKCU\\CLSID") || entry.result != "SUCCESS")
        return false;
    return LiteralBeginsWith(entry.operation, "SetValue") || LiteralBeginsWith(entry.operation, "DeleteKey");
}

std::vector<_RegLogEntry> LiteralPassOne(const std::vector<std::string>& lines) {
    std::vector<_RegLogEntry> entries;
    for (const std::string& line : lines) {
        std::vector<std::string> fields;
        LiteralSplitString(line, "\t", fields);
        if (fields.size() != 5)
            continue;
        const _RegLogEntry entry{fields[0], fields[1], fields[2], fields[3], fields[4]};
        if (LiteralKeeps(entry))
            entries.push_back(entry);
    }
    return entries;
}

// For each exact deletion, in order, scan every entry from the first.
// Each deletion against each entry before it: an entry below the deleted key (its path and a
// backslash; every entry for an empty path) becomes a deletion, which deletes nothing itself.
void LiteralPassTwo(std::vector<_RegLogEntry>& entries) {
    const std::vector<_RegLogEntry> original = entries;
    for (size_t d = 0; d < original.size(); ++d) {
        if (original[d].operation != "DeleteKey")
            continue;
        const std::string prefix = original[d].path.empty() ? std::string() : original[d].path + "\\";
        for (size_t i = 0; i < d; ++i) {
            if (LiteralBeginsWith(entries[i].path, prefix))
                entries[i].operation = "DeleteKey";
        }
    }
}

std::string RandomPath(std::mt19937& random) {
    const char* const pieces[] = {"HKLM", "HKCU", "\\", "\\CLSID", "A", "B", "AB", "\\Run"};
    std::string path;
    const int count = int(random() % 6);
    for (int i = 0; i < count; ++i)
        path += Pick(random, pieces);
    return path;
}

std::string RandomLine(std::mt19937& random) {
    const char* const processes[] = {"setup.exe", "System",      "Systemx", "svchost.exe", "IRP_MJ_WRITE",
                                     "xIRP_MJ_",  "FASTIO_READ", "a$Mftb",  "$Extend",     "IEXPLORE.exe",
                                     "",          "winlogon.exe"};
    const char* const operations[] = {"SetValue",    "SetValueKey", "DeleteKey", "DeleteKeyEx",
                                      "DeleteValue", "OpenKey",     "setvalue",  ""};
    const char* const results[] = {"SUCCESS", "SUCCESS ", "NOT FOUND", "", "ACCESS DENIED"};
    const char* const details[] = {"d", "", "0x1", "\t", "a\tb"};
    if (random() % 16 == 0) {
        std::string noise(random() % 12, 'a');
        for (char& c : noise)
            c = "a\t\\"[random() % 3];
        return noise;
    }
    std::string line = Pick(random, processes) + "\t" + Pick(random, operations) + "\t" + RandomPath(random) +
                       "\t" + Pick(random, results) + "\t" + Pick(random, details);
    if (random() % 8 == 0)
        line += '\t';
    return line;
}

bool SameEntries(const std::list<_RegLogEntry>& got, const std::vector<_RegLogEntry>& expected) {
    if (got.size() != expected.size())
        return false;
    auto want = expected.begin();
    for (const _RegLogEntry& entry : got) {
        if (entry.process != want->process || entry.operation != want->operation ||
            entry.path != want->path || entry.result != want->result || entry.detail != want->detail)
            return false;
        ++want;
    }
    return true;
}

bool CheckSplitString(std::mt19937& random) {
    const char* const delimiters[] = {"\t", "a", "ab", "\t\t"};
    std::string text(random() % 10, 'a');
    for (char& c : text)
        c = "ab\t"[random() % 3];
    const std::string delimiter = Pick(random, delimiters);
    std::vector<std::string> got{"kept"}, expected{"kept"};
    SplitString(text, delimiter, got);
    LiteralSplitString(text, delimiter, expected);
    std::vector<std::string> whole;
    SplitString(text, std::string(), whole);
    return got == expected &&
           whole == (text.empty() ? std::vector<std::string>{} : std::vector<std::string>{text});
}

bool CheckOneLog(std::mt19937& random) {
    if (!CheckSplitString(random))
        return false;
    std::vector<std::string> lines(random() % 12);
    RawLineList raw;
    for (std::string& line : lines) {
        line = RandomLine(random);
        raw.Append(line);
    }
    std::list<_RegLogEntry> entries;
    KeepLogLines(raw, entries);
    std::vector<_RegLogEntry> expected = LiteralPassOne(lines);
    if (!SameEntries(entries, expected))
        return false;
    CancelDeletedKeys(entries);
    LiteralPassTwo(expected);
    return SameEntries(entries, expected);
}

} // namespace

FUZZ_ENTRY("log-passes", CheckOneLog)
