// Helpers shared by the test programs: folders that clean up after themselves, waiting on a
// condition while dispatching messages (never sleeping as synchronisation), child processes.
#pragma once

#include "common/UniqueHandle.h"
#include "common/Win32.h"

#include <shlobj.h>

#include <functional>
#include <string>
#include <vector>

namespace test_support {

// A fresh folder, removed with everything in it at destruction: below C:\orvane-tests, or named
// orvane-<tag>-... below `parent` (a watched folder, where Wine reports only folders made after the
// watch began).
class TempDir {
public:
    explicit TempDir(const std::string& tag = "t");
    TempDir(const std::string& parent, const std::string& tag);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
    bool inSharedBase_ = false;
};

// Removes a folder and everything below it; true when it is gone.
bool RemoveTree(const std::string& path);

void WriteTextFile(const std::string& path, const std::string& contents);
bool FileExists(const std::string& path);

// Dispatches this thread's messages until `condition` holds or `timeoutMs` passes; answers
// whether the condition held. Wakes on every message, and at least every 10 ms to re-check.
bool PumpMessagesUntil(const std::function<bool()>& condition, DWORD timeoutMs = 20000);

// Dispatches whatever is queued for this thread now, without waiting.
void PumpPendingMessages();

// A known folder as the shell names it, in the ANSI code page; empty when the shell cannot tell.
std::string KnownFolder(int csidl);

// The Linux path of a Windows path under Wine; empty when not running under Wine.
std::string UnixPathOf(const std::string& windowsPath);

// Starts `/bin/sh -c script` on the Linux side: Wine runs a Linux program when CreateProcess is
// given one. It has no handle to wait on, so callers wait for the script's effect.
bool StartUnixShell(const std::string& script);

// Empty when this Windows starts the program at `path` (it is started suspended and ended at once);
// otherwise why it does not. Under Wine on a kernel without 32-bit support a 32-bit program does not
// start at all, so the cases that need one are skipped there rather than failed. The answer for
// each path is kept for the process.
std::string WhyProgramDoesNotStart(const std::string& path);

// Whether this program's 32-bit code runs under qemu-i386 user-mode emulation, as the lane says in
// ORVANE_32BIT (tests/wine/lane.sh). A case that meets a fault of the emulator's own, shown without
// the product in docs/32bit-emulation.md, is skipped there, and there alone, naming that fault.
bool RunsUnderEmulation();

// The full path of the running test program.
std::string ThisExecutable();

// Starts this test program again with the given arguments (a helper mode of its main).
UniqueHandle StartSelf(const std::string& arguments);

// Whether the service control manager knows a service of that name (the driver's, by default).
bool ServiceExists(const char* name = "REGMON");

// Quotes one command-line argument for CreateProcess.
std::string QuoteArgument(const std::string& argument);

// `size` usable bytes that end exactly where a PAGE_NOACCESS page begins: reading one byte past the
// end faults, so a walk that reads too far crashes the test instead of passing unnoticed.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    BYTE* data() const { return data_; }
    char* chars() const { return reinterpret_cast<char*>(data_); }
    size_t size() const { return size_; }

private:
    BYTE* base_ = nullptr;
    BYTE* data_ = nullptr;
    size_t size_ = 0;
};

} // namespace test_support
