// REGSYS.SYS's own registry callback on a real NT kernel (the ReactOS lane's guest, Server 2003
// level): installed, started and removed through the service manager by the library's own driver
// control, as a host gets it, it must log every value write and key deletion of this program with
// the operation's real status, type and length, log no failed operation as a success, lose nothing,
// and let capture stop and the driver unload while writes go on.
//
// Each case loads the driver afresh and unloads it at its end. Every line the driver logged for the
// case is printed as "driver-line <case>: ..." for the lane's record.
#include "registry/DriverService.h"
#include "registry/LogParser.h"
#include "registry/RegistryMonitor.h"
#include "tests/reactos/GuestSupport.h"

#include "host/track/result/Base64.h"

#include <gtest/gtest.h>

#include <process.h>
#include <shlwapi.h>

#include <atomic>
#include <list>
#include <map>
#include <cstring>
#include <memory>

namespace {

using guest::Ansi;
using guest::GuestDevice;
using guest::LogLine;
using guest::Report;
using guest::ScratchKey;
using guest::ServiceExists;

constexpr DWORD kBoundMs = 60000; // for anything a case waits for: the guest runs emulated

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}

// Registry names compare without regard to case; only ASCII letters are folded here.
bool SameName(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

bool StartsWithName(const std::string& text, const std::string& prefix) {
    return Lower(text.substr(0, prefix.size())) == Lower(prefix);
}

std::string CurrentCase() {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    return info != nullptr ? info->name() : "?";
}

std::string Bytes(const void* data, size_t size) {
    return std::string(static_cast<const char*>(data), size);
}

std::string Wide(const std::wstring& text) {
    return Bytes(text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

// Where the library installs the driver from: <system directory>\drivers\REGSYS.SYS.
std::string DriverPath() {
    char system[MAX_PATH];
    const UINT length = ::GetSystemDirectoryA(system, sizeof system);
    return std::string(system, length < sizeof system ? length : 0) + REGMON_DRIVER_SUBPATH;
}

class KernelCallback : public testing::Test {
protected:
    void SetUp() override {
        DWORD failure = 0;
        UniqueFile handle = InstallAndOpenDriver(REGMON_SERVICE_NAME, DriverPath().c_str(), &failure);
        ASSERT_TRUE(handle.valid()) << "the driver did not open: error " << failure;
        device_ = std::make_unique<GuestDevice>(std::move(handle));
        DWORD version = 0;
        ASSERT_TRUE(device_->Control(IOCTL_GET_VERSION, nullptr, 0, &version, sizeof version));
        ASSERT_EQ(version, REGMON_VERSION);
        REGMON_CAPTURE_STATE state;
        ASSERT_TRUE(device_->State(state)) << device_->lastError();
        ASSERT_EQ(state.callbackActive, 1u) << "the kernel did not take the driver's registry callback";
        ASSERT_TRUE(device_->Control(IOCTL_START_CAPTURE, nullptr, 0)) << device_->lastError();
    }

    // The library's way to leave the driver: its device closed, then the service stopped and
    // deleted, which unloads it.
    void TearDown() override { Unload(); }

    void Unload() {
        device_.reset();
        StopAndDeleteService(REGMON_SERVICE_NAME);
    }

    // The lines the driver logged since the last call for this program (or for any process) below
    // any of `keys`, each printed; the other lines are only counted. With IOCTL_READ_WRITER_LINES,
    // the writer lines instead.
    std::vector<LogLine> TakeOwnLines(std::initializer_list<const ScratchKey*> keys, bool anyProcess = false,
                                      DWORD readCode = IOCTL_READ_LOG) {
        const std::string self = guest::ThisImageName();
        std::vector<LogLine> own;
        for (const std::string& text : device_->TakeAll(readCode)) {
            LogLine line;
            if (!guest::SplitLogLine(text, line)) {
                ADD_FAILURE() << "a log line without five fields: " << text;
                continue;
            }
            bool below = false;
            for (const ScratchKey* key : keys)
                below = below || StartsWithName(line.path, key->LogPath(L""));
            if (!(anyProcess || SameName(line.process, self)) || !below) {
                ++otherLines_;
                continue;
            }
            Report((readCode == IOCTL_READ_LOG ? "driver-line " : "writer-line ") + CurrentCase() + ": " +
                   (anyProcess ? line.process + " | " : "") + line.operation + " | " + line.path + " | " +
                   line.result + " | " + line.detail);
            own.push_back(line);
        }
        return own;
    }
    std::vector<LogLine> TakeOwnLines(const ScratchKey& key) { return TakeOwnLines({&key}); }

    // The capture's counts now; every one of them zero unless given here.
    void ExpectCounts(unsigned unconvertible = 0, unsigned forbidden = 0) {
        REGMON_CAPTURE_STATE state;
        ASSERT_TRUE(device_->State(state)) << device_->lastError();
        Report("capture-state " + CurrentCase() + ": " + guest::DescribeCounts(state) +
               " otherProcessLines=" + std::to_string(otherLines_));
        EXPECT_EQ(state.linesLostLogFull, 0u);
        EXPECT_EQ(state.linesForbidden, forbidden);
        EXPECT_EQ(state.linesUnconvertible, unconvertible);
        EXPECT_EQ(state.linesUnmapped, 0u);
        EXPECT_EQ(state.nameQueriesFailed, 0u);
        EXPECT_EQ(state.linesUnpaired, 0u);
        EXPECT_EQ(state.deletionsUnchecked, 0u);
    }

    std::unique_ptr<GuestDevice> device_;
    size_t otherLines_ = 0;
};

// The lines whose path is `path` (case aside).
std::vector<LogLine> LinesFor(const std::vector<LogLine>& lines, const std::string& path) {
    std::vector<LogLine> found;
    for (const LogLine& line : lines)
        if (SameName(line.path, path))
            found.push_back(line);
    return found;
}

// What the library's first two log passes keep of the lines as value writes, with the writes below
// a key deleted after them cancelled: the paths below `key`, in log order.
std::vector<std::string> WritesKeptByTheLibrary(const std::vector<LogLine>& lines, const ScratchKey& key) {
    RawLineList raw;
    for (const LogLine& line : lines)
        raw.Append(line.text);
    std::list<_RegLogEntry> entries;
    KeepLogLines(raw, entries);
    CancelDeletedKeys(entries);
    std::vector<std::string> kept;
    for (const _RegLogEntry& entry : entries)
        if (entry.operation == "SetValue")
            kept.push_back(entry.path.substr(key.LogPath(L"").size()));
    return kept;
}

TEST_F(KernelCallback, RegistersWithTheServer2003KindAndRefusesAppendedLines) {
    REGMON_CAPTURE_STATE state;
    ASSERT_TRUE(device_->State(state));
    EXPECT_EQ(state.size, unsigned(REGMON_CAPTURE_STATE_SIZE));
    EXPECT_EQ(state.version, REGMON_CAPTURE_STATE_VERSION);
    EXPECT_EQ(state.callbackActive, 1u);
    EXPECT_EQ(state.notifications, REGMON_NOTIFY_POST_STATUS_ONLY) << "the kernel reports 5.2";
    // One capture has one source: the callback's.
    const std::string line = "p\tSetValue\tHKLM\\x\tSUCCESS\td";
    EXPECT_FALSE(device_->Control(IOCTL_APPEND_LOG_LINE, line.data(), DWORD(line.size())));
    EXPECT_EQ(device_->lastError(), DWORD(ERROR_NOT_SUPPORTED));
    const std::string batch = line + "\n";
    EXPECT_FALSE(device_->Control(IOCTL_APPEND_LOG_LINES, batch.data(), DWORD(batch.size())));
    EXPECT_EQ(device_->lastError(), DWORD(ERROR_NOT_SUPPORTED));
    ExpectCounts();
}

enum class Api { Wide, Ansi, Shell, OldStyle };

struct Write {
    std::wstring child; // key below the scratch key, "" for itself
    std::wstring name;
    DWORD type;
    std::string data;
    Api api;
    DWORD loggedLength; // the data's length as the kernel gets it
};

LONG Perform(const ScratchKey& key, const Write& write) {
    switch (write.api) {
    case Api::Ansi: {
        UniqueKey target = key.Create(write.child);
        return ::RegSetValueExA(target.get(), Ansi(write.name).c_str(), 0, write.type,
                                reinterpret_cast<const BYTE*>(write.data.data()), DWORD(write.data.size()));
    }
    case Api::Shell:
        return LONG(::SHSetValueW(key.root(), key.Below(write.child).c_str(), write.name.c_str(), write.type,
                                  write.data.data(), DWORD(write.data.size())));
    case Api::OldStyle: // the default value of the child, its length counted by the call
        return ::RegSetValueW(key.Create(L"").get(), write.child.c_str(), write.type,
                              reinterpret_cast<const wchar_t*>(write.data.data()), 0);
    case Api::Wide:
    default: {
        UniqueKey target = key.Create(write.child);
        return ::RegSetValueExW(target.get(), write.name.c_str(), 0, write.type,
                                reinterpret_cast<const BYTE*>(write.data.data()), DWORD(write.data.size()));
    }
    }
}

std::string TypeName(DWORD type) {
    static const char* const kNames[] = {"REG_NONE",
                                         "REG_SZ",
                                         "REG_EXPAND_SZ",
                                         "REG_BINARY",
                                         "REG_DWORD",
                                         "REG_DWORD_BIG_ENDIAN",
                                         "REG_LINK",
                                         "REG_MULTI_SZ",
                                         "REG_RESOURCE_LIST",
                                         "REG_FULL_RESOURCE_DESCRIPTOR",
                                         "REG_RESOURCE_REQUIREMENTS_LIST",
                                         "REG_QWORD"};
    return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : std::to_string(type);
}

// True when every character of `name` has an exact form in the ANSI code page.
bool AnsiHolds(const std::wstring& name) {
    BOOL defaulted = FALSE;
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.data(), int(name.size()), nullptr, 0, nullptr,
                          &defaulted);
    return !defaulted;
}

TEST_F(KernelCallback, ValuesOfEveryTypeAreLoggedWithTheirTypeAndLength) {
    ScratchKey key(HKEY_CURRENT_USER, "HKCU", "types");
    ScratchKey machine(HKEY_LOCAL_MACHINE, "HKLM", "types");
    const DWORD dword = 0x12345678;
    const unsigned long long qword = 0x0123456789ABCDEFull;
    const std::string multi = Bytes(L"one\0two\0\0", 10 * sizeof(wchar_t));
    const std::string large(100000, '\x5a');
    const std::wstring longName(1000, L'L');
    const std::wstring beyondAscii = L"Gr\u00f6\u00dfe-\u00e9t\u00e9";
    const std::wstring ansiName = L"\u00c4pfel-A";
    const std::vector<Write> writes = {
        {L"", L"Sz", REG_SZ, Wide(L"text"), Api::Wide, 10},
        {L"", L"Expand", REG_EXPAND_SZ, Wide(L"%TEMP%\\x"), Api::Wide, 18},
        {L"", L"Binary", REG_BINARY, Bytes("\x01\x02\x00\xff\x7f", 5), Api::Wide, 5},
        {L"", L"Dword", REG_DWORD, Bytes(&dword, 4), Api::Wide, 4},
        {L"", L"BigEndian", REG_DWORD_BIG_ENDIAN, Bytes(&dword, 4), Api::Wide, 4},
        {L"", L"Multi", REG_MULTI_SZ, multi, Api::Wide, 20},
        {L"", L"Qword", REG_QWORD, Bytes(&qword, 8), Api::Wide, 8},
        {L"", L"None", REG_NONE, std::string("\x01\x02\x03", 3), Api::Wide, 3},
        {L"", L"EmptyNone", REG_NONE, std::string(), Api::Wide, 0},
        {L"", L"Unnamed type", 0x1234, std::string("abc", 3), Api::Wide, 3},
        {L"", L"Large", REG_BINARY, large, Api::Wide, DWORD(large.size())},
        {L"", L"", REG_SZ, Wide(L"default"), Api::Wide, 16},
        {L"Deeper\\Still", longName, REG_SZ, Wide(L"x"), Api::Wide, 4},
        {L"", beyondAscii, REG_SZ, Wide(L"\u00fc"), Api::Wide, 4},
        // The ANSI call hands the kernel UTF-16: strings double (and end in a NUL), binary stays.
        {L"", ansiName, REG_SZ, std::string("abc", 4), Api::Ansi, 8},
        {L"", L"AnsiMulti", REG_MULTI_SZ, std::string("x\0yz\0\0", 6), Api::Ansi, 12},
        {L"", L"AnsiBinary", REG_BINARY, std::string("abc", 3), Api::Ansi, 3},
        {L"Shell", L"ViaShell", REG_DWORD, Bytes(&dword, 4), Api::Shell, 4},
        {L"Old", L"", REG_SZ, Wide(L"old style"), Api::OldStyle, 20},
    };
    for (const Write& write : writes)
        ASSERT_EQ(Perform(key, write), ERROR_SUCCESS) << Ansi(write.name);
    const Write inMachine{L"", L"Machine", REG_DWORD, Bytes(&dword, 4), Api::Wide, 4};
    ASSERT_EQ(Perform(machine, inMachine), ERROR_SUCCESS);

    // Names no log line can hold: counted, not logged.
    unsigned unconvertible = 0, forbidden = 0;
    const std::wstring cyrillic = L"\u0418\u043c\u044f";
    const std::wstring tooLong(5000, L'T');
    for (const std::wstring& name : {cyrillic, tooLong, std::wstring(L"Tab\tName")}) {
        const Write write{L"", name, REG_DWORD, Bytes(&dword, 4), Api::Wide, 4};
        const LONG written = Perform(key, write);
        Report("unloggable name of " + std::to_string(name.size()) + " characters: RegSetValueExW " +
               std::to_string(written));
        if (written != ERROR_SUCCESS)
            continue;
        if (name.find(L'\t') != std::wstring::npos)
            ++forbidden;
        else if (name == tooLong || !AnsiHolds(name))
            ++unconvertible;
    }

    const std::vector<LogLine> lines = TakeOwnLines({&key, &machine});
    for (const Write& write : writes) {
        const std::string path =
            key.LogPath(write.child.empty() ? write.name : write.child + L"\\" + write.name);
        const std::vector<LogLine> found = LinesFor(lines, path);
        ASSERT_EQ(found.size(), 1u) << path.substr(0, 200);
        EXPECT_EQ(found[0].operation, "SetValue");
        EXPECT_EQ(found[0].result, "SUCCESS");
        EXPECT_EQ(found[0].detail,
                  "Type: " + TypeName(write.type) + ", Length: " + std::to_string(write.loggedLength))
            << path.substr(0, 200);
        // The value's name is the caller's, exactly.
        EXPECT_EQ(found[0].path.substr(found[0].path.size() - Ansi(write.name).size()), Ansi(write.name));
    }
    const std::vector<LogLine> machineFound = LinesFor(lines, machine.LogPath(L"Machine"));
    ASSERT_EQ(machineFound.size(), 1u);
    EXPECT_EQ(machineFound[0].detail, "Type: REG_DWORD, Length: 4");
    EXPECT_EQ(lines.size(), writes.size() + 1) << "a line the test did not expect";
    ExpectCounts(unconvertible, forbidden);
}

// Runs a command line to its end, a bounded time; its exit status, or -1.
long RunToEnd(const std::string& commandLine) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string writable = commandLine;
    if (!::CreateProcessA(nullptr, &writable[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process))
        return -1;
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    DWORD status = DWORD(-1);
    if (::WaitForSingleObject(processHandle.get(), kBoundMs) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(processHandle.get(), &status))
        return -1;
    return long(status);
}

// Each hive is named by the root the log uses for it, and another process's writes come with its
// own image name: reg.exe, as a setup that writes through cmd would run it.
TEST_F(KernelCallback, KeysAreNamedByTheirRootsAndWritesByTheirProcess) {
    ScratchKey user(HKEY_CURRENT_USER, "HKCU", "roots");
    ScratchKey classes(HKEY_CURRENT_USER, "HKCU", "roots", L"Software\\Classes\\OrvaneGuest");
    ScratchKey machine(HKEY_LOCAL_MACHINE, "HKLM", "roots");
    ScratchKey otherUser(HKEY_USERS, "HKEY_USERS", "roots", L".DEFAULT\\Software\\OrvaneGuest");
    const DWORD one = 1;
    for (const ScratchKey* key : {&user, &classes, &machine, &otherUser})
        ASSERT_EQ(::RegSetValueExW(key->Create(L"").get(), L"Here", 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&one), sizeof one),
                  ERROR_SUCCESS);
    const std::string regKey = "HKCU\\" + Ansi(user.Below(L"ViaReg"));
    ASSERT_EQ(RunToEnd("reg.exe add \"" + regKey + "\" /v FromReg /t REG_SZ /d \"set by reg\" /f"), 0);
    ASSERT_EQ(RunToEnd("reg.exe delete \"" + regKey + "\" /f"), 0);

    const std::vector<LogLine> lines = TakeOwnLines({&user, &classes, &machine, &otherUser}, true);
    for (const ScratchKey* key : {&user, &classes, &machine, &otherUser}) {
        const std::vector<LogLine> found = LinesFor(lines, key->LogPath(L"Here"));
        ASSERT_EQ(found.size(), 1u) << key->LogPath(L"Here");
        EXPECT_TRUE(SameName(found[0].process, guest::ThisImageName()));
        EXPECT_EQ(found[0].result, "SUCCESS");
    }
    const std::vector<LogLine> fromReg = LinesFor(lines, user.LogPath(L"ViaReg\\FromReg"));
    ASSERT_EQ(fromReg.size(), 1u);
    EXPECT_TRUE(SameName(fromReg[0].process, "reg.exe")) << fromReg[0].process;
    EXPECT_EQ(fromReg[0].detail, "Type: REG_SZ, Length: 22"); // "set by reg" and its NUL
    const std::vector<LogLine> regDeleted = LinesFor(lines, user.LogPath(L"ViaReg"));
    ASSERT_EQ(regDeleted.size(), 1u);
    EXPECT_EQ(regDeleted[0].operation, "DeleteKey");
    EXPECT_TRUE(SameName(regDeleted[0].process, "reg.exe")) << regDeleted[0].process;

    // The writer lines are the same lines, in the same order, but that each names its process by
    // image and id, whether the process is the setup's or not.
    const std::vector<LogLine> writers =
        TakeOwnLines({&user, &classes, &machine, &otherUser}, true, IOCTL_READ_WRITER_LINES);
    ASSERT_EQ(writers.size(), lines.size());
    const std::string self = guest::ThisImageName() + ":" + std::to_string(::GetCurrentProcessId());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(writers[i].operation + writers[i].path + writers[i].result + writers[i].detail,
                  lines[i].operation + lines[i].path + lines[i].result + lines[i].detail);
        const bool ours = SameName(lines[i].process, guest::ThisImageName());
        const std::string& named = writers[i].process;
        const size_t colon = named.rfind(':');
        ASSERT_NE(colon, std::string::npos) << named;
        EXPECT_TRUE(SameName(named.substr(0, colon), lines[i].process)) << named;
        EXPECT_EQ(named.find_first_not_of("0123456789", colon + 1), std::string::npos) << named;
        EXPECT_EQ(SameName(named, self), ours) << named;
    }
    ExpectCounts();
}

// A process the capture marks as the setup's is named by image and id, as the capture names the
// processes it logs, so that a setup's own process of a name the library leaves out keeps its
// values; the mark ends with the capture, and is refused while capture is off.
TEST_F(KernelCallback, AMarkedProcessIsNamedByItsImageAndIdUntilCaptureStops) {
    ScratchKey key(HKEY_CURRENT_USER, "HKCU", "marked");
    const DWORD one = 1;
    ASSERT_EQ(::RegSetValueExW(key.Create(L"").get(), L"Before", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_SUCCESS);
    ASSERT_TRUE(device_->Control(IOCTL_MARK_TREE_PROCESS, nullptr, 0)) << device_->lastError();
    ASSERT_TRUE(device_->Control(IOCTL_MARK_TREE_PROCESS, nullptr, 0)) << "a second mark of the same process";
    ASSERT_EQ(::RegSetValueExW(key.Create(L"").get(), L"Marked", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_SUCCESS);
    const std::vector<LogLine> lines = TakeOwnLines({&key}, true);
    const std::vector<LogLine> before = LinesFor(lines, key.LogPath(L"Before"));
    const std::vector<LogLine> marked = LinesFor(lines, key.LogPath(L"Marked"));
    ASSERT_EQ(before.size(), 1u);
    ASSERT_EQ(marked.size(), 1u);
    EXPECT_TRUE(SameName(before[0].process, guest::ThisImageName())) << before[0].process;
    EXPECT_TRUE(
        SameName(marked[0].process, guest::ThisImageName() + ":" + std::to_string(::GetCurrentProcessId())))
        << marked[0].process;

    ASSERT_TRUE(device_->Control(IOCTL_STOP_CAPTURE, nullptr, 0)) << device_->lastError();
    EXPECT_FALSE(device_->Control(IOCTL_MARK_TREE_PROCESS, nullptr, 0));
    EXPECT_EQ(device_->lastError(), static_cast<DWORD>(ERROR_NOT_READY));
    ASSERT_TRUE(device_->Control(IOCTL_START_CAPTURE, nullptr, 0)) << device_->lastError();
    ASSERT_EQ(::RegSetValueExW(key.Create(L"").get(), L"After", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_SUCCESS);
    const std::vector<LogLine> after = LinesFor(TakeOwnLines({&key}, true), key.LogPath(L"After"));
    ASSERT_EQ(after.size(), 1u);
    EXPECT_TRUE(SameName(after[0].process, guest::ThisImageName())) << after[0].process;
    ExpectCounts();
}

using NtDeleteKeyRoutine = LONG(NTAPI*)(HANDLE);

NtDeleteKeyRoutine NtDeleteKeyOfNtdll() {
    NtDeleteKeyRoutine routine = nullptr;
    const FARPROC address = ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtDeleteKey");
    std::memcpy(&routine, &address, sizeof routine);
    return routine;
}

std::string Hex(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", value);
    return text;
}

TEST_F(KernelCallback, FailedWritesAndDeletionsAreNotLoggedAsSuccess) {
    ScratchKey key(HKEY_CURRENT_USER, "HKCU", "failures");
    const DWORD one = 1;
    // A key opened for reading only: the kernel refuses the handle before any notification.
    key.Create(L"ReadOnly");
    HKEY opened = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(key.root(), key.Below(L"ReadOnly").c_str(), 0, KEY_READ, &opened),
              ERROR_SUCCESS);
    UniqueKey readOnly(opened);
    EXPECT_EQ(
        ::RegSetValueExW(readOnly.get(), L"Denied", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
        ERROR_ACCESS_DENIED);
    // A key deleted while a handle to it stays open: the write reaches the kernel and fails there.
    UniqueKey gone = key.Create(L"Gone");
    ASSERT_EQ(::RegDeleteKeyW(key.root(), key.Below(L"Gone").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(
        ::RegSetValueExW(gone.get(), L"AfterDeletion", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
        ERROR_KEY_DELETED);
    // A key with a subkey, whose value must survive the failed deletion.
    ASSERT_EQ(::RegSetValueExW(key.Create(L"Parent\\Child").get(), L"Survivor", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_SUCCESS);
    const LONG parentDeleted = ::RegDeleteKeyW(key.root(), key.Below(L"Parent").c_str());
    EXPECT_NE(parentDeleted, ERROR_SUCCESS);
    // A key that does not exist, and a key deleted twice through the same handle.
    EXPECT_EQ(::RegDeleteKeyW(key.root(), key.Below(L"Never").c_str()), ERROR_FILE_NOT_FOUND);
    const NtDeleteKeyRoutine ntDeleteKey = NtDeleteKeyOfNtdll();
    ASSERT_NE(ntDeleteKey, nullptr);
    UniqueKey twice = key.Create(L"Twice");
    EXPECT_EQ(ntDeleteKey(twice.get()), 0);
    // The kernel may answer success (ReactOS does: nothing is left to delete); it must not be logged
    // as a second deletion.
    const LONG second = ntDeleteKey(twice.get());
    Report("failed operations: delete of a key with a subkey " + std::to_string(parentDeleted) +
           ", second NtDeleteKey " + Hex(static_cast<unsigned long>(second)));

    const std::vector<LogLine> lines = TakeOwnLines(key);
    EXPECT_TRUE(LinesFor(lines, key.LogPath(L"ReadOnly\\Denied")).empty());
    EXPECT_TRUE(LinesFor(lines, key.LogPath(L"Never")).empty());
    const std::vector<LogLine> afterDeletion = LinesFor(lines, key.LogPath(L"Gone\\AfterDeletion"));
    for (const LogLine& line : afterDeletion)
        EXPECT_EQ(line.result, Hex(0xC000017Cul)) << "STATUS_KEY_DELETED";
    for (const LogLine& line : LinesFor(lines, key.LogPath(L"Parent")))
        EXPECT_NE(line.result, "SUCCESS") << line.text;
    const std::vector<LogLine> goneLines = LinesFor(lines, key.LogPath(L"Gone"));
    ASSERT_EQ(goneLines.size(), 1u);
    EXPECT_EQ(goneLines[0].operation, "DeleteKey");
    EXPECT_EQ(goneLines[0].result, "SUCCESS");
    // The deletion that failed cancels nothing.
    EXPECT_EQ(WritesKeptByTheLibrary(lines, key), std::vector<std::string>{"Parent\\Child\\Survivor"});
    size_t twiceSucceeded = 0;
    for (const LogLine& line : LinesFor(lines, key.LogPath(L"Twice")))
        twiceSucceeded += line.result == "SUCCESS";
    EXPECT_EQ(twiceSucceeded, 1u);
    ExpectCounts();
}

// A REG_SZ value below the scratch key, written through the W call.
void SetText(ScratchKey& key, const std::wstring& child, const std::wstring& name, const std::wstring& text) {
    const std::string data = Wide(text);
    ASSERT_EQ(::RegSetValueExW(key.Create(child).get(), name.c_str(), 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size())),
              ERROR_SUCCESS);
}

// Values in a tree that is then deleted, beside two that stay, and one written again in the deleted
// key's place afterwards.
void WriteAroundADeletedTree(ScratchKey& key) {
    SetText(key, L"Doomed", L"A", L"a");
    SetText(key, L"Doomed\\Inner", L"B", L"b");
    SetText(key, L"Kept", L"C", L"c");
    SetText(key, L"DoomedSibling", L"D", L"d");
    guest::DeleteTree(key.root(), key.Below(L"Doomed"));
    SetText(key, L"Doomed", L"E", L"written again");
}

TEST_F(KernelCallback, DeletedKeyCancelsTheValuesBelowIt) {
    ScratchKey key(HKEY_CURRENT_USER, "HKCU", "cancel");
    WriteAroundADeletedTree(key);

    const std::vector<LogLine> lines = TakeOwnLines(key);
    for (const wchar_t* deleted : {L"Doomed\\Inner", L"Doomed"}) {
        const std::vector<LogLine> found = LinesFor(lines, key.LogPath(deleted));
        ASSERT_EQ(found.size(), 1u) << Ansi(deleted);
        EXPECT_EQ(found[0].operation, "DeleteKey");
        EXPECT_EQ(found[0].result, "SUCCESS");
        EXPECT_EQ(found[0].detail, "Key deleted");
    }
    EXPECT_EQ(lines.size(), 7u);
    EXPECT_EQ(WritesKeptByTheLibrary(lines, key),
              (std::vector<std::string>{"Kept\\C", "DoomedSibling\\D", "Doomed\\E"}));
    ExpectCounts();
}

// The library's own monitor, as a host drives it, over the callback's lines: the values below a
// deleted key are gone from its result, a failed deletion cancels nothing, and each value is read
// back with its data.
TEST(MonitorOnKernel, ReportsTheCallbacksValuesWithDeletedKeysCancelled) {
    ScratchKey key(HKEY_CURRENT_USER, "HKCU", "monitor");
    std::map<std::string, std::string> recorded;
    {
        CRegistryMonitor monitor;
        ASSERT_TRUE(monitor.HasDriver()) << "the driver did not open: error " << monitor.DriverFailure();
        monitor.Start(0, "");
        WriteAroundADeletedTree(key);
        SetText(key, L"Parent\\Child", L"Survivor", L"survives");
        EXPECT_NE(::RegDeleteKeyW(key.root(), key.Below(L"Parent").c_str()), ERROR_SUCCESS);
        monitor.Stop();
        for (const IConfInfoInc::_ConfInfo& record : monitor.GetChanges()) {
            if (!StartsWithName(record.path, key.LogPath(L"")))
                continue;
            EXPECT_EQ(record.valueType, DWORD(REG_SZ)) << record.path;
            const auto data = track::DecodeBase64(record.data);
            recorded[record.path.substr(key.LogPath(L"").size())] =
                data ? std::string(data->begin(), data->end()) : std::string("!");
            Report("monitor-value " + record.path + " = " + record.data);
        }
    }
    // Read back through the ANSI calls: the data is in the ANSI code page, with its NUL.
    const std::map<std::string, std::string> expected = {{"Kept\\C", Bytes("c", 2)},
                                                         {"DoomedSibling\\D", Bytes("d", 2)},
                                                         {"Doomed\\E", Bytes("written again", 14)},
                                                         {"Parent\\Child\\Survivor", Bytes("survives", 9)}};
    EXPECT_EQ(recorded, expected);
    EXPECT_FALSE(ServiceExists()) << "the monitor left its service behind";
}

// Writes values (and makes and deletes a key now and then) until told to stop.
struct Writer {
    const ScratchKey* key = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<unsigned> writes{0};
    std::atomic<unsigned> failures{0};
    LONG firstFailure = ERROR_SUCCESS;

    static unsigned __stdcall Run(void* self) noexcept {
        auto* writer = static_cast<Writer*>(self);
        try {
            writer->Loop();
        } catch (...) {
            writer->failures.fetch_add(1);
        }
        return 0;
    }

    void Loop() {
        UniqueKey target = key->Create(L"Hammer");
        for (DWORD i = 0; !stop.load(); ++i) {
            const std::wstring name = L"V" + std::to_wstring(i % 8);
            LONG result = ::RegSetValueExW(target.get(), name.c_str(), 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&i), sizeof i);
            if (result == ERROR_SUCCESS && i % 16 == 0) {
                key->Create(L"Hammer\\Churn");
                result = ::RegDeleteKeyW(key->root(), key->Below(L"Hammer\\Churn").c_str());
            }
            if (result != ERROR_SUCCESS && failures.fetch_add(1) == 0)
                firstFailure = result;
            writes.fetch_add(1);
        }
    }
};

// Polls `condition` until it holds or the bound passes; a short pause between polls leaves the one
// processor to the writer.
template <typename Condition>
bool WaitFor(Condition condition, DWORD boundMs = kBoundMs) {
    const DWORD start = ::GetTickCount();
    while (!condition()) {
        if (::GetTickCount() - start > boundMs)
            return false;
        ::Sleep(10);
    }
    return true;
}

TEST_F(KernelCallback, CaptureStopsAndTheDriverUnloadsWhileWritesGoOn) {
    ScratchKey key(HKEY_CURRENT_USER, "HKCU", "unload");
    Writer writer;
    writer.key = &key;
    UniqueHandle thread(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Writer::Run, &writer, 0, nullptr)));
    ASSERT_TRUE(thread.valid());
    struct StopWriter {
        Writer& writer;
        HANDLE thread;
        ~StopWriter() {
            writer.stop = true;
            ::WaitForSingleObject(thread, kBoundMs);
        }
    } stopWriter{writer, thread.get()};

    size_t logged = 0;
    ASSERT_TRUE(WaitFor([&] { return (logged += device_->TakeAll().size()) >= 200; }))
        << "the writer's lines did not come: " << logged;
    DWORD start = ::GetTickCount();
    ASSERT_TRUE(device_->Control(IOCTL_STOP_CAPTURE, nullptr, 0));
    const DWORD stopCaptureMs = ::GetTickCount() - start;
    logged += device_->TakeAll().size();
    // Capture is off: the writes go on, and nothing more is logged.
    const unsigned writesAtStop = writer.writes.load();
    ASSERT_TRUE(WaitFor([&] { return writer.writes.load() >= writesAtStop + 200; }));
    EXPECT_TRUE(device_->TakeAll().empty()) << "lines logged after capture stopped";

    // Logging again, and unloaded in the middle of it, the way the library leaves the driver.
    ASSERT_TRUE(device_->Control(IOCTL_START_CAPTURE, nullptr, 0));
    size_t loggedAgain = 0;
    ASSERT_TRUE(WaitFor([&] { return (loggedAgain += device_->TakeAll().size()) >= 100; }));
    REGMON_CAPTURE_STATE state;
    ASSERT_TRUE(device_->State(state));
    Report("capture-state " + CurrentCase() + " before the unload: " + guest::DescribeCounts(state));
    EXPECT_EQ(state.linesLostLogFull, 0u);
    EXPECT_EQ(state.nameQueriesFailed, 0u);
    device_.reset();
    const unsigned writesAtUnload = writer.writes.load();
    start = ::GetTickCount();
    Unload();
    const DWORD unloadMs = ::GetTickCount() - start;
    EXPECT_FALSE(ServiceExists()) << "the service is still there";
    EXPECT_LT(unloadMs, 30000u);
    EXPECT_FALSE(GuestDevice().valid()) << "the device is still there after the unload";
    // The registry works on without the callback.
    ASSERT_TRUE(WaitFor([&] { return writer.writes.load() >= writesAtUnload + 200; }));
    writer.stop = true;
    EXPECT_EQ(::WaitForSingleObject(thread.get(), kBoundMs), WAIT_OBJECT_0);
    EXPECT_EQ(writer.failures.load(), 0u) << "first failure " << writer.firstFailure;
    Report("unload under writes: " + std::to_string(logged) + " lines before the stop, " +
           std::to_string(loggedAgain) + " after the restart; stop capture " + std::to_string(stopCaptureMs) +
           " ms, close and unload " + std::to_string(unloadMs) + " ms; " +
           std::to_string(writer.writes.load()) + " writes, " +
           std::to_string(writer.writes.load() - writesAtUnload) + " of them after the unload began");
}

} // namespace
