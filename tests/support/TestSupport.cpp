#include "tests/support/TestSupport.h"

#include "common/KnownFolder.h"
#include "common/Tick.h"

#include <atomic>
#include <map>
#include <mutex>
#include <cstdio>
#include <stdexcept>

namespace test_support {

namespace {

std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    char text[64];
    std::snprintf(text, sizeof text, "%lu-%lu-%u", static_cast<unsigned long>(GetCurrentProcessId()),
                  static_cast<unsigned long>(GetTickCount()), counter++);
    return text;
}

} // namespace

TempDir::TempDir(const std::string& tag) : inSharedBase_(true) {
    const std::string base = "C:\\orvane-tests";
    ::CreateDirectoryA(base.c_str(), nullptr);
    path_ = base + "\\" + tag + "-" + UniqueSuffix();
    if (!::CreateDirectoryA(path_.c_str(), nullptr))
        throw std::runtime_error("cannot create " + path_);
}

TempDir::TempDir(const std::string& parent, const std::string& tag) {
    path_ = parent + "\\orvane-" + tag + "-" + UniqueSuffix();
    if (!::CreateDirectoryA(path_.c_str(), nullptr))
        throw std::runtime_error("cannot create " + path_);
}

TempDir::~TempDir() {
    RemoveTree(path_);
    if (inSharedBase_)
        ::RemoveDirectoryA("C:\\orvane-tests"); // only succeeds when no other test still uses it
}

bool RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA entry;
    UniqueFind find(::FindFirstFileA((path + "\\*").c_str(), &entry));
    if (find) {
        do {
            const std::string name = entry.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string child = path + "\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                ::SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileA(child.c_str());
            }
        } while (::FindNextFileA(find.get(), &entry));
    }
    find.reset();
    return ::RemoveDirectoryA(path.c_str()) != FALSE;
}

void WriteTextFile(const std::string& path, const std::string& contents) {
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throw std::runtime_error("cannot create " + path);
    DWORD written = 0;
    if (!contents.empty())
        ::WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
}

bool FileExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void PumpPendingMessages() {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

bool PumpMessagesUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const ULONGLONG deadline = TickCount64() + timeoutMs;
    for (;;) {
        PumpPendingMessages();
        if (condition())
            return true;
        const ULONGLONG now = TickCount64();
        if (now >= deadline)
            return false;
        const DWORD slice = static_cast<DWORD>(deadline - now < 10 ? deadline - now : 10);
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
    }
}

GuardedBuffer::GuardedBuffer(size_t size) : size_(size) {
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    const size_t usable = (size + page - 1) / page * page;
    base_ =
        static_cast<BYTE*>(::VirtualAlloc(nullptr, usable + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (base_ == nullptr)
        throw std::runtime_error("VirtualAlloc failed");
    DWORD previous = 0;
    if (!::VirtualProtect(base_ + usable, page, PAGE_NOACCESS, &previous)) {
        ::VirtualFree(base_, 0, MEM_RELEASE);
        throw std::runtime_error("VirtualProtect failed");
    }
    data_ = base_ + usable - size;
}

GuardedBuffer::~GuardedBuffer() {
    ::VirtualFree(base_, 0, MEM_RELEASE);
}

std::string KnownFolder(int csidl) {
    return KnownFolderPathAnsi(csidl);
}

std::string UnixPathOf(const std::string& windowsPath) {
    using UnixNameFn = char*(CDECL*)(const WCHAR*);
    auto toUnix = reinterpret_cast<UnixNameFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (toUnix == nullptr)
        return std::string();
    std::wstring wide(windowsPath.begin(), windowsPath.end());
    char* unixName = toUnix(wide.c_str());
    if (unixName == nullptr)
        return std::string();
    std::string result = unixName;
    ::HeapFree(::GetProcessHeap(), 0, unixName);
    return result;
}

namespace {

std::string TryStartingSuspended(const std::string& path) {
    std::string commandLine = QuoteArgument(path);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!::CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                          nullptr, nullptr, &startup, &started)) {
        return "this machine cannot start " + path + " (error " + std::to_string(::GetLastError()) +
               "): it runs no program of that bitness";
    }
    // A Windows image always yields a process handle; without one nothing of the answer is ours.
    if (started.hProcess == nullptr)
        return "the system started " + path + " without a Windows process";
    const UniqueHandle process(started.hProcess), thread(started.hThread);
    ::TerminateProcess(process.get(), 0);
    ::WaitForSingleObject(process.get(), 10000);
    return std::string();
}

} // namespace

std::string WhyProgramDoesNotStart(const std::string& path) {
    static std::mutex lock;
    static std::map<std::string, std::string> answers;
    const std::lock_guard<std::mutex> hold(lock);
    const auto known = answers.find(path);
    if (known != answers.end())
        return known->second;
    return answers[path] = TryStartingSuspended(path);
}

bool StartUnixShell(const std::string& script) {
    std::string commandLine = "/bin/sh -c \"" + script + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    // Wine makes no Windows process for a Linux program and leaves in this structure whatever its
    // own stack held: at times a live handle of this process, such as the thread's message-queue
    // handle. Nothing in it is ours to close.
    PROCESS_INFORMATION unused{};
    return ::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &unused) != FALSE;
}

bool RunsUnderEmulation() {
#ifdef _WIN64
    return false;
#else
    char way[16];
    const DWORD length = ::GetEnvironmentVariableA("ORVANE_32BIT", way, sizeof way);
    return length < sizeof way && std::string(way, length) == "emulated";
#endif
}

std::string ThisExecutable() {
    char path[MAX_PATH * 4];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, length);
}

// Backslashes are literal except before a quote: a run of them ahead of a quote (an embedded one,
// or the closing one we add) is doubled, and the embedded quote is escaped with one more.
std::string QuoteArgument(const std::string& argument) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"')
            quoted.append(backslashes * 2 + 1, '\\');
        else
            quoted.append(backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

bool ServiceExists(const char* name) {
    UniqueService manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return false;
    UniqueService service(::OpenServiceA(manager.get(), name, SERVICE_QUERY_STATUS));
    return service.valid();
}

UniqueHandle StartSelf(const std::string& arguments) {
    std::string commandLine = QuoteArgument(ThisExecutable()) + " " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process))
        return UniqueHandle();
    UniqueHandle thread(process.hThread);
    return UniqueHandle(process.hProcess);
}

} // namespace test_support
