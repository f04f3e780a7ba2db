// Helpers of the injection tests: where the fixtures are, child processes that are ended when a test
// leaves them behind, and folders of copied files.
#pragma once

#include "tests/capture/InjectFixture.h"

#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <string>
#include <vector>

namespace inject_test {

constexpr int kCallerBits = static_cast<int>(sizeof(void*) * 8);
constexpr int kOtherBits = kCallerBits == 64 ? 32 : 64;
constexpr DWORD kChildWaitMs = 20000;
constexpr DWORD kDidNotEnd = 0xDEADDEAD; // what a wait answers for a child that did not end in time

std::wstring Widen(const std::string& text);  // from the ANSI code page
std::string Narrow(const std::wstring& text); // to the ANSI code page, for messages

// This test program's folder, where the build puts the fixtures and the injector program too.
std::wstring BinFolder();
// The other architecture's build output (ORVANE_PEER_BUILD_DIR's bin), or empty when none is set.
std::wstring PeerBinFolder();

std::wstring TargetIn(const std::wstring& folder);  // inject-fixture-target.exe
std::wstring PayloadIn(const std::wstring& folder); // inject-fixture-payload.dll
std::wstring InjectorIn(const std::wstring& folder, int bits);
std::wstring TestProgramIn(const std::wstring& folder); // capture_inject_tests.exe

bool IsFile(const std::wstring& path);
bool CopyTo(const std::wstring& from, const std::wstring& to);
bool IsAscii(const std::wstring& text);
std::wstring ShortPathOf(const std::wstring& path);

// A process started by a test; one still running when the object goes is ended.
class Child {
public:
    Child() = default;
    // Started with "`program` `arguments`"; suspended when asked. started() tells whether it was.
    Child(const std::wstring& program, const std::wstring& arguments, bool suspended);
    ~Child();
    Child(Child&&) = default;
    Child& operator=(Child&&) = default;

    bool started() const { return process_.valid(); }
    HANDLE process() const { return process_.get(); }
    DWORD id() const { return ::GetProcessId(process_.get()); }

    // Resumes its first thread and waits at most `waitMs` for the end: its exit code, or kDidNotEnd.
    DWORD ResumeAndWait(DWORD waitMs = kChildWaitMs);
    DWORD Wait(DWORD waitMs = kChildWaitMs);

private:
    UniqueHandle process_;
    UniqueHandle thread_;
};

// An environment variable of this process set while the object lives; children inherit it.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const wchar_t* value);
    ~ScopedVariable();
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const wchar_t* name_;
};

// A folder made with a wide name (which the ANSI code page may lack) and the files copied into it, all
// removed again when the object goes.
class WideFolder {
public:
    explicit WideFolder(std::wstring path);
    ~WideFolder();
    WideFolder(const WideFolder&) = delete;
    WideFolder& operator=(const WideFolder&) = delete;

    bool made() const { return made_; }
    const std::wstring& path() const { return path_; }
    // Copies `from` into the folder as `name`: the copy's path, or empty when it failed.
    std::wstring Add(const std::wstring& name, const std::wstring& from);

private:
    std::wstring path_;
    std::vector<std::wstring> files_;
    bool made_ = false;
};

// The regions of a process's address space, as (base, size, state) triples: equal snapshots mean that
// nothing was allocated or freed in between.
std::vector<uintptr_t> AddressSpaceOf(HANDLE process);

} // namespace inject_test
