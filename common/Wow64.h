// 32-bit code on 64-bit Windows (WoW64) sees a redirected file system: "system32" opens the 32-bit
// system folder, and the program-files folder it is given is the 32-bit one. A setup of the other
// bitness writes into the native folders, so what the library and the tracker watch and test has to
// be able to name those. On 32-bit Windows, and for 64-bit code, everything here is a no-op.
#pragma once

#include "common/Win32.h"

#include <string>

// True when this process is a 32-bit one on 64-bit Windows.
bool RunsUnderWow64() noexcept;

// The native program-files folder ("C:\Program Files") as a 64-bit process names it, in the ANSI
// code page; empty where the process does not run under WoW64 or the system does not say.
std::string NativeProgramFilesFolder();

// Turns the file-system redirection of the calling thread off for the life of the object, so that
// a path names the file it names on disk; restores it on destruction, on every way out of the
// scope. Nothing that loads a library may run inside the scope: the loader would then see the
// native system folder too.
class Wow64RedirectionOff {
public:
    Wow64RedirectionOff() noexcept;
    ~Wow64RedirectionOff();
    Wow64RedirectionOff(const Wow64RedirectionOff&) = delete;
    Wow64RedirectionOff& operator=(const Wow64RedirectionOff&) = delete;

    // Whether redirection was in force and is now off (false outside WoW64).
    bool Active() const noexcept { return active_; }

private:
    void* previous_ = nullptr;
    bool active_ = false;
};
