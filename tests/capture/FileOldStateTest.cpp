// The capture keeps the old content of the files a setup changes: a real child process, the capture
// loaded into it as the tracker loads it, changes real files below a watched folder through the
// Win32 calls a setup uses, and the tracker's store holds each file's content from before the
// process's first change to it. The same operations run once without the capture: the program's
// results, last errors and files come out the same either way.
#include "capture/OldState.h"
#include "capture/inject/CaptureInjection.h"
#include "capture/inject/InjectorProcess.h"
#include "capture/module/OldFileContent.h"
#include "tests/capture/InjectTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using capture::OldPresence;
using capture::OldStateKind;
using capture::OldStateRecord;
using inject_test::Narrow;
using inject_test::Widen;

using Files = std::map<std::wstring, std::string>;         // name below a folder -> content
using Operations = std::vector<std::vector<std::wstring>>; // each an operation of the child and its arguments

constexpr DWORD kChildWaitMs = 60000;

std::wstring ChildProgram() {
    return inject_test::BinFolder() + L"\\file-old-state-child.exe";
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && (bytes.empty() || (::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                                  &written, nullptr) &&
                                      written == bytes.size()));
}

// The file's bytes; "<missing>" when it cannot be opened.
std::string ReadBytes(const std::wstring& path) {
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return "<missing>";
    std::string bytes;
    char chunk[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr) && read > 0)
        bytes.append(chunk, read);
    return bytes;
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    UniqueFind find(::FindFirstFileW((path + L"\\*").c_str(), &entry));
    if (find) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                RemoveTree(path + L"\\" + name);
            else
                ::DeleteFileW((path + L"\\" + name).c_str());
        } while (::FindNextFileW(find.get(), &entry));
    }
    find.reset();
    ::RemoveDirectoryW(path.c_str());
}

// The files directly in `folder`, with their content.
Files FilesIn(const std::wstring& folder) {
    Files files;
    WIN32_FIND_DATAW entry;
    UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find)
        return files;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            files[entry.cFileName] = ReadBytes(folder + L"\\" + entry.cFileName);
    } while (::FindNextFileW(find.get(), &entry));
    return files;
}

// How many kept copies the store holds: in its files folder and in the folders there.
size_t KeptCopies(const std::wstring& store) {
    const std::wstring folder = store + L"\\files";
    size_t copies = FilesIn(folder).size();
    WIN32_FIND_DATAW entry;
    UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find)
        return copies;
    do {
        const std::wstring name = entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && name != L"." && name != L"..")
            copies += FilesIn(folder + L"\\" + name).size();
    } while (::FindNextFileW(find.get(), &entry));
    return copies;
}

struct FileFacts {
    DWORD attributes = 0;
    uint64_t lastWrite = 0;
};

FileFacts FactsOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return FileFacts{data.dwFileAttributes,
                     (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                         data.ftLastWriteTime.dwLowDateTime};
}

// Bytes no text editor would make: every byte value, then a counter's, past one read chunk.
std::string MixedBytes(size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    uint32_t state = seed;
    for (size_t i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(i < 256 ? i : state >> 24);
    }
    return bytes;
}

std::wstring Upper(std::wstring text) {
    std::vector<wchar_t> upper(text.size());
    ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.data(), static_cast<int>(text.size()),
                   upper.data(), static_cast<int>(upper.size()));
    return std::wstring(upper.begin(), upper.end());
}

// The names of the files that differ between two runs' folders.
std::vector<std::string> Differences(const std::vector<Files>& a, const std::vector<Files>& b) {
    std::vector<std::string> names;
    if (a.size() != b.size())
        return {"<another number of folders>"};
    for (size_t i = 0; i < a.size(); ++i) {
        Files both = a[i];
        both.insert(b[i].begin(), b[i].end());
        for (const auto& file : both) {
            const auto inA = a[i].find(file.first), inB = b[i].find(file.first);
            if (inA == a[i].end() || inB == b[i].end() || inA->second != inB->second)
                names.push_back(Narrow(file.first));
        }
    }
    return names;
}

// What one run of the child did: its result lines, and the files of the folders it changed.
struct RunResult {
    DWORD processId = 0;
    DWORD exitCode = inject_test::kDidNotEnd;
    std::string lines;
    std::vector<Files> folders;
};

class FileOldState : public testing::Test {
protected:
    void SetUp() override {
        root = Widen(dir.path());
        watched = root + L"\\watched";
        store = watched + L"\\store"; // below the watched folder, and never kept itself
        sibling = root + L"\\watched2";
        outside = root + L"\\outside";
        ASSERT_TRUE(::CreateDirectoryW(outside.c_str(), nullptr));
        const std::string slot =
            "\\\\.\\mailslot\\orvane\\file-old-state-" + std::to_string(::GetCurrentProcessId());
        channel.reset(::CreateMailslotA(slot.c_str(), 0, 0, nullptr));
        ASSERT_TRUE(channel.valid());
        SetVariable(L"ORVANE_CAPTURE_CHANNEL", Widen(slot));
        SetVariable(capture::kStoreVariable, store);
        SetVariable(capture::kWatchedFoldersVariable, L"C:\\unrelated|" + watched);
        SetVariable(capture::kFileCapVariable, L"");
    }

    void SetVariable(const wchar_t* name, const std::wstring& value) {
        variables.push_back(std::make_unique<inject_test::ScopedVariable>(name, value.c_str()));
    }
    void ClearVariable(const wchar_t* name) { ::SetEnvironmentVariableW(name, nullptr); }

    // Lays `files` out in `folder`, made afresh; the store is made afresh, empty, each time.
    void Lay(const std::wstring& folder, const Files& files) {
        RemoveTree(folder);
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr)) << Narrow(folder);
        if (::GetFileAttributesW(watched.c_str()) == INVALID_FILE_ATTRIBUTES) {
            ASSERT_TRUE(::CreateDirectoryW(watched.c_str(), nullptr));
        }
        RemoveTree(store);
        ASSERT_TRUE(::CreateDirectoryW(store.c_str(), nullptr));
        for (const auto& file : files)
            ASSERT_TRUE(WriteBytes(folder + L"\\" + file.first, file.second)) << Narrow(file.first);
    }

    // Runs the child on `operations`, with the capture loaded when `captured`, and reads what it did
    // to `folders`.
    RunResult Run(const Operations& operations, bool captured, const std::vector<std::wstring>& folders) {
        const std::wstring results = outside + L"\\results.txt";
        ::DeleteFileW(results.c_str());
        std::wstring arguments = capture::QuoteArgument(results);
        for (const std::vector<std::wstring>& operation : operations) {
            for (const std::wstring& argument : operation)
                arguments += L" " + capture::QuoteArgument(argument);
        }
        inject_test::Child child(ChildProgram(), arguments, true);
        RunResult run;
        EXPECT_TRUE(child.started()) << Narrow(ChildProgram());
        if (!child.started())
            return run;
        run.processId = child.id();
        if (captured) {
            const capture::CaptureAttempt attempt =
                capture::CaptureSuspendedProcess(child.process(), inject_test::BinFolder());
            EXPECT_EQ(attempt.outcome, capture::CaptureOutcome::Captured)
                << capture::DescribeCaptureAttempt(attempt);
        }
        run.exitCode = child.ResumeAndWait(kChildWaitMs);
        EXPECT_EQ(run.exitCode, 0u);
        run.lines = ReadBytes(results);
        for (const std::wstring& folder : folders)
            run.folders.push_back(FilesIn(folder));
        return run;
    }

    // Runs `operations` on `files` laid out in `folder`, first without the capture, then with it, on
    // the same files laid out afresh; expects the program to see no difference, and answers the
    // captured run.
    RunResult RunBothWays(const std::wstring& folder, const Files& files, const Operations& operations) {
        const std::vector<std::wstring> folders = {folder, sibling, outside};
        Lay(folder, files);
        const RunResult plain = Run(operations, false, folders);
        Lay(folder, files);
        facts.clear();
        for (const auto& file : files)
            facts[folder + L"\\" + file.first] = FactsOf(folder + L"\\" + file.first);
        const RunResult captured = Run(operations, true, folders);
        EXPECT_EQ(captured.lines, plain.lines) << "the program's results and last errors";
        EXPECT_EQ(Differences(captured.folders, plain.folders), std::vector<std::string>())
            << "the files the program left";
        return captured;
    }

    // Every record in the store, in the order of their sequence numbers.
    std::vector<OldStateRecord> Records() {
        std::vector<OldStateRecord> records;
        WIN32_FIND_DATAW entry;
        UniqueFind find(::FindFirstFileW((store + L"\\old-*.rec").c_str(), &entry));
        if (find) {
            do {
                const std::string bytes = ReadBytes(store + L"\\" + entry.cFileName);
                EXPECT_EQ(capture::DecodeOldStates(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                   bytes.size(), records),
                          0u)
                    << "no torn tail";
            } while (::FindNextFileW(find.get(), &entry));
        }
        std::sort(records.begin(), records.end(),
                  [](const OldStateRecord& a, const OldStateRecord& b) { return a.sequence < b.sequence; });
        return records;
    }

    std::vector<std::wstring> KeysOf(const std::vector<OldStateRecord>& records) {
        std::vector<std::wstring> keys;
        for (const OldStateRecord& record : records)
            keys.push_back(record.key);
        return keys;
    }

    // The kept copy: carried in the record, or a file of the store.
    std::string KeptCopy(const OldStateRecord& record) {
        if (record.name == capture::kCopyInRecord)
            return std::string(record.data.begin(), record.data.end());
        return ReadBytes(store + L"\\files\\" + record.name);
    }

    // Expects `record` to hold `content` of the file `path`, as it was laid out.
    void ExpectKept(const OldStateRecord& record, const std::wstring& path, const std::string& content,
                    DWORD processId) {
        SCOPED_TRACE(Narrow(path));
        EXPECT_EQ(record.kind, OldStateKind::File);
        EXPECT_EQ(record.presence, OldPresence::Present) << Narrow(record.reason);
        EXPECT_EQ(record.key, path);
        EXPECT_EQ(record.processId, processId);
        EXPECT_EQ(record.size, content.size());
        EXPECT_EQ(record.type, facts[path].attributes);
        EXPECT_EQ(record.time, facts[path].lastWrite);
        if (content.size() <= capture::kLargestCopyInRecord)
            EXPECT_EQ(record.name, capture::kCopyInRecord) << "a small file travels in its record";
        else
            EXPECT_EQ(record.name.rfind(std::to_wstring(processId) + L"-", 0), 0u) << Narrow(record.name);
        EXPECT_TRUE(KeptCopy(record) == content) << "the kept copy's bytes";
    }

    std::vector<std::string> ChannelMessages() {
        std::vector<std::string> messages;
        for (;;) {
            DWORD next = MAILSLOT_NO_MESSAGE;
            if (!::GetMailslotInfo(channel.get(), nullptr, &next, nullptr, nullptr) ||
                next == MAILSLOT_NO_MESSAGE)
                return messages;
            std::string message(next, '\0');
            DWORD read = 0;
            if (!::ReadFile(channel.get(), &message[0], next, &read, nullptr))
                return messages;
            messages.push_back(message.substr(0, read));
        }
    }

    test_support::TempDir dir{"file-old-state"};
    std::wstring root, watched, store, sibling, outside;
    std::map<std::wstring, FileFacts> facts; // of the files laid out for the captured run
    UniqueFile channel;
    std::vector<std::unique_ptr<inject_test::ScopedVariable>> variables;
};

TEST_F(FileOldState, KeepsWhatEachKindOfChangeReplacesOnceAndOnlyBelowTheWatchedFolders) {
    const Files files = {
        {L"created-over.txt", "old content, replaced by CREATE_ALWAYS\r\n"},
        {L"truncated.txt", "old content, truncated\r\n"},
        {L"written.bin", MixedBytes(200003, 7)}, // four read chunks and a bit
        {L"settings.ini", "[Setup]\r\nKept=1\r\n"},
        {L"replacement.txt", "the file moved over another"},
        {L"replaced.txt", "the file a move replaced"},
        {L"renamed-away.txt", "the file renamed to a new name"},
        {L"deleted.txt", "the deleted file"},
        {L"written-twice.txt", "the file written twice"},
        {L"only-read.txt", "the file only read"},
        {L"empty.txt", ""},
    };
    Lay(sibling, {{L"sibling.txt", "a folder whose name begins like the watched one's"}});
    ASSERT_TRUE(WriteBytes(outside + L"\\outside.txt", "outside every watched folder"));
    const std::wstring w = watched + L"\\";
    const RunResult run = RunBothWays(watched, files,
                                      {{L"create-always", w + L"created-over.txt"},
                                       {L"truncate", w + L"truncated.txt"},
                                       {L"write", w + L"written.bin"},
                                       {L"ini", w + L"settings.ini"},
                                       {L"move-replace", w + L"replacement.txt", w + L"replaced.txt"},
                                       {L"move", w + L"renamed-away.txt", w + L"renamed-to.txt"},
                                       {L"delete", w + L"deleted.txt"},
                                       {L"create-new", w + L"new.txt"},
                                       {L"write", w + L"written-twice.txt"},
                                       {L"write", w + L"written-twice.txt"},
                                       {L"read", w + L"only-read.txt"},
                                       {L"write", w + L"empty.txt"},
                                       {L"write", sibling + L"\\sibling.txt"},
                                       {L"write", outside + L"\\outside.txt"},
                                       {L"create-always", store + L"\\note.txt"}});
    // CREATE_ALWAYS over an existing file succeeds with ERROR_ALREADY_EXISTS as the last error.
    EXPECT_EQ(run.lines.substr(0, run.lines.find('\n')), "create-always 1 183");
    EXPECT_EQ(std::count(run.lines.begin(), run.lines.end(), '\n'), 15);
    EXPECT_EQ(run.lines.find(" 0 "), std::string::npos) << run.lines;

    std::vector<OldStateRecord> records = Records();
    // The move over a file opens both; which first is the system's business.
    const std::vector<std::wstring> expected = {
        w + L"created-over.txt", w + L"truncated.txt", w + L"written.bin",       w + L"settings.ini",
        w + L"replacement.txt",  w + L"replaced.txt",  w + L"renamed-away.txt",  w + L"renamed-to.txt",
        w + L"deleted.txt",      w + L"new.txt",       w + L"written-twice.txt", w + L"empty.txt"};
    std::vector<std::wstring> keys = KeysOf(records);
    if (keys.size() == expected.size() && keys[4] == expected[5] && keys[5] == expected[4])
        std::swap(keys[4], keys[5]);
    ASSERT_EQ(keys, expected);
    for (const OldStateRecord& record : records) {
        const std::wstring name = record.key.substr(w.size());
        if (name == L"renamed-to.txt" || name == L"new.txt") {
            EXPECT_EQ(record.presence, OldPresence::Absent) << Narrow(name) << " did not exist";
            EXPECT_TRUE(record.name.empty());
            EXPECT_EQ(record.processId, run.processId);
        } else {
            ExpectKept(record, record.key, files.at(name), run.processId);
        }
    }
    EXPECT_EQ(KeptCopies(store), 1u) << "a copy in the store for the one file too large for a record";
    EXPECT_TRUE(ChannelMessages().empty());
}

TEST_F(FileOldState, EachProcessKeepsTheFileAsItsOwnFirstChangeFoundIt) {
    const std::wstring path = watched + L"\\shared.txt";
    const std::string original = "as found"; // shorter than what the first process writes
    Lay(watched, {{L"shared.txt", original}});
    const FileFacts before = FactsOf(path);
    const RunResult first = Run({{L"write", path}}, true, {watched});
    const RunResult second = Run({{L"write", path}, {L"delete", path}}, true, {watched});

    const std::vector<OldStateRecord> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].processId, first.processId) << "the lower sequence number is the earlier change";
    EXPECT_EQ(records[1].processId, second.processId);
    EXPECT_TRUE(KeptCopy(records[0]) == original);
    EXPECT_EQ(records[0].time, before.lastWrite);
    EXPECT_EQ(KeptCopy(records[1]), "written by the setup") << "what the first process left";
}

TEST_F(FileOldState, ManyCopiesAreKeptWholeInFoldersOfTheStore) {
    // One past what a folder of the store takes, so that the copies fill two; each file too large
    // for a record.
    constexpr int kFiles = 257;
    Files files;
    Operations operations;
    for (int i = 0; i < kFiles; ++i) {
        const std::wstring name = L"m" + std::to_wstring(i);
        files[name] = MixedBytes(capture::kLargestCopyInRecord + 1 + i, static_cast<unsigned>(i));
        operations.push_back({L"write", watched + L"\\" + name});
    }
    Lay(watched, files);
    facts.clear();
    for (const auto& file : files)
        facts[watched + L"\\" + file.first] = FactsOf(watched + L"\\" + file.first);
    const RunResult run = Run(operations, true, {watched});

    const std::vector<OldStateRecord> records = Records();
    ASSERT_EQ(records.size(), static_cast<size_t>(kFiles));
    std::set<std::wstring> names, folders;
    for (const OldStateRecord& record : records) {
        const std::wstring name = record.key.substr(watched.size() + 1);
        ExpectKept(record, record.key, files.at(name), run.processId);
        names.insert(record.name);
        folders.insert(record.name.substr(0, record.name.find(L'\\')));
    }
    EXPECT_EQ(names.size(), static_cast<size_t>(kFiles));
    EXPECT_EQ(folders.size(), 2u);
    EXPECT_EQ(KeptCopies(store), static_cast<size_t>(kFiles));
}

// Small files travel in their records, up to a bound for each process, past which they go into the
// store as larger ones do: the tracker reads a record file whole.
TEST_F(FileOldState, SmallFilesTravelInTheirRecordsUpToABoundForEachProcess) {
    constexpr size_t kCarried = capture::kRecordCopyBytes / capture::kLargestCopyInRecord;
    constexpr size_t kFiles = kCarried + 3;
    Files files = {{L"empty.bin", ""}};
    Operations operations = {{L"write", watched + L"\\empty.bin"}};
    for (size_t i = 0; i < kFiles; ++i) {
        const std::wstring name = L"s" + std::to_wstring(i);
        files[name] = MixedBytes(capture::kLargestCopyInRecord, static_cast<unsigned>(i));
        operations.push_back({L"write", watched + L"\\" + name});
    }
    Lay(watched, files);
    const RunResult run = Run(operations, true, {watched});

    const std::vector<OldStateRecord> records = Records();
    ASSERT_EQ(records.size(), kFiles + 1);
    EXPECT_EQ(records[0].name, capture::kCopyInRecord) << "an empty file's copy is the empty record data";
    EXPECT_TRUE(records[0].data.empty());
    size_t inRecords = 0;
    for (const OldStateRecord& record : records) {
        EXPECT_EQ(record.presence, OldPresence::Present) << Narrow(record.key);
        EXPECT_TRUE(KeptCopy(record) == files.at(record.key.substr(watched.size() + 1)))
            << Narrow(record.key);
        inRecords += record.name == capture::kCopyInRecord ? 1 : 0;
    }
    EXPECT_EQ(inRecords, kCarried + 1);
    EXPECT_EQ(KeptCopies(store), kFiles - kCarried);
}

// A create of a new file only is recorded once it has made the file; one that finds the file there
// fails and changes nothing, and must leave the file's next change to keep its content.
TEST_F(FileOldState, ACreateOfANewFileIsRecordedOnlyWhenItMadeTheFile) {
    const Files files = {{L"there.txt", "there before the setup"}};
    const std::wstring there = watched + L"\\there.txt", made = watched + L"\\made.txt";
    const RunResult run = RunBothWays(watched, files,
                                      {{L"create-new", there},
                                       {L"write", there},
                                       {L"create-new", made},
                                       {L"create-new", made},
                                       {L"delete", made}});
    EXPECT_EQ(run.lines.substr(0, run.lines.find('\n')), "create-new 0 80") << "ERROR_FILE_EXISTS";

    const std::vector<OldStateRecord> records = Records();
    ASSERT_EQ(KeysOf(records), (std::vector<std::wstring>{there, made}));
    ExpectKept(records[0], there, files.at(L"there.txt"), run.processId);
    EXPECT_EQ(records[1].presence, OldPresence::Absent) << "its first create made it";
    EXPECT_EQ(records[1].processId, run.processId);
    EXPECT_TRUE(records[1].name.empty()) << "nothing kept of a file the setup made";
    EXPECT_EQ(KeptCopies(store), 0u);
}

TEST_F(FileOldState, AFilePastTheCapIsRecordedButNotCopied) {
    SetVariable(capture::kFileCapVariable, L"1000");
    const Files files = {{L"at-cap.bin", MixedBytes(1000, 1)}, {L"past-cap.bin", MixedBytes(1001, 2)}};
    const RunResult run = RunBothWays(
        watched, files, {{L"write", watched + L"\\at-cap.bin"}, {L"delete", watched + L"\\past-cap.bin"}});

    const std::vector<OldStateRecord> records = Records();
    ASSERT_EQ(records.size(), 2u);
    ExpectKept(records[0], watched + L"\\at-cap.bin", files.at(L"at-cap.bin"), run.processId);
    EXPECT_EQ(records[1].key, watched + L"\\past-cap.bin");
    EXPECT_EQ(records[1].presence, OldPresence::TooLarge);
    EXPECT_EQ(records[1].size, 1001u);
    EXPECT_EQ(records[1].time, facts[records[1].key].lastWrite);
    EXPECT_TRUE(records[1].name.empty());
    EXPECT_EQ(KeptCopies(store), 0u) << "the file at the cap travels in its record";
}

TEST_F(FileOldState, AFileThatCannotBeReadIsUnknownAndTheProgramsCallGoesOnAsItWould) {
    const Files files = {{L"held.txt", "held open by the program, sharing nothing"},
                         {L"unreadable.txt", "held open by another program, sharing writes only"}};
    const std::wstring unreadable = watched + L"\\unreadable.txt";
    // The other program: this test, holding the file for writing and letting no one read it.
    const auto holdAndRun = [&](bool captured) {
        const UniqueFile holder(::CreateFileW(unreadable.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(holder.valid());
        return Run({{L"delete-held", watched + L"\\held.txt"}, {L"write", unreadable}}, captured, {});
    };
    Lay(watched, files);
    const RunResult plain = holdAndRun(false);
    const std::string plainUnreadable = ReadBytes(unreadable);
    Lay(watched, files);
    const RunResult captured = holdAndRun(true);
    EXPECT_EQ(captured.lines, plain.lines);
    EXPECT_EQ(captured.lines.substr(0, captured.lines.find('\n')), "delete-held 0 32")
        << "the program's delete fails on its own handle";
    EXPECT_EQ(ReadBytes(watched + L"\\held.txt"), files.at(L"held.txt"));
    EXPECT_EQ(ReadBytes(unreadable), plainUnreadable) << "the program's write went through";

    const std::vector<OldStateRecord> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].key, watched + L"\\held.txt");
    EXPECT_EQ(records[1].key, unreadable);
    for (const OldStateRecord& record : records) {
        EXPECT_EQ(record.presence, OldPresence::Unknown);
        EXPECT_EQ(record.reason, L"could not be read (error 32)");
        EXPECT_TRUE(record.name.empty());
    }
    EXPECT_EQ(KeptCopies(store), 0u);
}

TEST_F(FileOldState, AStoreThatCannotTakeCopiesIsSaidOnceAndTheProgramGoesOn) {
    // a.txt travels in its record; b.txt and c.txt are too large for one.
    const Files files = {{L"a.txt", "first"},
                         {L"b.txt", MixedBytes(capture::kLargestCopyInRecord + 1, 1)},
                         {L"c.txt", MixedBytes(capture::kLargestCopyInRecord + 2, 2)}};
    Lay(watched, files);
    ASSERT_TRUE(WriteBytes(store + L"\\files", "a file where the copies' folder belongs"));
    const RunResult run = Run({{L"write", watched + L"\\a.txt"},
                               {L"delete", watched + L"\\b.txt"},
                               {L"delete", watched + L"\\c.txt"}},
                              true, {watched});
    EXPECT_EQ(run.lines.find(" 0 "), std::string::npos) << run.lines;
    EXPECT_EQ(run.folders[0], (Files{{L"a.txt", "written by the setup"}}));

    std::vector<OldStateRecord> records = Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].presence, OldPresence::Present);
    EXPECT_EQ(KeptCopy(records[0]), "first");
    records.erase(records.begin());
    for (const OldStateRecord& record : records) {
        EXPECT_EQ(record.presence, OldPresence::Unknown);
        EXPECT_EQ(record.reason.rfind(L"could not be copied into the store (error ", 0), 0u)
            << Narrow(record.reason);
    }
    std::vector<std::string> said;
    for (const std::string& message : ChannelMessages()) {
        if (message.find("old content") != std::string::npos)
            said.push_back(message);
    }
    ASSERT_EQ(said.size(), 1u);
    const std::string prefix = "oldstate\t" + std::to_string(run.processId) + "\tfile-old-state-child.exe\t";
    EXPECT_EQ(
        said[0].rfind(prefix + "the old content of its files cannot be kept: the store cannot be written", 0),
        0u)
        << said[0];
}

TEST_F(FileOldState, ComparesNamesCaseBlindAndReadsTheTrackersVariablesWarily) {
    const std::wstring accented = root + L"\\w\x00E9";
    // Empty parts, a trailing separator and another case; a cap that is no number counts as none.
    SetVariable(capture::kWatchedFoldersVariable, L"||" + Upper(accented) + L"\\|");
    SetVariable(capture::kFileCapVariable, L"12x");
    const Files files = {{L"Mixed.Txt", MixedBytes(5000, 3)}};
    const std::wstring lower = accented + L"\\mixed.txt";
    const RunResult run = RunBothWays(accented, files, {{L"write", lower}, {L"write", Upper(lower)}});

    const std::vector<OldStateRecord> records = Records();
    ASSERT_EQ(records.size(), 1u) << "one file, whatever the case of its name";
    facts[lower] = facts[accented + L"\\Mixed.Txt"];
    ExpectKept(records[0], lower, files.at(L"Mixed.Txt"), run.processId);
    RemoveTree(accented);
}

TEST_F(FileOldState, TakesAShortNameForItsLongForm) {
    const std::wstring folder = root + L"\\Long Watched Folder";
    SetVariable(capture::kWatchedFoldersVariable, folder);
    const Files files = {{L"Long File Name.txt", "named by its short alias"}};
    Lay(folder, files);
    const std::wstring shortFolder = inject_test::ShortPathOf(folder);
    const std::wstring shortFile = inject_test::ShortPathOf(folder + L"\\Long File Name.txt");
    if (shortFolder.empty() || shortFolder == folder || shortFile == folder + L"\\Long File Name.txt")
        GTEST_SKIP() << "this system gives the names no short alias";
    const RunResult run =
        RunBothWays(folder, files, {{L"write", shortFile}, {L"create-new", shortFolder + L"\\BRAND-~1.TXT"}});

    const std::vector<OldStateRecord> records = Records();
    ASSERT_EQ(records.size(), 2u);
    ExpectKept(records[0], folder + L"\\Long File Name.txt", files.at(L"Long File Name.txt"), run.processId);
    EXPECT_EQ(records[1].key, folder + L"\\BRAND-~1.TXT")
        << "a new file's own name is as the program gave it";
    EXPECT_EQ(records[1].presence, OldPresence::Absent);
}

TEST_F(FileOldState, SeesTheNativeCallsAndLeavesWhatItCannotReadToTheSystem) {
    const Files files = {{L"nt-deleted.txt", "deleted through NtDeleteFile"},
                         {L"relative.txt", "overwritten by a name relative to its folder's handle"}};
    const RunResult run = RunBothWays(watched, files,
                                      {{L"nt-delete", watched + L"\\nt-deleted.txt"},
                                       {L"nt-relative", watched, L"relative.txt"},
                                       {L"nt-unreadable-name"}});
    EXPECT_EQ(run.lines.substr(0, run.lines.find('\n')), "nt-delete 1 0");
    EXPECT_NE(run.lines.find("nt-relative 1 0\n"), std::string::npos) << run.lines;
    EXPECT_NE(run.lines.find("nt-unreadable-name 0 "), std::string::npos) << "refused by the system";

    // The name relative to a handle is not kept: the tracker finds no record and says so.
    const std::vector<OldStateRecord> records = Records();
    ASSERT_EQ(records.size(), 1u);
    ExpectKept(records[0], watched + L"\\nt-deleted.txt", files.at(L"nt-deleted.txt"), run.processId);
}

TEST_F(FileOldState, WithoutWatchedFoldersNothingIsKept) {
    ClearVariable(capture::kWatchedFoldersVariable);
    Lay(watched, {{L"a.txt", "old"}});
    const RunResult run =
        Run({{L"write", watched + L"\\a.txt"}, {L"delete", watched + L"\\a.txt"}}, true, {watched});
    EXPECT_EQ(run.lines.find(" 0 "), std::string::npos) << run.lines;
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(::GetFileAttributesW((store + L"\\files").c_str()), INVALID_FILE_ATTRIBUTES);
}

} // namespace
